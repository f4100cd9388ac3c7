// End to end: firmware updates by each protocol through the real window (File
// > open firmware, the Settings menu's protocol checks, Options > firmware
// update) into the virtual dongle, which must end up holding the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_harness.h"
#include "tests/support/fakes.h"

using namespace e2e;

namespace {

struct Case {
  const char* protocol;    // as chooseProtocol names it
  const char* received;    // as the dongle names it
  const char* baud;        // the dongle's pacing
  const char* units;       // key of the unit count in the summary
  const char* count;       // units of the 6000-byte sample
  const char* closing;     // the tool's last line
};

class UpdateByProtocol : public ::testing::TestWithParam<Case> {};

TEST_P(UpdateByProtocol, DongleReceivesTheWholeFile) {
  const Case c = GetParam();
  const std::string image = buildDir() + "/sample-firmware.cfw";
  const std::vector<uint8_t> file = readBytes(image);
  ASSERT_EQ(file.size(), 6000u);
  DongleProcess dongle(std::string("dongle-") + c.protocol, {"--baud", c.baud});
  ASSERT_TRUE(dongle.started());
  Tool tool(dongle.link);
  ASSERT_TRUE(tool.connect());
  ASSERT_EQ(tool.openFirmware(image), 1);
  EXPECT_NE(tool.console().find("Read 6000 bytes from file " + image + "\n"), std::string::npos) << tool.console();
  tool.chooseProtocol(c.protocol);
  EXPECT_EQ(useSimpleProtocol, std::string(c.protocol) == "simple");
  EXPECT_EQ(encryptionOn, std::string(c.protocol) == "encrypted");

  EXPECT_EQ(tool.send(DongleToolWindow::ID_FIRMWARE_UPDATE), 1);
  const std::string text = tool.console();
  EXPECT_NE(text.find(c.closing), std::string::npos) << text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
  EXPECT_EQ(text.find("No answer from the dongle"), std::string::npos);

  const std::string line = dongle.waitForLine("firmware received: ", 5000);
  EXPECT_NE(line.find(std::string("protocol=") + c.received + " "), std::string::npos) << line;
  EXPECT_NE(line.find(" complete=yes "), std::string::npos) << line;
  const std::vector<uint8_t> got = readBytes(dongle.outputPath);
  EXPECT_EQ(got.size(), file.size());
  EXPECT_TRUE(got == file) << "first bytes received: " << hex(std::vector<uint8_t>(got.begin(), got.begin() + 32));

  EXPECT_EQ(dongle.stop(), 0);
  auto summary = dongle.summary();
  EXPECT_EQ(summary["complete"], "yes");
  EXPECT_EQ(summary[c.units], c.count);
  EXPECT_EQ(summary["length"], "6000");
  EXPECT_EQ(summary["missing"], "0");
  EXPECT_EQ(summary["repeats"], "0") << "a clean line needs no repetition";
  EXPECT_EQ(summary["mac_failures"], "0");
  EXPECT_EQ(summary["stale_counters"], "0");
}

// Pacing does not matter to the protocols' logic, so most run unpaced; the
// encrypted one, whose data blocks take longer than a poll interval on a
// 9600-baud line, runs paced.
INSTANTIATE_TEST_SUITE_P(
    Protocols, UpdateByProtocol,
    ::testing::Values(Case{"simple", "simple", "0", "chunks", "32", ">>> Upgrade process finished.\n"},
                      Case{"block", "block", "0", "blocks", "47",
                           "Dongle is now reprogramming, please reselect Dongle and check result.\n"},
                      Case{"encrypted", "encrypted-block", "9600", "blocks", "47",
                           "Dongle is now reprogramming, please reselect Dongle and check result.\n"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.protocol); });

}  // namespace
