// End to end, one run per protocol and way of reading answers (the receive
// poll, fast answers): the window loads the 700-byte sample and updates the
// virtual-dongle program on a pty at 9600 baud.
#include <string>
#include <tuple>

#include "tests/support/gui_fixture.h"
#include "virtual-dongle/dongle_launcher.h"

using namespace gui;

namespace {

struct ProtocolRow {
  const char* name;
  bool encryption, simple;
  const char* closingLine;
};

class UpdateEndToEnd : public WindowTest, public ::testing::WithParamInterface<std::tuple<ProtocolRow, bool>> {};

TEST_P(UpdateEndToEnd, DongleSavesTheImageByteForByte) {
  const auto [row, fast] = GetParam();
  DongleLauncher dongle(std::string("dongle-") + row.name, {"--baud", "9600"});
  ASSERT_TRUE(dongle.started());
  // Before connecting: the port opened afterwards must be watched too.
  if (fast) send(DongleToolWindow::ID_FAST_ANSWERS);
  ASSERT_TRUE(connect(dongle.link));
  // Without the receive timer only the watched port brings answers in.
  if (fast) app().removeTimeout(window, DongleToolWindow::ID_RECEIVE_TIMER);
  const std::string image = buildPath("sample-firmware-small.cfw");
  ASSERT_TRUE(openFirmware(image));
  if (updateOption(UpdateOption::Encryption) != row.encryption) send(DongleToolWindow::ID_ENCRYPTION);
  if (updateOption(UpdateOption::SimpleProtocol) != row.simple) send(DongleToolWindow::ID_SIMPLE_PROTOCOL);

  send(DongleToolWindow::ID_FIRMWARE_UPDATE);
  const std::string text = console();
  ASSERT_GE(text.size(), std::string(row.closingLine).size());
  EXPECT_EQ(text.substr(text.size() - std::string(row.closingLine).size()), row.closingLine) << text;
  EXPECT_EQ(dongle.stop(), 0);
  const auto file = readBytes(image);
  EXPECT_EQ(file.size(), 700u);
  EXPECT_TRUE(readBytes(dongle.outputPath) == file);
}

const char* const REPROGRAMMING = "Dongle is now reprogramming, please reselect Dongle and check result.\n";

INSTANTIATE_TEST_SUITE_P(
    Protocols, UpdateEndToEnd,
    ::testing::Combine(::testing::Values(ProtocolRow{"simple", false, true, ">>> Upgrade process finished.\n"},
                                         ProtocolRow{"block", false, false, REPROGRAMMING},
                                         ProtocolRow{"encrypted", true, false, REPROGRAMMING}),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<ProtocolRow, bool>>& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_fast" : "_default");
    });

}  // namespace
