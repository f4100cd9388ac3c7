// The record decoder against EN 13757-3's tables and hand-made frames; every
// expected line is worked out by hand from the bytes beside it. VIF 13 is a
// volume in litres (10^-3 m^3), VIF 03 energy in Wh.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/records.h"
#include "tests/support/fakes.h"
#include "virtual-dongle/dongle_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;


// Each record's line without its indent, then why decoding ended unless at the end.
std::string lines(const RecordList& list) {
  std::string s;
  for (const Record& r : list.records) s += (s.empty() ? "" : "\n") + formatRecord(r).substr(2);
  if (list.end != DecodeEnd::Complete) s += (s.empty() ? "" : "\n") + describeEnd(list);
  return s;
}

// Rows of bytes and the lines they decode to.
void expectRows(const std::vector<std::pair<const char*, const char*>>& rows) {
  for (const auto& [text, expected] : rows) {
    const Bytes b = fromHex(text);  // exactly its size: ASan sees a read past the end
    EXPECT_EQ(lines(decodeRecords(b.data(), b.size())), expected) << hex(b);
  }
}

// VIF 13 is a volume in litres (10^-3 m^3) throughout.
TEST(Records, EveryDataFieldCoding) {
  expectRows({
      {"00 13", "Volume"}, {"08 13", "Volume"}, {"01 13 FE", "Volume -0.002 m^3"},  // none, readout, signed 8 bits
      {"02 13 34 12", "Volume 4.66 m^3"}, {"04 13 78 56 34 12", "Volume 305419.896 m^3"},  // 0x1234, 0x12345678
      {"03 13 56 34 F2", "Volume -904.106 m^3"},  // 0xF23456 - 2^24 = 15873110 - 16777216
      {"05 13 00 00 C0 3F", "Volume 0.0015 m^3"}, {"06 13 FF FF FF FF FF FF", "Volume -0.001 m^3"},  // 1.5f; -1
      {"07 13 00 00 00 00 00 01 00 00", "Volume 1099511627.776 m^3"},  // 2^40
      {"09 13 12", "Volume 0.012 m^3"}, {"0A 13 34 12", "Volume 1.234 m^3"}, {"0B 13 56 34 12", "Volume 123.456 m^3"},
      {"0C 13 78 56 34 12", "Volume 12345.678 m^3"}, {"0E 13 90 78 56 34 12 00", "Volume 1234567.89 m^3"},
      {"0A 13 34 F2", "Volume -0.234 m^3"}, {"0A 13 3A 12", "Volume error: BCD 123A"},  // leading F: minus
      {"0A 13 34 FF", "Volume error: BCD FF34"},  // only the leading F is a sign
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

// Data 05 = 5 at the lowest and the highest exponent of each range.
TEST(Records, PrimaryVifRangesAtBothEnds) {
  expectRows({
      {"01 00 05", "Energy 0.005 Wh"}, {"01 07 05", "Energy 50000 Wh"}, {"01 08 05", "Energy 5 J"},
      {"01 0F 05", "Energy 50000000 J"}, {"01 10 05", "Volume 0.000005 m^3"}, {"01 17 05", "Volume 50 m^3"},
      {"01 18 05", "Mass 0.005 kg"}, {"01 1F 05", "Mass 50000 kg"}, {"01 20 05", "On time 5 s"},
      {"01 23 05", "On time 5 d"}, {"01 24 05", "Operating time 5 s"}, {"01 27 05", "Operating time 5 d"},
      {"01 28 05", "Power 0.005 W"}, {"01 2F 05", "Power 50000 W"}, {"01 30 05", "Power 5 J/h"},
      {"01 37 05", "Power 50000000 J/h"}, {"01 38 05", "Volume flow 0.000005 m^3/h"}, {"01 3F 05", "Volume flow 50 m^3/h"},
      {"01 40 05", "Volume flow 0.0000005 m^3/min"}, {"01 47 05", "Volume flow 5 m^3/min"},
      {"01 48 05", "Volume flow 0.000000005 m^3/s"}, {"01 4F 05", "Volume flow 0.05 m^3/s"},
      {"01 50 05", "Mass flow 0.005 kg/h"}, {"01 57 05", "Mass flow 50000 kg/h"},
      {"01 58 05", "Flow temperature 0.005 °C"}, {"01 5B 05", "Flow temperature 5 °C"},
      {"01 5C 05", "Return temperature 0.005 °C"}, {"01 5F 05", "Return temperature 5 °C"},
      {"01 60 05", "Temperature difference 0.005 K"}, {"01 63 05", "Temperature difference 5 K"},
      {"01 64 05", "External temperature 0.005 °C"}, {"01 67 05", "External temperature 5 °C"},
      {"01 68 05", "Pressure 0.005 bar"}, {"01 6B 05", "Pressure 5 bar"}, {"01 70 05", "Averaging duration 5 s"},
      {"01 73 05", "Averaging duration 5 d"}, {"01 74 05", "Actuality duration 5 s"},
      {"01 77 05", "Actuality duration 5 d"}, {"01 6E 05", "Units for H.C.A. 5"}, {"01 7A 05", "Bus address 5"},
      {"0C 78 78 56 34 12", "Fabrication number 12345678"}, {"01 79 05", "Enhanced identification 5"},
      {"01 7E 05", "Any VIF 5"}, {"01 FF 85 01 05", "Manufacturer specific 5 (VIFE 85 01)"},
      {"01 6F 05", "Reserved VIF 6F 5"}, {"01 7C 03 48 52 25 05", "Plain-text VIF 5 %RH"},  // "%RH" backwards
  });
}

TEST(Records, ExtensionTableFamilies) {
  expectRows({
      {"01 FD 00 05", "Credit 0.005 currency units"}, {"01 FD 07 05", "Debit 5 currency units"},
      {"04 FD 08 2A 00 00 00", "Access number 42"}, {"01 FD 09 04", "Medium 4"}, {"01 FD 17 05", "Error flags 0x05"},
      {"0D FD 0C 03 43 42 41", "Model/version ABC"}, {"01 FD 1C 05", "Baud rate 5 Bd"},
      {"01 FD 21 05", "Last storage number 5"}, {"01 FD 24 05", "Storage interval 5 s"},
      {"01 FD 29 05", "Storage interval 5 year"}, {"01 FD 2C 05", "Duration since last readout 5 s"},
      {"01 FD 31 05", "Duration of tariff 5 min"}, {"01 FD 39 05", "Period of tariff 5 year"},
      {"01 FD 3A 05", "Dimensionless 5"}, {"01 FD 40 05", "Voltage 0.000000005 V"}, {"01 FD 4F 05", "Voltage 5000000 V"},
      {"01 FD 50 05", "Current 0.000000000005 A"}, {"01 FD 5F 05", "Current 5000 A"}, {"01 FD 61 05", "Cumulation counter 5"},
      {"01 FD 68 05", "Duration since last cumulation 5 h"}, {"01 FD 6F 05", "Operating time battery 5 year"},
      {"01 FD 71 B0", "RSSI -80 dBm"}, {"02 FD 70 0F 33", "Date and time of battery change 2024-03-15"},
      {"01 FD 19 05", "Reserved VIF FD 19 5"}, {"01 FD 77 05", "Reserved VIF FD 77 5"},
      {"01 FB 00 05", "Energy 0.5 MWh"}, {"01 FB 09 05", "Energy 5 GJ"}, {"01 FB 10 05", "Volume 500 m^3"},
      {"01 FB 19 05", "Mass 5000 t"}, {"01 FB 1A 05", "Relative humidity 0.5 %"}, {"01 FB 21 05", "Volume 0.5 feet^3"},
      {"01 FB 23 05", "Volume 5 american gallon"}, {"01 FB 24 05", "Volume flow 0.005 american gallon/min"},
      {"01 FB 26 05", "Volume flow 5 american gallon/h"}, {"01 FB 28 05", "Power 0.5 MW"},
      {"01 FB 31 05", "Power 5 GJ/h"}, {"01 FB 2B 05", "Phase U-I 0.5 °"}, {"01 FB 2F 05", "Frequency 5 Hz"},
      {"01 FB 58 05", "Flow temperature 0.005 °F"}, {"01 FB 67 05", "External temperature 5 °F"},
      {"01 FB 70 05", "Cold/warm temperature limit 0.005 °F"}, {"01 FB 77 05", "Cold/warm temperature limit 5 °C"},
      {"01 FB 7F 05", "Cumulative count max power 50000 W"}, {"01 FB 06 05", "Reserved VIF FB 06 5"},
      {"01 FD 17 80", "Error flags 0x80"}, {"02 FD 1B 01 80", "Digital input 0x8001"}, {"01 FD 61 FF", "Cumulation counter 255"},
      {"02 FD 1A 01 80", "Digital output 0x8001"}, {"04 FD 08 FF FF FF FF", "Access number 4294967295"},
      {"01 FB 02 05", "Reactive energy 5 kVARh"}, {"01 FB 03 05", "Reactive energy 50 kVARh"}, {"01 FB 0C 05", "Energy 0.5 MCal"},
      {"01 FB 04 05", "Apparent energy 5 kVAh"}, {"01 FB 05 05", "Apparent energy 50 kVAh"}, {"01 FB 0F 05", "Energy 500 MCal"},
      {"01 FB 14 05", "Reactive power 0.005 kVAR"}, {"01 FB 17 05", "Reactive power 5 kVAR"}, {"01 FB 20 05", "Volume 5 feet^3"},
      {"01 FB 34 05", "Apparent power 0.005 kVA"}, {"01 FB 37 05", "Apparent power 5 kVA"},
      {"01 FB 22 05", "Volume 0.5 american gallon"}, {"01 FB 0A 05", "Reserved VIF FB 0A 5"},
  });
}

// 2024-03-15 13:45:30: day 15, month 3, year 24 = 0011 000. Summer time: F byte 1 bit 7, I byte 0 bit 6.
TEST(Records, DateTypes) {
  expectRows({
      {"02 6C 0F 33", "Date 2024-03-15"}, {"02 6C 6F C3", "Date 1999-03-15"},  // G; year 99 = 1100 011
      // F, F with hundreds 1 and year 99, F with IV set, G with day 0, I (a Friday in week 11), J
      {"04 6D 2D 0D 0F 33", "Date and time 2024-03-15T13:45"}, {"04 6D 2D 2D 6F C3", "Date and time 2099-03-15T13:45"},
      {"04 6D AD 0D 0F 33", "Date and time error: time marked invalid"}, {"02 6C 00 33", "Date error: no date: 0033"},
      {"06 6D 1E 2D AD 0F 33 0B", "Date and time 2024-03-15T13:45:30"}, {"03 6D 1E 2D 0D", "Date and time 13:45:30"},
      {"0A 6C 15 03", "Date error: a date in a data field that holds none"},  // BCD
      {"04 93 39 2D 0D 0F 33", "Volume 2024-03-15T13:45 (start date of)"},
      {"04 6D 2D 8D 0F 33", "Date and time 2024-03-15T13:45 (summer time)"},
      {"06 6D 5E 2D AD 0F 33 0B", "Date and time 2024-03-15T13:45:30 (summer time)"},
      {"04 FD 72 01 02 03 04", "Daylight saving 04030201"}, {"02 FD 73 34 12", "Listening window management 1234"},
  });
}

TEST(Records, DifeStorageTariffSubunitAndFunction) {
  expectRows({
      {"41 13 05", "Volume 0.005 m^3 (storage 1)"}, {"81 01 13 05", "Volume 0.005 m^3 (storage 2)"},
      {"81 10 13 05", "Volume 0.005 m^3 (tariff 1)"}, {"81 40 13 05", "Volume 0.005 m^3 (subunit 1)"},
      {"C1 8F 7F 13 05", "Volume 0.005 m^3 (storage 511, tariff 12, subunit 2)"},  // 1 + 15 << 1 + 15 << 5
      {"81 80 80 80 80 80 80 80 80 80 40 13 05", "Volume 0.005 m^3 (subunit 512)"},  // the tenth DIFE
      {"81 80 80 80 80 80 80 80 80 80 80 40 13 05", "stopped at byte 0: more than 10 DIFEs"},
      {"11 13 05", "Volume 0.005 m^3 (maximum)"}, {"21 13 05", "Volume 0.005 m^3 (minimum)"},
      {"31 13 05", "Volume 0.005 m^3 (during error)"},
  });
}

TEST(Records, VariableLength) {
  expectRows({
      {"0D 13 03 63 62 61", "Volume abc"}, {"0D 13 C2 34 12", "Volume 1.234 m^3"},  // last character first
      {"0D 13 D2 34 12", "Volume -1.234 m^3"}, {"0D 13 E2 34 12", "Volume 4.66 m^3"},
      {"0D 13 F0 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", "Volume 0F0E0D0C0B0A09080706050403020100"},
      {"01 13 05 0D 13 CA 00", "Volume 0.005 m^3\nstopped at byte 3: a reserved LVAR, of unknown length"},
      {"0D 13 F7 00", "stopped at byte 0: a reserved LVAR, of unknown length"},
  });
  // F5 and F6: 48 and 64 bytes, 01 first and AB last on the wire, most significant first; the next record decodes.
  for (const auto& [lvar, n] : {std::pair{0xF5, 48u}, {0xF6, 64u}}) {
    const std::string zeros(2 * (n - 2), '0');
    const Bytes b = fromHex("0D 13 " + hex({(uint8_t)lvar}) + "01 " + zeros + "AB 01 13 05");
    EXPECT_EQ(lines(decodeRecords(b.data(), b.size())), "Volume AB" + zeros + "01\nVolume 0.005 m^3");
  }
}

TEST(Records, CombinableVifes) {
  expectRows({
      {"01 93 22 05", "Volume 0.005 m^3/h"}, {"01 AB 36 05", "Power 5 W*s"},
      {"01 93 48 05", "Volume 0.005 m^3 (upper limit value)"}, {"01 93 16 05", "Volume error: data overflow"},
      {"01 93 49 05", "Volume 5 (number of exceeds of upper limit)"},
      {"02 93 4F 0F 33", "Volume 2024-03-15 (date of end of last exceed of upper limit)"},
      {"01 93 52 05", "Volume 5 h (duration of first exceed of lower limit)"},
      {"01 93 70 05", "Volume 0.000000005 m^3"}, {"01 93 77 05", "Volume 0.05 m^3"}, {"01 93 7D 05", "Volume 5 m^3"},
      {"01 93 7B 05", "Volume 0.005 m^3 (additive correction constant 10^0 m^3)"},
      {"01 93 FF 05 07", "Volume 0.007 m^3 (VIFE FF 05)"},  // the rest is the manufacturer's
      {"01 93 C4 22 05 01 13 07", "Volume 0.005 m^3 (VIFE C4 22)\nVolume 0.007 m^3"},  // 44 unknown
      {"01 93 A0 A0 A0 A0 A0 A0 A0 A0 A0 A0 20 05", "stopped at byte 0: more than 10 VIFEs"},
      {"01 93 12 05", "Volume, average value 0.005 m^3"}, {"01 93 14 05", "Volume, relative deviation 0.005 m^3"},
      {"01 93 1D 05", "Volume, standard-conform data content 0.005 m^3"}, {"01 93 15 05", "Volume error: no data available"},
      {"01 93 FC 01 05", "Volume 0.005 m^3 (at phase L1)"}, {"01 93 FC 04 05", "Volume 0.005 m^3 (at neutral)"},
      {"01 93 FC 8C 22 05", "Volume 0.005 m^3/h (delta between import and export)"}, {"01 93 FC 0D 05", "Volume 0.005 m^3 (VIFE FC 0D)"},
      {"01 93 BD 3E 05", "Volume 0.005 m^3 (alternate non-metric unit system, value at base conditions)"},
      {"01 93 3F 05", "Volume 0.005 m^3 (OBIS declaration)"}, {"01 93 7E 05", "Volume 0.005 m^3 (future value)"},
      {"01 93 61 05", "Volume 5 min (duration of first occurrence)"}, {"01 93 69 05", "Volume 0.005 m^3 (leakage values)"},
      {"01 93 67 05", "Volume 5 d (duration of last occurrence)"}, {"01 93 6D 05", "Volume 0.005 m^3 (overflow values)"},
      {"01 93 68 05", "Volume 0.005 m^3 (value during lower limit exceed)"},
      {"01 93 6C 05", "Volume 0.005 m^3 (value during upper limit exceed)"},
      {"02 93 6A 0F 33", "Volume 2024-03-15 (date of begin of first occurrence)"},
      {"02 93 6F 0F 33", "Volume 2024-03-15 (date of end of last occurrence)"},
      {"01 FD FD 02 05", "Remaining battery lifetime 5 month"}, {"01 FD FD 03 05", "Remaining battery lifetime 5 year"},
      {"01 FD FD 04 05", "Reserved VIF FD FD 04 5"}, {"01 FD F7 22 05", "Reserved VIF FD 77 5 (VIFE 22)"},
      {"01 FB 86 12 05", "Reserved VIF FB 06 5 (VIFE 12)"}, {"01 93 10 05", "Volume error: reserved error 10"},
  });
}

TEST(Records, SpecialFunctions) {
  expectRows({
      {"2F 2F 01 13 05 2F", "Volume 0.005 m^3"}, {"7F 01 13 05", "Global readout\nVolume 0.005 m^3"},
      {"01 13 05 0F 01 02", "Volume 0.005 m^3\nManufacturer data 0102\nmanufacturer data from byte 3 to the end"},
      {"1F", "Manufacturer data\nmanufacturer data from byte 0 to the end; more records in the next telegram"},
      {"01 13 05 3F 00", "Volume 0.005 m^3\nstopped at byte 3: a reserved special function, of unknown length"},
  });
}

const char* const kHeatRecords =
    "0C 06 56 34 12 00 0C 14 27 04 85 02 "  // energy BCD 00123456 * 10^(6-3) Wh; volume 02850427 * 10^(4-6) m^3
    "0B 2B 50 23 01 0B 3B 21 43 00 "        // power 012350 W; volume flow 004321 * 10^(3-6) m^3/h
    "0A 5A 12 07 0A 5E 45 04 0A 62 67 02 "  // flow, return and difference, BCD * 0.1
    "04 6D 2D 0D 0F 33 "                    // type F
    "4C 14 11 03 85 02 42 6C 1D 32";        // storage 1: volume and date (2024-02-29, type G)
const char* const kHeatLines =
    "Energy 123456000 Wh\nVolume 28504.27 m^3\nPower 12350 W\nVolume flow 4.321 m^3/h\n"
    "Flow temperature 71.2 °C\nReturn temperature 44.5 °C\nTemperature difference 26.7 K\n"
    "Date and time 2024-03-15T13:45\nVolume 28503.11 m^3 (storage 1)\nDate 2024-02-29 (storage 1)";

TEST(Records, ACutRecordStopsWhereItBeganAndNothingPastTheEndIsRead) {
  const Bytes all = fromHex(kHeatRecords);
  const RecordList whole = decodeRecords(all.data(), all.size());
  ASSERT_EQ(lines(whole), kHeatLines);
  for (size_t k = 0; k <= all.size(); ++k) {
    const Bytes cut(all.begin(), all.begin() + (long)k);
    const RecordList l = decodeRecords(cut.data(), cut.size());
    size_t n = 0;
    while (n < whole.records.size() && whole.records[n].offset + whole.records[n].length <= k) ++n;
    const size_t next = n ? whole.records[n - 1].offset + whole.records[n - 1].length : 0;
    ASSERT_EQ(l.records.size(), n) << hex(cut);
    EXPECT_EQ(l.end, next == k ? DecodeEnd::Complete : DecodeEnd::Truncated) << hex(cut);
    EXPECT_EQ(l.stopOffset, next) << hex(cut);
  }
}

Bytes frame(const std::string& data) { return vdongle::buildLongFrame(0x08, 0x05, fromHex(data)); }

TEST(Records, HeatMeterFrame) {
  // Id 12345678, HYD = 8 << 10 | 25 << 5 | 4 = 0x2324, version 1, heat (04), access 2A.
  const Bytes f = frame(std::string("72 78 56 34 12 24 23 01 04 2A 00 00 00 ") + kHeatRecords);
  const FrameRecords d = decodeFrame(f.data(), f.size());
  const MeterHeader& h = d.header;
  EXPECT_EQ(h.id + h.manufacturer + " " + std::to_string(h.medium) + " " + std::to_string(h.accessNumber),
            "12345678HYD 4 42");
  EXPECT_EQ(lines(d.list), kHeatLines) << hex(f);
  EXPECT_EQ(d.list.records[1].offset, 25u);  // 19 + the energy record's 6 bytes
  EXPECT_EQ(formatRecord(d.list.records[1]), "  Volume 28504.27 m^3");
  const Bytes shortHeader = frame("7A 2B 00 00 00 0C 14 27 04 85 02"), noHeader = frame("78 0C 14 27 04 85 02");
  const FrameRecords s = decodeFrame(shortHeader.data(), shortHeader.size());
  EXPECT_EQ(lines(s.list) + " " + std::to_string(s.header.accessNumber), "Volume 28504.27 m^3 43");
  EXPECT_EQ(lines(decodeFrame(noHeader.data(), noHeader.size()).list), "Volume 28504.27 m^3");
}

TEST(Records, DamagedFramesSayWhere) {
  const Bytes good = frame("72 78 56 34 12 24 23 01 04 2A 00 00"), other = frame("51 0C 14");
  for (const auto& [f, text] : std::vector<std::pair<Bytes, std::string>>{
           {withByte(good, 18, (uint8_t)~good[18]), "stopped at byte 18: the checksum is wrong"},
           {withByte(good, 19, 0x17), "not a long frame (start, length or stop byte)"},
           {truncated(good, 19), "not a long frame (start, length or stop byte)"},
           {good, "stopped at byte 7: the header runs past the end"},
           {other, "stopped at byte 6: a CI field without records to read here"}})
    EXPECT_EQ(describeEnd(decodeFrame(f.data(), f.size()).list), text) << hex(f);
}

TEST(Records, ProtectedAnswerOnceDecrypted) {
  // AFL (AFLL 0F, counter 1, MAC), long header, configuration 20 07 (mode 7), CFE, then the area.
  const std::string head =
      "90 0F 00 2C 25 01 00 00 00 00 00 00 00 00 00 00 00 72 78 56 34 12 24 23 01 07 2A 00 20 07 10 ";
  const Bytes part = fromHex(head + "2F 2F 04 FD 08 2A 00 00 00 0C 14 27 04 85 02 2F 2F");
  const FrameRecords d = decodeProtectedRecords(part.data(), part.size());
  EXPECT_EQ(d.header.id + " " + lines(d.list), "12345678 Access number 42\nVolume 28504.27 m^3") << hex(part);
  const Bytes encrypted = fromHex(head + "5C 2F 04 FD 08");
  EXPECT_EQ(describeEnd(decodeProtectedRecords(encrypted.data(), encrypted.size()).list),
            "stopped at byte 31: no 2F 2F: the area is not decrypted");
}

// OMS Volume 2. Control byte: increment mode (bits 7-6), spacing unit (5-4), element size as a DIF's data field (3-0).
TEST(Records, CompactProfilesAsSeries) {
  expectRows({
      {"0D 93 1F 06 62 01 05 00 07 00 01 13 05",  // 62: increments, hours, 16 bits; a record still follows
       "Volume, compact profile: every 1 h, increment, 1: 0.005, 2: 0.007 m^3\nVolume 0.005 m^3"},
      // storage 1 + (DIFE 01 << 1) = 3; 39: absolute, days, 2-digit BCD; spacing FD: one month
      {"CD 01 93 1E 05 39 FD 12 34 56", "Volume, compact profile with registers: every 1 month, absolute, "
                                        "storage 3: 0.012, storage 4: 0.034, storage 5: 0.056 m^3 (storage 3)"},
      {"0D 93 13 04 C1 0F FF 01", "Volume, inverse compact profile: every 15 s, difference, 1: -0.001, 2: 0.001 m^3"},
      {"0D 93 1F 04 69 01 12 3A", "Volume, compact profile: every 1 h, increment, 1: 0.012, 2: error: BCD 3A m^3"},
      {"0D 93 1F 04 05 01 00 00", "Volume, compact profile 05010000 (compact profile not read: element size code 05 is no integer or BCD)"},
      {"0D 93 1F 05 62 01 05 00 07", "Volume, compact profile 6201050007 (compact profile not read: 3 bytes are no whole number of elements)"},
      {"0D 93 1F 03 61 FF 05", "Volume, compact profile 61FF05 (compact profile not read: reserved spacing value FF)"},
  });
}

}  // namespace
