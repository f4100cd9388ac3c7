// mbus-fwupdate --decode as one table: command line in, exit code, JSON fields and error out. Frames come
// from the virtual dongle's framing and protection (its OpenSSL code), not the tool's own.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/cli/decode_command.h"
#include "tests/support/fakes.h"
#include "virtual-dongle/dongle_frames.h"
#include "virtual-dongle/dongle_protection.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint8_t kKey[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                          0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
const uint8_t kId[4] = {0x04, 0x03, 0x02, 0x01};  // 01020304, LSB first
// Water meter 87654321 of BRV (0x0A56): 00035791 l = 35.791 m^3, external temperature 0x00CB * 0.1 = 20.3 °C.
const Bytes kHeader{0x72, 0x21, 0x43, 0x65, 0x87, 0x56, 0x0A, 0x14, 0x07, 0x5C, 0x00, 0x00, 0x00};
const Bytes kRecords{0x0C, 0x13, 0x91, 0x57, 0x03, 0x00, 0x02, 0x66, 0xCB, 0x00};

Bytes frame(Bytes data) { return vdongle::buildLongFrame(0x08, 0x05, data); }
Bytes plusRecords(Bytes h, size_t cut = 0) { return h.insert(h.end(), kRecords.begin(), kRecords.end() - (long)cut), h; }
// protectFromMeter writes the configuration itself: the header ends with the status.
Bytes sealed(const Bytes& h, const Bytes& r) { return frame(vdongle::protectFromMeter({&h[0], &h[11]}, r, 7, kId, kKey)); }

TEST(DecodeCommand, FramesGiveTheirExitCodeFieldsAndTheCheckThatFailed) {
  const Bytes plain = frame(plusRecords(kHeader)), withCounter = plusRecords({4, 0xFD, 8, 0x2A, 0, 0, 0, 2, 0x93, 0x41, 3, 0});
  const Bytes open = sealed(kHeader, withCounter);  // MAC'd for 01020304, its header says 87654321
  // A short-header CI puts the configuration where the header's bytes 10 07 say 16 bytes at 23: no 2F 2F there.
  const Bytes noFiller = sealed({0x7A, 0x2A, 0x00, 0x10, 0x07, 0, 0, 0, 0, 0, 0}, withCounter);
  const std::string key = "5A17C3E90B4D62F8A1C07E3B9D2F4A68", id = "--id=01020304", zero(32, '0');
  // `json`: JSON pointers into the output and their values; null stands for absent.
  const struct { const char* behaviour; std::vector<std::string> args; int exit; const char* json, *error; } rows[] = {
      {"PlainAnswerInSpacedHex", {hex(plain)}, 0, R"({"/id": "87654321", "/end": null, "/records/0/value": 35.791,
        "/records/0/unit": "m^3", "/records/0/raw": "0C1391570300", "/records/1/value": 20.3, "/decrypt": "not protected"})", ""},
      {"FileWithLineBreaks", {"@frame.hex"}, 0, R"({"/access_number": "5C", "/records/1/unit": "°C"})", ""},
      {"NoHeaderCi78", {hex(frame(plusRecords({0x78})))}, 0, R"({"/ci": "78", "/records/0/value": 35.791, "/id": null})", ""},
      {"CutRecordEndsEarly", {hex(frame(plusRecords(kHeader, 2)))}, 0,
       R"({"/records/1": null, "/end": "stopped at byte 25: the record runs past the end"})", ""},
      {"ProtectedWithKeyAndId", {hex(open), "--key", key, id}, 0, R"j({"/decrypt": "ok", "/control": "08", "/records/0/value": 42,
        "/records/1/quantity": "Volume (number of exceeds of lower limit)", "/records/1/unit": null})j", ""},
      {"ProtectedWithoutIdTakesTheHeaders", {hex(open), "--key", key}, 6, R"({"/decrypt_check": "mac", "/records": null})",
       "the MAC does not match"},
      {"ProtectedWithWrongKey", {hex(open), "--key", zero, id}, 6, R"({"/decrypt": "error", "/decrypt_check": "mac"})",
       "the MAC does not match"},
      {"ProtectedWithout2F2F", {hex(noFiller), "--key", key, id}, 6, R"({"/decrypt_check": "2f2f"})", "not begin 2F 2F"},
      {"BadChecksum", {hex(withByte(plain, plain.size() - 2, 0))}, 6, R"({"/records": null})", "the checksum is wrong"},
      {"NoHexDigit", {"68 0x"}, 6, "{}", "character 5 of the frame is no hex digit"},
      {"OpenFrameNeedsNeitherKeyNorConfig", {hex(plain), "--key", "5A17", "--id", "x"}, 0, R"({"/id": "87654321"})", ""},
      {"ProtectedWithBadKeyIsAUsageError", {hex(open), "--key", "5A17"}, 1, R"({"/decrypt": null})", "--key must be 32"},
      {"ProtectedTakesTheConfigsKey", {hex(open), id}, 1, "{}", "QORconfig.txt line 5: key must be 32 hex digits"},
  };
  const std::vector<std::string> broken = {"brv", "1", "", "", "5A17"};  // every line refused
  CliSources sources;
  sources.config = [&] { return &broken; };
  sources.readFile = [&](const std::string& path, size_t, std::string& text) {
    return text = hex(plain).replace(29, 1, "\r\n").replace(60, 1, "\n"), path == "frame.hex";
  };
  CliOptions options;
  std::string error;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.behaviour);
    std::vector<std::string> args = {"--json", "--decode"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ASSERT_EQ(parseCommandLine(args, sources, options, error), CliParse::Ok) << error;
    const DecodeRun run = decodeFrameCommand(options, sources);
    EXPECT_EQ(exitCode(run.exit), row.exit) << run.err;
    EXPECT_TRUE(*row.error ? run.err.find(row.error) != std::string::npos : run.err.empty()) << run.err;
    const nlohmann::json got = nlohmann::json::parse(run.out);
    const nlohmann::json expected = nlohmann::json::parse(row.json);
    for (const auto& [pointer, value] : expected.items())
      EXPECT_EQ(got.value(nlohmann::json::json_pointer(pointer), nlohmann::json()), value) << pointer << run.out;
  }
  ASSERT_EQ(parseCommandLine({"--decode", hex(open), "--key", key, id}, sources, options, error), CliParse::Ok);  // configuration 20 07
  EXPECT_EQ(decodeFrameCommand(options, sources).out,
            "control: 08\naddress: 05\nci: 72\nmanufacturer: BRV\nid: 87654321\nversion: 14\ndevice type: 07\n"
            "access number: 5C\nstatus: 00\nsignature: 0720\ndecrypt: ok\n  Access number 42\n"
            "  Volume 3 (number of exceeds of lower limit)\n  Volume 35.791 m^3\n  External temperature 20.3 °C\n");
}

}  // namespace
