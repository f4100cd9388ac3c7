#include "security/aes128.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"

namespace {

// FIPS-197 appendix C.1 (AES-128).
const uint8_t kC1Key[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                            0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const uint8_t kC1Plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
const uint8_t kC1Cipher[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                               0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};

TEST(Aes128, Fips197AppendixC1EncryptsAndDecrypts) {
  AesKeySchedule schedule;
  aesExpandKey(kC1Key, schedule);
  uint8_t out[16];
  EXPECT_EQ(1, aesEncryptBlock(kC1Plain, out, schedule));
  EXPECT_EQ(hex(kC1Cipher, 16), hex(out, 16));
  uint8_t back[16];
  EXPECT_EQ(1, aesDecryptBlock(out, back, schedule));
  EXPECT_EQ(hex(kC1Plain, 16), hex(back, 16));
}

TEST(Aes128, InputAndOutputMayBeTheSameBuffer) {
  AesKeySchedule schedule;
  aesExpandKey(kC1Key, schedule);
  uint8_t block[16];
  std::memcpy(block, kC1Plain, 16);
  aesEncryptBlock(block, block, schedule);
  EXPECT_EQ(hex(kC1Cipher, 16), hex(block, 16));
  aesDecryptBlock(block, block, schedule);
  EXPECT_EQ(hex(kC1Plain, 16), hex(block, 16));
}

// FIPS-197 appendix A.1: the 44 words of the expansion of 2b7e1516 28aed2a6 abf71588 09cf4f3c.
TEST(Aes128, KeyExpansionGivesTheFips197AppendixA1Words) {
  const uint32_t words[44] = {
      0x2b7e1516, 0x28aed2a6, 0xabf71588, 0x09cf4f3c, 0xa0fafe17, 0x88542cb1, 0x23a33939, 0x2a6c7605,
      0xf2c295f2, 0x7a96b943, 0x5935807a, 0x7359f67f, 0x3d80477d, 0x4716fe3e, 0x1e237e44, 0x6d7a883b,
      0xef44a541, 0xa8525b7f, 0xb671253b, 0xdb0bad00, 0xd4d1c6f8, 0x7c839d87, 0xcaf2b8bc, 0x11f915bc,
      0x6d88a37a, 0x110b3efd, 0xdbf98641, 0xca0093fd, 0x4e54f70e, 0x5f5fc9f3, 0x84a64fb2, 0x4ea6dc4f,
      0xead27321, 0xb58dbad2, 0x312bf560, 0x7f8d292f, 0xac7766f3, 0x19fadc21, 0x28d12941, 0x575c006e,
      0xd014f9a8, 0xc9ee2589, 0xe13f0cc8, 0xb6630ca6};
  const uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                           0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
  AesKeySchedule schedule;
  aesExpandKey(key, schedule);
  for (int i = 0; i < 44; ++i) {
    uint32_t w = (uint32_t)schedule[4 * i] << 24 | (uint32_t)schedule[4 * i + 1] << 16 |
                 (uint32_t)schedule[4 * i + 2] << 8 | schedule[4 * i + 3];
    EXPECT_EQ(words[i], w) << "w" << i;
  }
}

// Thousands of random keys and blocks against OpenSSL; one block of CBC with
// a zero IV is the raw block cipher.
TEST(Aes128, AgreesWithOpenSslOnRandomKeysAndBlocks) {
  std::mt19937 rng(197);
  for (int round = 0; round < 3000; ++round) {
    uint8_t key[16], plain[16];
    for (uint8_t& b : key) b = (uint8_t)rng();
    for (uint8_t& b : plain) b = (uint8_t)rng();
    AesKeySchedule schedule;
    aesExpandKey(key, schedule);

    uint8_t ours[16], theirs[16];
    aesEncryptBlock(plain, ours, schedule);
    std::memcpy(theirs, plain, 16);
    ossl::cbc(key, theirs, 16, true);
    ASSERT_EQ(hex(theirs, 16), hex(ours, 16)) << "key " << hex(key, 16) << " plain " << hex(plain, 16);

    // Decrypting an arbitrary block must match OpenSSL too, not just undo ours.
    aesDecryptBlock(plain, ours, schedule);
    std::memcpy(theirs, plain, 16);
    ossl::cbc(key, theirs, 16, false);
    ASSERT_EQ(hex(theirs, 16), hex(ours, 16)) << "key " << hex(key, 16) << " cipher " << hex(plain, 16);
  }
}

TEST(Aes128, ScheduleOfAnotherKeyDoesNotDecrypt) {
  AesKeySchedule right, wrong;
  aesExpandKey(kC1Key, right);
  uint8_t otherKey[16];
  std::memcpy(otherKey, kC1Key, 16);
  otherKey[15] ^= 0x01;
  aesExpandKey(otherKey, wrong);
  uint8_t cipher[16], back[16];
  aesEncryptBlock(kC1Plain, cipher, right);
  aesDecryptBlock(cipher, back, wrong);
  EXPECT_NE(hex(kC1Plain, 16), hex(back, 16));
}

}  // namespace
