// Hex and manufacturer conversions, and the stores read from the fields.
#include "commands/identity_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/fakes.h"

namespace {

TEST(ParseHex, PairsOfDigitsNeverPastCapacity) {
  const std::string thousandA(1000, 'A');
  const struct {
    const char* text;
    int capacity;
    int32_t count;
    const char* bytes;  // the capacity and two guard bytes after it
  } cases[] = {
      {"0aFf19", 3, 3, "0A FF 19 CC CC "},
      {"123", 2, 1, "12 CC CC CC "},  // a trailing odd digit is dropped
      {"", 2, 0, "CC CC CC CC "},
      {"7", 1, 0, "CC CC CC "},
      {"G1zz -9x", 4, 4, "01 00 00 90 CC CC "},  // other characters count as 0
      {"\xFF\x80", 1, 1, "00 CC CC "},
      {thousandA.c_str(), 4, 4, "AA AA AA AA CC CC "},
      {"1122", 0, 0, "CC CC "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    uint8_t out[8];
    std::memset(out, 0xCC, sizeof out);
    EXPECT_EQ(parseHex(c.text, out, c.capacity), c.count);
    EXPECT_EQ(hex(out, (size_t)c.capacity + 2), c.bytes);
  }
  EXPECT_EQ(parseHex(nullptr, nullptr, 4), 0);
}

TEST(EncodeManufacturer, ThreeLettersInFiveBitsEach) {
  const char shortText[4] = {'A', 'B', 0, 'Z'};  // nothing past the terminator is read
  const struct {
    const char* text;
    int32_t code;
  } cases[] = {
      {"ABC", 0x0443},
      {"ZZZ", 26 * 1024 + 26 * 32 + 26},
      {"ABCDEF", 0x0443},                    // only three count
      {"abc", 33 * 1024 + 34 * 32 + 35},     // taken as they are, no checks
      {"\xC1@@", (-63 - 64) * 1024},         // signed characters
      {shortText, 1 * 1024 + 2 * 32},        // missing letters count as 0
      {"A", 1 * 1024},
      {"", 0},
      {nullptr, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(encodeManufacturer(c.text), c.code) << (c.text ? c.text : "null");
}

struct IdentityFields : ::testing::Test {
  FakeFields fields;
  void set(Field f, const std::string& text) { fields.setFieldText(f, text); }
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

  set(Field::Manufacturer, "\xFF\xFF\xFF");  // (-65) * 1057 = -68705: its low 16 bits
  readIdentityFields(fields);
  EXPECT_EQ(meterAddress[0], (uint8_t)(-68705 & 0xFF));
  EXPECT_EQ(meterAddress[1], (uint8_t)((-68705 >> 8) & 0xFF));
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
  set(Field::Key, std::string(32, 'F'));
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

  set(Field::IdNumber, std::string(500, '9'));
  set(Field::Key, std::string(500, 'e'));
  readIdentityFields(fields);
  EXPECT_EQ(hex(meterIdBytes, 4), "99 99 99 99 ");
  EXPECT_EQ(hex(communicationKey, 16), "EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE ");
}

}  // namespace
