#include "firmware/crc32.h"

#include <gtest/gtest.h>

namespace {

const uint8_t* bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

TEST(Crc32, CheckValuesInPiecesAndEmpty) {
  // The tool's own check value: no inversion before or after.
  EXPECT_EQ(crc32Update(0, bytes("abc"), 3), 0xCA6598D0u);
  EXPECT_EQ(crc32Update(crc32Update(0, bytes("a"), 1), bytes("bc"), 2), 0xCA6598D0u);
  EXPECT_EQ(crc32Update(crc32Update(0, bytes("ab"), 2), bytes("c"), 1), 0xCA6598D0u);
  // With the common inversions it is CRC-32/ISO-HDLC, whose check value for
  // "123456789" is 0xCBF43926 (Catalogue of Parametrised CRC Algorithms).
  EXPECT_EQ(crc32Update(0xFFFFFFFFu, bytes("123456789"), 9) ^ 0xFFFFFFFFu, 0xCBF43926u);
  EXPECT_EQ(crc32Update(0xDEADBEEFu, nullptr, 0), 0xDEADBEEFu);
}

TEST(Crc32, TableFollowsTheReflectedPolynomialBitByBit) {
  EXPECT_EQ(crc32Table[1], 0x77073096u);
  EXPECT_EQ(crc32Table[128], 0xEDB88320u);
  EXPECT_EQ(crc32Table[255], 0x2D02EF8Du);
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int step = 0; step < 8; ++step) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    EXPECT_EQ(crc32Table[i], c) << "entry " << i;
  }
}

}  // namespace
