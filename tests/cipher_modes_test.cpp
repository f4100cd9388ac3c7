#include "security/cipher_modes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/crypto_vectors.h"
#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"

namespace {

using namespace vectors;

std::string chainingValue() { return hex(cbcChainingValue, 16); }
const std::string zeroChain = hex(std::vector<uint8_t>(16, 0));

// SP 800-38A F.2.1 / F.2.2 in two calls each (16 + 48, 32 + 32 bytes): the
// chain runs on between calls and ends at the last ciphertext block; a
// length of 0 changes neither buffer nor chain.
TEST(CbcMode, Sp800_38aVectorsAcrossTwoCallsContinueTheChain) {
  AesKeySchedule schedule;
  aesExpandKey(key.data(), schedule);
  std::vector<uint8_t> buffer = plain;
  std::memcpy(cbcChainingValue, cbcIv.data(), 16);
  cbcEncrypt(buffer.data(), 16, schedule);
  cbcEncrypt(buffer.data() + 16, 48, schedule);
  EXPECT_EQ(hex(cbcCipher), hex(buffer));
  EXPECT_EQ(hex(cbcCipher.data() + 48, 16), chainingValue());

  std::memcpy(cbcChainingValue, cbcIv.data(), 16);
  cbcDecrypt(buffer.data(), 32, schedule);
  cbcDecrypt(buffer.data() + 32, 32, schedule);
  EXPECT_EQ(hex(plain), hex(buffer));
  EXPECT_EQ(hex(cbcCipher.data() + 48, 16), chainingValue());

  cbcEncrypt(buffer.data(), 0, schedule);
  cbcDecrypt(buffer.data(), 0, schedule);
  EXPECT_EQ(hex(plain), hex(buffer));
  EXPECT_EQ(hex(cbcCipher.data() + 48, 16), chainingValue());
  cbcResetChaining();
  EXPECT_EQ(zeroChain, chainingValue());
}

TEST(CbcMode, AgreesWithOpenSslAfterReset) {
  std::mt19937 rng(3800);
  for (int round = 0; round < 1000; ++round) {
    uint8_t key[16];
    for (uint8_t& b : key) b = (uint8_t)rng();
    std::vector<uint8_t> plain(16 * (rng() % 16));  // 0 to 240 bytes
    for (uint8_t& b : plain) b = (uint8_t)rng();
    AesKeySchedule schedule;
    aesExpandKey(key, schedule);

    std::vector<uint8_t> ours = plain, theirs = plain;
    cbcResetChaining();
    cbcEncrypt(ours.data(), (uint8_t)ours.size(), schedule);
    ossl::cbc(key, theirs.data(), theirs.size(), true);
    ASSERT_EQ(hex(theirs), hex(ours)) << "key " << hex(key, 16);

    cbcResetChaining();
    cbcDecrypt(ours.data(), (uint8_t)ours.size(), schedule);
    ASSERT_EQ(hex(plain), hex(ours)) << "key " << hex(key, 16);
  }
}

// SP 800-38A F.1.1 block 1, twice: every block alone, and the chain left zero.
TEST(EcbBlocks, EncryptsEachBlockAloneAndLeavesTheChainZero) {
  uint8_t twice[32];
  std::memcpy(twice, plain.data(), 16);
  std::memcpy(twice + 16, plain.data(), 16);
  std::memset(cbcChainingValue, 0xA5, 16);
  aesEncryptBlocks(twice, 32, key.data());
  EXPECT_EQ(hex(ecbFirst) + hex(ecbFirst), hex(twice, 32));
  EXPECT_EQ(zeroChain, chainingValue());
}

// RFC 4493 section 4: subkeys and examples 1 to 4 (0, 16, 40, 64 bytes); the
// empty message is the padded block XOR K2. Every CMAC leaves the chain zero.
TEST(Cmac, Rfc4493SubkeysAndExamples) {
  uint8_t k1[16], k2[16];
  cmacSubkeys(key.data(), k1, k2);
  EXPECT_EQ(hex(cmacK1), hex(k1, 16));
  EXPECT_EQ(hex(cmacK2), hex(k2, 16));
  for (const CmacExample& example : cmacExamples) {
    SCOPED_TRACE(example.length);
    uint8_t tag[16];
    std::memset(cbcChainingValue, 0xA5, 16);
    aesCmac(key.data(), plain.data(), example.length, tag);
    EXPECT_EQ(hex(example.tag), hex(tag, 16));
    EXPECT_EQ(zeroChain, chainingValue());
  }
}

TEST(Cmac, AgreesWithOpenSslAtEveryLengthUpTo240) {
  std::mt19937 rng(4493);
  for (int keyRound = 0; keyRound < 12; ++keyRound) {
    uint8_t key[16];
    for (uint8_t& b : key) b = (uint8_t)rng();
    std::vector<uint8_t> message(240);
    for (uint8_t& b : message) b = (uint8_t)rng();
    for (int32_t length = 0; length <= 240; ++length) {
      // Exactly sized, so a read past the message shows under ASan.
      std::vector<uint8_t> exact(message.begin(), message.begin() + length);
      uint8_t ours[16];
      aesCmac(key, exact.data(), length, ours);
      ossl::Block theirs = ossl::cmac(key, exact.data(), exact.size());
      ASSERT_EQ(hex(theirs.data(), 16), hex(ours, 16)) << "length " << length << " key " << hex(key, 16);
    }
  }
}

}  // namespace
