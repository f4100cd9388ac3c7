// End to end on a bad line: seeded faults of the virtual dongle (dropped
// acknowledgements, stray bytes, corrupted answers), a dongle that falls
// silent, and one that closes the line in the middle of an update.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_harness.h"
#include "tests/support/fakes.h"

using namespace e2e;

namespace {

std::string tail(const std::string& text) { return text.substr(text.size() > 3000 ? text.size() - 3000 : 0); }

// The fault seeds are chosen so that each fault happens and the waits stay
// short; E2E_SEED tries another one (when the tool's telegram order changes,
// the same seed hits other telegrams).
std::string seed(const char* fixed) {
  const char* chosen = std::getenv("E2E_SEED");
  return chosen ? chosen : fixed;
}

class FaultyLine : public ::testing::Test {
 protected:
  // Connects, loads the image and runs the update with the protocol given.
  std::string update(Tool& tool, const std::string& protocol, const std::string& image) {
    EXPECT_TRUE(tool.connect());
    EXPECT_EQ(tool.openFirmware(image), 1);
    tool.chooseProtocol(protocol);
    EXPECT_EQ(tool.send(DongleToolWindow::ID_FIRMWARE_UPDATE), 1);
    EXPECT_EQ(app().getModalWindow(), nullptr) << "the progress dialog has gone";
    return tool.console();
  }
  // The image arrived whole and exactly once complete.
  void expectReceived(DongleProcess& dongle, const std::string& image) {
    const std::string line = dongle.waitForLine("firmware received: ", 5000);
    EXPECT_NE(line.find(" complete=yes "), std::string::npos) << line;
    const std::vector<uint8_t> file = readBytes(image), got = readBytes(dongle.outputPath);
    EXPECT_EQ(got.size(), file.size());
    EXPECT_TRUE(got == file);
  }
};

// Only acknowledgements travel back in the simple protocol: every dropped one,
// and every one behind stray bytes (the receiver drops the rest of that read),
// costs the chunk a repetition.
TEST_F(FaultyLine, SimpleUpdateRidesOutDroppedAcknowledgementsAndStrayBytes) {
  const std::string image = buildDir() + "/sample-firmware.cfw";
  DongleProcess dongle("dongle-acks", {"--baud", "0", "--seed", seed("7"), "--drop-ack", "0.1", "--stray", "0.1"});
  ASSERT_TRUE(dongle.started());
  Tool tool(dongle.link);
  const std::string text = update(tool, "simple", image);
  EXPECT_NE(text.find(">>> Upgrade process finished.\n"), std::string::npos) << tail(text);
  expectReceived(dongle, image);
  EXPECT_EQ(dongle.stop(), 0);
  auto summary = dongle.summary();
  const int dropped = std::stoi(summary["acks_dropped"]), stray = std::stoi(summary["stray_bytes"]);
  ASSERT_GT(dropped, 0) << "the seed must drop acknowledgements";
  ASSERT_GT(stray, 0) << "the seed must send stray bytes";
  const int repeats = std::stoi(summary["repeats"]);
  EXPECT_GT(repeats, 0);
  // Each chunk line beyond the 32 chunks is a repetition the dongle saw.
  EXPECT_EQ(occurrences(text, ">>> Send FW data "), 32 + repeats) << "dropped " << dropped << ", stray " << stray;
}

// A corrupted answer to REQ_UD2 is reported and does not count as an answer:
// the request is sent again.
TEST_F(FaultyLine, BlockUpdateSendsReqUd2AgainAfterACorruptedAnswer) {
  const std::string image = buildDir() + "/sample-firmware-small.cfw";
  DongleProcess dongle("dongle-corrupt", {"--baud", "0", "--seed", seed("4"), "--corrupt", "0.2"});
  ASSERT_TRUE(dongle.started());
  Tool tool(dongle.link);
  const std::string text = update(tool, "block", image);
  EXPECT_NE(text.find("Dongle is now reprogramming, please reselect Dongle and check result.\n"), std::string::npos)
      << tail(text);
  expectReceived(dongle, image);
  EXPECT_EQ(dongle.stop(), 0);
  auto summary = dongle.summary();
  const int corrupted = std::stoi(summary["answers_corrupted"]);
  ASSERT_GT(corrupted, 0) << "the seed must corrupt an answer";
  EXPECT_EQ(occurrences(text, "<<< Wrong checksum!\n"), corrupted);
  // 6 blocks with one REQ_UD2 each, 1 after start, 2 after the block status
  // report; one more for every corrupted answer.
  EXPECT_EQ(occurrences(text, ">>> REQ_UD2\n"), 9 + corrupted);
  EXPECT_EQ(summary["repeats"], "0");
}

TEST_F(FaultyLine, SilentDongleEndsTheUpdateWithTheNoAnswerLine) {
  const std::string image = buildDir() + "/sample-firmware-small.cfw";
  // Two chunks are taken, then nothing is answered.
  DongleProcess dongle("dongle-silent", {"--baud", "0", "--silent-after", "2"});
  ASSERT_TRUE(dongle.started());
  Tool tool(dongle.link);
  const std::string text = update(tool, "simple", image);
  EXPECT_NE(text.find("No answer from the dongle at chunk 3 of 4; update stopped.\n"), std::string::npos)
      << tail(text);
  EXPECT_EQ(occurrences(text, ">>> Send FW data 384 from 700 to 0x00004980\n"), 10) << "the chunk send limit";
  EXPECT_EQ(text.find(">>> Send FW upgrade signature\n"), std::string::npos);
  EXPECT_EQ(text.find(">>> Upgrade process finished.\n"), std::string::npos);
  EXPECT_TRUE(tool.window->getConnection().connected());
  EXPECT_EQ(dongle.stop(), 0);
  auto summary = dongle.summary();
  EXPECT_EQ(summary.count("complete"), 0u) << "no transfer ended";
  EXPECT_EQ(summary["telegrams"], "12");
}

TEST_F(FaultyLine, LineClosedMidUpdateReportsTheLostPortAndTheWindowStaysUsable) {
  const std::string image = buildDir() + "/sample-firmware.cfw";
  // 31, REQ_UD2, 30, REQ_UD2, block 0, REQ_UD2, block 1, REQ_UD2, block 2: then the line goes.
  auto dongle = std::make_unique<DongleProcess>("dongle-close", std::vector<std::string>{"--baud", "0", "--close-after", "9"});
  ASSERT_TRUE(dongle->started());
  Tool tool(dongle->link);
  const auto start = std::chrono::steady_clock::now();
  const std::string text = update(tool, "encrypted", image);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(occurrences(text, "Serial port dongle-close lost.\n"), 1) << tail(text);
  EXPECT_EQ(tool.status(), "Serial not connected.");
  EXPECT_FALSE(tool.window->getConnection().connected());
  EXPECT_EQ(text.find("No answer from the dongle"), std::string::npos);
  EXPECT_EQ(text.find("Dongle is now reprogramming"), std::string::npos);
  EXPECT_EQ(text.find(">>> Send FW data 384 from 6000 block 3/46"), std::string::npos) << "no block after the loss";
  EXPECT_LT(seconds, 15.0) << "the loss ends the update at once, not after a wait";
  EXPECT_EQ(dongle->waitExit(5000), 0);
  EXPECT_EQ(dongle->lines.back(), "virtual dongle closed the line after 9 telegrams");

  // The window takes a real click again, and the click is handled.
  FXButton* reqUd2 = findButton(tool.window, "Send REQ_UD2");
  ASSERT_NE(reqUd2, nullptr);
  runFor(100);
  ASSERT_TRUE(clickWidget(reqUd2));
  ASSERT_TRUE(runUntil([&] { return tool.status() == "REQ_UD2 sent."; }, 3000));
  EXPECT_EQ(tool.console().rfind(">>> REQ_UD2\n"), text.size()) << tool.console().substr(text.size());

  // The receive poll still runs: a dongle back on the same port is heard.
  dongle.reset();
  DongleProcess again("dongle-close", {"--baud", "0", "--id", "00000042"});
  ASSERT_TRUE(again.started());
  ASSERT_TRUE(clickWidget(findButton(tool.window, "Connect")));
  ASSERT_TRUE(runUntil([&] { return tool.window->getConnection().connected(); }, 3000));
  ASSERT_TRUE(clickWidget(reqUd2));
  EXPECT_TRUE(runUntil([&] { return tool.window->fieldText(Field::IdNumber) == "00000042"; }, 3000))
      << tool.console().substr(text.size());
}

}  // namespace
