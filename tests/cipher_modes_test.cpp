#include "security/cipher_modes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"

namespace {

std::vector<uint8_t> fromHex(const char* text) {
  std::vector<uint8_t> out;
  for (; text[0] && text[1]; text += 2) {
    unsigned v = 0;
    std::sscanf(text, "%2x", &v);
    out.push_back((uint8_t)v);
  }
  return out;
}

bool chainingValueIsZero() {
  for (uint8_t b : cbcChainingValue)
    if (b) return false;
  return true;
}

// NIST SP 800-38A and RFC 4493 share this key and these four plaintext blocks.
const std::vector<uint8_t> kKey = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
const std::vector<uint8_t> kPlain = fromHex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");

// NIST SP 800-38A F.2.1 / F.2.2, CBC-AES128.
const std::vector<uint8_t> kIv = fromHex("000102030405060708090a0b0c0d0e0f");
const std::vector<uint8_t> kCbcCipher = fromHex(
    "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");

TEST(CbcMode, Sp800_38aF21EncryptsAndF22Decrypts) {
  AesKeySchedule schedule;
  aesExpandKey(kKey.data(), schedule);
  std::vector<uint8_t> buffer = kPlain;
  std::memcpy(cbcChainingValue, kIv.data(), 16);
  cbcEncrypt(buffer.data(), (uint8_t)buffer.size(), schedule);
  EXPECT_EQ(hex(kCbcCipher), hex(buffer));
  EXPECT_EQ(hex(kCbcCipher.data() + 48, 16), hex(cbcChainingValue, 16));

  std::memcpy(cbcChainingValue, kIv.data(), 16);
  cbcDecrypt(buffer.data(), (uint8_t)buffer.size(), schedule);
  EXPECT_EQ(hex(kPlain), hex(buffer));
  EXPECT_EQ(hex(kCbcCipher.data() + 48, 16), hex(cbcChainingValue, 16));
}

TEST(CbcMode, TwoCallsWithoutResetContinueTheChain) {
  AesKeySchedule schedule;
  aesExpandKey(kKey.data(), schedule);
  std::vector<uint8_t> buffer = kPlain;
  std::memcpy(cbcChainingValue, kIv.data(), 16);
  cbcEncrypt(buffer.data(), 16, schedule);
  cbcEncrypt(buffer.data() + 16, 48, schedule);
  EXPECT_EQ(hex(kCbcCipher), hex(buffer));

  std::memcpy(cbcChainingValue, kIv.data(), 16);
  cbcDecrypt(buffer.data(), 32, schedule);
  cbcDecrypt(buffer.data() + 32, 32, schedule);
  EXPECT_EQ(hex(kPlain), hex(buffer));
}

TEST(CbcMode, ZeroLengthChangesNeitherBufferNorChain) {
  AesKeySchedule schedule;
  aesExpandKey(kKey.data(), schedule);
  std::memcpy(cbcChainingValue, kIv.data(), 16);
  uint8_t byte = 0x5A;
  cbcEncrypt(&byte, 0, schedule);
  cbcDecrypt(&byte, 0, schedule);
  EXPECT_EQ(0x5A, byte);
  EXPECT_EQ(hex(kIv), hex(cbcChainingValue, 16));
  cbcResetChaining();
  EXPECT_TRUE(chainingValueIsZero());
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

TEST(EcbBlocks, EncryptsEachBlockAloneAndLeavesTheChainZero) {
  std::vector<uint8_t> twice(kPlain.begin(), kPlain.begin() + 16);
  twice.insert(twice.end(), kPlain.begin(), kPlain.begin() + 16);
  std::memset(cbcChainingValue, 0xA5, 16);
  aesEncryptBlocks(twice.data(), 32, kKey.data());
  // SP 800-38A F.1.1, ECB-AES128 block 1.
  EXPECT_EQ("3A D7 7B B4 0D 7A 36 60 A8 9E CA F3 24 66 EF 97 3A D7 7B B4 0D 7A 36 60 A8 9E CA F3 24 66 EF 97 ",
            hex(twice));
  EXPECT_TRUE(chainingValueIsZero());
}

// RFC 4493 section 4: subkeys, then examples 1 to 4 (0, 16, 40 and 64 bytes).
TEST(Cmac, Rfc4493SubkeysAndExamples) {
  uint8_t k1[16], k2[16];
  cmacSubkeys(kKey.data(), k1, k2);
  EXPECT_EQ(hex(fromHex("fbeed618357133667c85e08f7236a8de")), hex(k1, 16));
  EXPECT_EQ(hex(fromHex("f7ddac306ae266ccf90bc11ee46d513b")), hex(k2, 16));

  const struct {
    int32_t length;
    const char* tag;
  } examples[] = {{0, "bb1d6929e95937287fa37d129b756746"},
                  {16, "070a16b46b4d4144f79bdd9dd04a287c"},
                  {40, "dfa66747de9ae63030ca32611497c827"},
                  {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
  for (const auto& example : examples) {
    uint8_t tag[16];
    std::memset(cbcChainingValue, 0xA5, 16);
    aesCmac(kKey.data(), kPlain.data(), example.length, tag);
    EXPECT_EQ(hex(fromHex(example.tag)), hex(tag, 16)) << "length " << example.length;
    EXPECT_TRUE(chainingValueIsZero()) << "length " << example.length;
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
