#include "security/aes128.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/support/crypto_vectors.h"
#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"

namespace {

using namespace vectors;

// FIPS-197 C.1, in place (input and output the same buffer); the random
// test below runs with separate buffers.
TEST(Aes128, Fips197AppendixC1EncryptsAndDecryptsInPlace) {
  AesKeySchedule schedule;
  aesExpandKey(c1Key.data(), schedule);
  std::vector<uint8_t> block = c1Plain;
  EXPECT_EQ(1, aesEncryptBlock(block.data(), block.data(), schedule));
  EXPECT_EQ(hex(c1Cipher), hex(block));
  EXPECT_EQ(1, aesDecryptBlock(block.data(), block.data(), schedule));
  EXPECT_EQ(hex(c1Plain), hex(block));
}

TEST(Aes128, KeyExpansionGivesTheFips197AppendixA1Words) {
  AesKeySchedule schedule;
  aesExpandKey(key.data(), schedule);
  ASSERT_EQ(176u, a1Schedule.size());
  EXPECT_EQ(hex(a1Schedule), hex(schedule, 176));
}

// Thousands of random keys and blocks against OpenSSL (one block of CBC with
// a zero IV is the raw block cipher); decrypting an arbitrary block must match
// too, not just undo our own encryption. A schedule of another key must not
// undo the encryption.
TEST(Aes128, AgreesWithOpenSslOnRandomKeysAndBlocks) {
  std::mt19937 rng(197);
  for (int round = 0; round < 3000; ++round) {
    uint8_t key[16], plain[16], ours[16], theirs[16], back[16];
    for (uint8_t& b : key) b = (uint8_t)rng();
    for (uint8_t& b : plain) b = (uint8_t)rng();
    AesKeySchedule schedule, other;
    aesExpandKey(key, schedule);
    SCOPED_TRACE("key " + hex(key, 16) + " block " + hex(plain, 16));

    aesEncryptBlock(plain, ours, schedule);
    std::memcpy(theirs, plain, 16);
    ossl::cbc(key, theirs, 16, true);
    ASSERT_EQ(hex(theirs, 16), hex(ours, 16));
    aesDecryptBlock(ours, back, schedule);
    ASSERT_EQ(hex(plain, 16), hex(back, 16));
    key[round % 16] ^= (uint8_t)(1 << (round % 8));
    aesExpandKey(key, other);
    aesDecryptBlock(ours, back, other);
    ASSERT_NE(hex(plain, 16), hex(back, 16));

    aesDecryptBlock(plain, ours, schedule);
    std::memcpy(theirs, plain, 16);
    key[round % 16] ^= (uint8_t)(1 << (round % 8));
    ossl::cbc(key, theirs, 16, false);
    ASSERT_EQ(hex(theirs, 16), hex(ours, 16));
  }
}

}  // namespace
