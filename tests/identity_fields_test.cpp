// Hex and manufacturer conversions, and the stores read from the fields.
#include "commands/identity_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/fakes.h"

namespace {

std::string parsed(const char* text, int capacity, int32_t* count = nullptr) {
  uint8_t out[24];
  std::memset(out, 0xCC, sizeof out);
  const int32_t n = parseHex(text, out, capacity);
  if (count) *count = n;
  // Include the guard bytes just past capacity to show nothing spilled.
  return hex(out, (size_t)capacity + 2);
}

TEST(ParseHex, PairsOfDigitsInEitherCase) {
  int32_t n = 0;
  EXPECT_EQ(parsed("0aFf19", 3, &n), "0A FF 19 CC CC ");
  EXPECT_EQ(n, 3);
  EXPECT_EQ(parsed("123", 2, &n), "12 CC CC CC ");
  EXPECT_EQ(n, 1);
  EXPECT_EQ(parsed("", 2, &n), "CC CC CC CC ");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(parsed("7", 1, &n), "CC CC CC ");
  EXPECT_EQ(n, 0);
}

TEST(ParseHex, NonHexCharactersCountAsZero) {
  int32_t n = 0;
  EXPECT_EQ(parsed("G1zz -9x", 4, &n), "01 00 00 90 CC CC ");
  EXPECT_EQ(n, 4);
  EXPECT_EQ(parsed("\xFF\x80", 1, &n), "00 CC CC ");
}

TEST(ParseHex, NeverWritesPastCapacity) {
  int32_t n = 0;
  const std::string longText(1000, 'A');
  EXPECT_EQ(parsed(longText.c_str(), 4, &n), "AA AA AA AA CC CC ");
  EXPECT_EQ(n, 4);
  EXPECT_EQ(parsed("1122", 0, &n), "CC CC ");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(parseHex(nullptr, nullptr, 4), 0);
}

TEST(EncodeManufacturer, ThreeLettersInFiveBitsEach) {
  EXPECT_EQ(encodeManufacturer("ABC"), 0x0443);
  EXPECT_EQ(encodeManufacturer("ZZZ"), 26 * 1024 + 26 * 32 + 26);
  EXPECT_EQ(encodeManufacturer("ABCDEF"), 0x0443);  // only three count
  // Letters are taken as they are, signed, without checks.
  EXPECT_EQ(encodeManufacturer("abc"), 33 * 1024 + 34 * 32 + 35);
  EXPECT_EQ(encodeManufacturer("\xC1@@"), (-63 - 64) * 1024);
}

TEST(EncodeManufacturer, ShortTextStopsAtItsEnd) {
  // Missing letters count as 0: the terminator and what lies past it are not read.
  char text[4] = {'A', 'B', 0, 'Z'};
  EXPECT_EQ(encodeManufacturer(text), 1 * 1024 + 2 * 32);
  text[1] = 0;
  EXPECT_EQ(encodeManufacturer(text), 1 * 1024);
  EXPECT_EQ(encodeManufacturer(""), 0);
  EXPECT_EQ(encodeManufacturer(nullptr), 0);
}

struct IdentityFields : ::testing::Test {
  FakeFields fields;
  void set(Field f, const char* text) { fields.setFieldText(f, text); }
};

TEST_F(IdentityFields, FieldsFillTheStores) {
  set(Field::Manufacturer, "ABC");
  set(Field::IdNumber, "01020304");
  set(Field::Version, "40");
  set(Field::DeviceType, "03");
  set(Field::Key, "000102030405060708090A0B0C0D0E0F");
  set(Field::Counter, "00000001");
  accessNumber = 17;
  readIdentityFields(fields);
  EXPECT_EQ(hex(meterIdBytes, 4), "04 03 02 01 ");
  EXPECT_EQ(hex(meterAddress, 8), "43 04 04 03 02 01 40 03 ");
  EXPECT_EQ(hex(communicationKey, 16), "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ");
  EXPECT_EQ(invocationCounter, 1u);
  EXPECT_EQ(accessNumber, 17);
}

TEST_F(IdentityFields, CounterIsBigEndianAndForgiving) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"0000000a", 10}, {"0000000G", 0}, {"80000000", 0x80000000u}, {"12345678", 0x12345678u},
      {"123456789ABC", 0x12345678u},  // extra digits ignored
      {"0001", 0x00010000u},          // a short text gives the leading bytes, the rest 0
      {"", 0}, {"1", 0}};
  for (const auto& c : cases) {
    set(Field::Counter, c.first);
    invocationCounter = 0xDEADBEEF;
    readIdentityFields(fields);
    EXPECT_EQ(invocationCounter, c.second) << '"' << c.first << '"';
  }
}

TEST_F(IdentityFields, ShortOrLongTextsNeverLeaveEarlierBytes) {
  set(Field::IdNumber, "AABBCCDD");
  set(Field::Key, std::string(32, 'F').c_str());
  set(Field::Version, "41");
  set(Field::DeviceType, "07");
  readIdentityFields(fields);

  set(Field::IdNumber, "1234");  // leading digits: 0x12340000
  set(Field::Key, "01");
  set(Field::Version, "5");
  set(Field::DeviceType, "0708");
  readIdentityFields(fields);
  EXPECT_EQ(hex(meterIdBytes, 4), "00 00 34 12 ");
  EXPECT_EQ(hex(communicationKey, 16), "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ");
  EXPECT_EQ(meterAddress[6], 0x00);
  EXPECT_EQ(meterAddress[7], 0x07);

  set(Field::IdNumber, std::string(500, '9').c_str());
  set(Field::Key, std::string(500, 'e').c_str());
  readIdentityFields(fields);
  EXPECT_EQ(hex(meterIdBytes, 4), "99 99 99 99 ");
  EXPECT_EQ(hex(communicationKey, 16), "EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE ");
}

TEST_F(IdentityFields, ManufacturerCodeKeepsItsLow16Bits) {
  set(Field::Manufacturer, "\xFF\xFF\xFF");  // (-65) * 1057 = -68705
  readIdentityFields(fields);
  EXPECT_EQ(meterAddress[0], (uint8_t)(-68705 & 0xFF));
  EXPECT_EQ(meterAddress[1], (uint8_t)((-68705 >> 8) & 0xFF));
  set(Field::Manufacturer, "A");
  readIdentityFields(fields);
  EXPECT_EQ(hex(meterAddress, 2), "00 04 ");
}

}  // namespace
