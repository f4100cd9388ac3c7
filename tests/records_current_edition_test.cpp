// The record decoder against the current edition of EN 13757-3 (2018) and OMS
// Volume 2's compact profiles; every expected line is worked out by hand from
// the bytes beside it. VIF 13 is a volume in litres (10^-3 m^3), VIF 03 Wh.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/records.h"
#include "tests/support/fakes.h"

namespace {

std::string lines(const std::vector<uint8_t>& b) {
  const RecordList list = decodeRecords(b.data(), b.size());
  std::string s;
  for (const Record& r : list.records) s += (s.empty() ? "" : "\n") + formatRecord(r).substr(2);
  return list.end == DecodeEnd::Complete ? s : s + "\n" + describeEnd(list);
}

void expectRows(const std::vector<std::pair<const char*, const char*>>& rows) {
  for (const auto& [text, expected] : rows) {
    const std::vector<uint8_t> b = fromHex(text);
    EXPECT_EQ(lines(b), expected) << hex(b);
  }
}

TEST(RecordsCurrentEdition, DescriptiveVifesKeepTheValue) {
  expectRows({
      {"01 93 12 05", "Volume, average value 0.005 m^3"}, {"01 93 14 05", "Volume, relative deviation 0.005 m^3"},
      {"01 93 1D 05", "Volume, standard-conform data content 0.005 m^3"},
      {"01 93 15 05", "Volume error: no data available"}, {"01 93 10 05", "Volume error: reserved error 10"},
  });
}

// Control byte: increment mode (bits 7-6), spacing unit (5-4), element size as a DIF's data field (3-0).
TEST(RecordsCurrentEdition, CompactProfilesAsSeries) {
  expectRows({
      // 62: increments, hours, 16 bits; spacing 1; then an ordinary record still follows
      {"0D 93 1F 06 62 01 05 00 07 00 01 13 05",
       "Volume, compact profile: every 1 h, increment, 1: 0.005, 2: 0.007 m^3\nVolume 0.005 m^3"},
      // storage 1 + (DIFE 01 << 1) = 3; 39: absolute, days, 2-digit BCD; spacing FD: one month
      {"CD 01 93 1E 05 39 FD 12 34 56", "Volume, compact profile with registers: every 1 month, absolute, "
                                        "storage 3: 0.012, storage 4: 0.034, storage 5: 0.056 m^3 (storage 3)"},
      {"0D 93 13 04 C1 0F FF 01", "Volume, inverse compact profile: every 15 s, difference, 1: -0.001, 2: 0.001 m^3"},
      {"0D 93 1F 04 69 01 12 3A", "Volume, compact profile: every 1 h, increment, 1: 0.012, 2: error: BCD 3A m^3"},
      {"0D 93 1F 06 05 01 00 00 C0 3F",
       "Volume, compact profile 05010000C03F (compact profile not read: element size code 05 is no integer or BCD)"},
      {"0D 93 1F 05 62 01 05 00 07",
       "Volume, compact profile 6201050007 (compact profile not read: 3 bytes are no whole number of elements)"},
      {"0D 93 1F 03 61 FF 05", "Volume, compact profile 61FF05 (compact profile not read: reserved spacing value FF)"},
  });
}

TEST(RecordsCurrentEdition, BinaryLvarOf48And64BytesMostSignificantFirst) {
  for (const uint8_t lvar : {0xF5, 0xF6}) {
    const size_t n = lvar == 0xF5 ? 48 : 64;
    std::vector<uint8_t> b = {0x0D, 0x13, lvar};
    std::string expected = "Volume ";
    for (size_t i = 0; i < n; ++i) b.push_back((uint8_t)i);
    for (size_t i = n; i-- > 0;) expected += hex(b.data() + 3 + i, 1).substr(0, 2);
    b.insert(b.end(), {0x01, 0x13, 0x05});
    EXPECT_EQ(lines(b), expected + "\nVolume 0.005 m^3") << hex(b);
  }
}

TEST(RecordsCurrentEdition, TypesCAreUnsignedAndTypesDAreBitFields) {
  expectRows({
      {"01 FD 17 80", "Error flags 0x80"}, {"02 FD 1B 01 80", "Digital input 0x8001"},
      {"02 FD 1A 01 80", "Digital output 0x8001"}, {"04 78 FF FF FF FF", "Fabrication number 4294967295"},
      {"04 FD 08 FF FF FF FF", "Access number 4294967295"}, {"01 FD 61 FF", "Cumulation counter 255"},
  });
}

// 2024-03-15 13:45:30 as in records_test; F: SU is byte 1 bit 7; I: byte 0 bit 6.
TEST(RecordsCurrentEdition, SummerTimeIsKept) {
  expectRows({
      {"04 6D 2D 8D 0F 33", "Date and time 2024-03-15T13:45 (summer time)"},
      {"06 6D 5E 2D AD 0F 33 0B", "Date and time 2024-03-15T13:45:30 (summer time)"},
      {"04 FD 72 01 02 03 04", "Daylight saving 04030201"}, {"02 FD 73 34 12", "Listening window management 1234"},
  });
}

TEST(RecordsCurrentEdition, VifesOfTheCurrentEdition) {
  expectRows({
      {"01 93 FC 01 05", "Volume 0.005 m^3 (at phase L1)"}, {"01 93 FC 04 05", "Volume 0.005 m^3 (at neutral)"},
      {"01 93 FC 8C 22 05", "Volume 0.005 m^3/h (delta between import and export)"},
      {"01 93 FC 0D 05", "Volume 0.005 m^3 (VIFE FC 0D)"},
      {"01 93 BD 3E 05", "Volume 0.005 m^3 (alternate non-metric unit system, value at base conditions)"},
      {"01 93 3F 05", "Volume 0.005 m^3 (OBIS declaration)"},
      {"01 93 61 05", "Volume 5 min (duration of first occurrence)"},
      {"01 93 67 05", "Volume 5 d (duration of last occurrence)"},
      {"01 93 68 05", "Volume 0.005 m^3 (value during lower limit exceed)"},
      {"01 93 69 05", "Volume 0.005 m^3 (leakage values)"},
      {"01 93 6C 05", "Volume 0.005 m^3 (value during upper limit exceed)"},
      {"01 93 6D 05", "Volume 0.005 m^3 (overflow values)"},
      {"02 93 6A 0F 33", "Volume 2024-03-15 (date of begin of first occurrence)"},
      {"02 93 6F 0F 33", "Volume 2024-03-15 (date of end of last occurrence)"},
      {"01 93 7E 05", "Volume 0.005 m^3 (future value)"},
      {"01 FD FD 02 05", "Remaining battery lifetime 5 month"}, {"01 FD FD 03 05", "Remaining battery lifetime 5 year"},
      {"01 FD FD 04 05", "Reserved VIF FD FD 04 5"}, {"01 FD F7 22 05", "Reserved VIF FD 77 5 (VIFE 22)"},
      {"01 FB 86 12 05", "Reserved VIF FB 06 5 (VIFE 12)"},
  });
}

TEST(RecordsCurrentEdition, ExtensionTableEntriesOfTheCurrentEdition) {
  expectRows({
      {"01 FB 02 05", "Reactive energy 5 kVARh"}, {"01 FB 03 05", "Reactive energy 50 kVARh"},
      {"01 FB 04 05", "Apparent energy 5 kVAh"}, {"01 FB 05 05", "Apparent energy 50 kVAh"},
      {"01 FB 0C 05", "Energy 0.5 MCal"}, {"01 FB 0F 05", "Energy 500 MCal"},
      {"01 FB 14 05", "Reactive power 0.005 kVAR"}, {"01 FB 17 05", "Reactive power 5 kVAR"},
      {"01 FB 20 05", "Volume 5 feet^3"}, {"01 FB 21 05", "Volume 0.5 feet^3"},
      {"01 FB 34 05", "Apparent power 0.005 kVA"}, {"01 FB 37 05", "Apparent power 5 kVA"},
      {"01 FB 22 05", "Volume 0.5 american gallon"}, {"01 FB 0A 05", "Reserved VIF FB 0A 5"},  // older meaning kept
  });
}

TEST(RecordsCurrentEdition, IntegersAndBcdAreExact) {
  expectRows({
      {"07 03 01 00 00 00 00 00 20 00", "Energy 9007199254740993 Wh"},  // 2^53 + 1
      {"07 13 01 00 00 00 00 00 20 00", "Volume 9007199254740.993 m^3"},
      {"07 03 00 00 00 00 00 00 00 80", "Energy -9223372036854775808 Wh"},
      {"07 78 FF FF FF FF FF FF FF FF", "Fabrication number 18446744073709551615"},
      {"0D 03 C9 78 56 34 12 90 78 56 34 12", "Energy 123456789012345678 Wh"},
      {"0D 13 D9 78 56 34 12 90 78 56 34 12", "Volume -123456789012345.678 m^3"},
      {"0A 13 00 F0", "Volume 0 m^3"}, {"0A 13 00 15", "Volume 1.5 m^3"},
      {"05 13 CD CC CC 3D", "Volume 0.0001 m^3"},  // 0.1f, by its shortest digits
      {"05 07 FF FF 7F 7F", "Energy 3.4028235e42 Wh"},  // the largest float times 10^4
      {"05 13 00 00 C0 7F", "Volume NaN m^3"}, {"05 13 00 00 80 FF", "Volume -Infinity m^3"},
  });
}

}  // namespace
