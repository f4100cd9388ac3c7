#include "security/key_derivation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "security/cipher_modes.h"
#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"

namespace {

TEST(KeyDerivation, InputBlockHoldsConstantCounterIdAndSevens) {
  const MeterId id = {0x78, 0x56, 0x34, 0x12};
  uint8_t block[16];
  buildKdfInput(EncToMeter, id, 0x01020304, block);
  EXPECT_EQ("10 04 03 02 01 78 56 34 12 07 07 07 07 07 07 07 ", hex(block, 16));
}

TEST(KeyDerivation, DerivedKeyIsCmacOfTheInputBlockForAllFourConstants) {
  std::mt19937 rng(13757);
  const DerivationConstant constants[] = {EncFromMeter, MacFromMeter, EncToMeter, MacToMeter};
  for (int round = 0; round < 200; ++round) {
    uint8_t key[16];
    MeterId id;
    for (uint8_t& b : key) b = (uint8_t)rng();
    for (uint8_t& b : id) b = (uint8_t)rng();
    uint32_t counter = (uint32_t)rng();
    DerivationConstant constant = constants[round % 4];
    uint8_t ours[16];
    std::memset(cbcChainingValue, 0xA5, 16);
    deriveKey(key, constant, id, counter, ours);
    ossl::Block theirs = ossl::deriveKey(key, constant, id, counter);
    ASSERT_EQ(hex(theirs.data(), 16), hex(ours, 16)) << "constant " << (int)constant << " counter " << counter;
    for (uint8_t b : cbcChainingValue) ASSERT_EQ(0, b);
  }
}

}  // namespace
