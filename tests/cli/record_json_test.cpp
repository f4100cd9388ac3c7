// Record values in JSON, by hand: exact digits, NaN apart from null, a profile as its series.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/cli/frame_report.h"
#include "tests/support/fakes.h"

TEST(RecordJson, ValuesKeepEveryDigit) {
  const struct { const char* bytes; const char* value; } rows[] = {
      {"07 03 01 00 00 00 00 00 20 00", "9007199254740993"}, {"00 13", "null"}, {"01 FD 17 80", "\"0x80\""},  // 2^53 + 1
      {"0D 03 C9 78 56 34 12 90 78 56 34 12", "123456789012345678"}, {"05 13 00 00 C0 7F", "\"NaN\""},
      {"0D 13 D9 78 56 34 12 90 78 56 34 12", "-123456789012345.678"},
      {"0D 93 1E 04 01 0A 05 FB", R"({"elements":[{"storage":0,"value":0.005},{"storage":1,"value":-0.005}],)"
                                  R"("mode":"absolute","spacing":10,"spacing_unit":"s"})"},
  };
  for (const auto& row : rows) {
    const std::vector<uint8_t> b = fromHex(row.bytes);
    nlohmann::json object;
    addFrameReport(object, {MeterHeader{}, decodeRecords(b.data(), b.size())}, b.data(), b.size());
    const std::string text = jsonText(object["records"], -1);
    EXPECT_NE(text.find(std::string("\"value\":") + row.value + "}"), std::string::npos) << row.bytes << "\n" << text;
    const nlohmann::json parsed = nlohmann::json::parse(text);  // valid JSON, and the integer read back exactly
    EXPECT_TRUE(row.value[0] != '9' || parsed[0]["value"].get<uint64_t>() == 9007199254740993u) << text;
  }
}
