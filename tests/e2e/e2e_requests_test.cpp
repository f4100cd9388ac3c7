// End to end: the real window connects to the virtual dongle's pseudo-terminal
// and exchanges REQ_UD2 with it, plain (CI 0x72) and protected (CI 0x90).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_harness.h"
#include "tests/support/fakes.h"

using namespace e2e;

namespace {

TEST(ToolAgainstVirtualDongle, ConnectAndClickedReqUd2FillTheFieldsFromAPlainAnswer) {
  DongleProcess dongle("dongle-plain", {"--baud", "9600", "--id", "12345678", "--manufacturer", "QOR", "--version",
                                        "2A", "--device-type", "37", "--counter", "0000002A"});
  ASSERT_TRUE(dongle.started());
  Tool tool(dongle.link);
  ASSERT_TRUE(tool.connect());
  EXPECT_EQ(tool.status(), "Connected to serial [dongle-plain] baudrate 9600");

  // A real click on the button.
  FXButton* button = findButton(tool.window, "Send REQ_UD2");
  ASSERT_NE(button, nullptr);
  runFor(100);
  ASSERT_TRUE(clickWidget(button));
  ASSERT_TRUE(runUntil([&] { return tool.console().find("Message counter found: ") != std::string::npos; }, 5000))
      << tool.console();

  const std::string text = tool.console();
  EXPECT_EQ(dumpAfter(text, ">>> REQ_UD2\n"), std::vector<uint8_t>({0x10, 0x5B, 0xFB, 0x56, 0x16}));
  EXPECT_EQ(tool.status(), "REQ_UD2 sent.");
  const std::vector<uint8_t> answer = dumpAfter(text, "<<< Answer\n");
  ASSERT_GE(answer.size(), 16u) << text;
  EXPECT_EQ(answer[0], 0x68);
  EXPECT_EQ(answer[6], 0x72) << hex(answer);
  EXPECT_EQ(answer.back(), 0x16);
  EXPECT_EQ(tool.window->fieldText(Field::Manufacturer), "QOR");
  EXPECT_EQ(tool.window->fieldText(Field::IdNumber), "12345678");
  EXPECT_EQ(tool.window->fieldText(Field::Version), "2A");
  EXPECT_EQ(tool.window->fieldText(Field::DeviceType), "37");
  // The dongle's counter 42, plus one.
  EXPECT_NE(text.find("Message counter found: 43\n"), std::string::npos) << text;
  EXPECT_EQ(tool.window->fieldText(Field::Counter), "0000002B");
  EXPECT_EQ(occurrences(text, "<<< Answer\n"), 1);

  // The second answer carries the next counter.
  tool.send(DongleToolWindow::ID_REQ_UD2);
  ASSERT_TRUE(runUntil([&] { return tool.console().find("Message counter found: 44\n") != std::string::npos; }, 5000))
      << tool.console();
  EXPECT_EQ(tool.window->fieldText(Field::Counter), "0000002C");
  dongle.stop();
  EXPECT_EQ(dongle.summary()["answers_sent"], "2");
}

TEST(ToolAgainstVirtualDongle, ProtectedAnswerDecryptsOnceTheFieldsHaveBeenRead) {
  const std::string key = "000102030405060708090A0B0C0D0E0F";
  DongleProcess dongle("dongle-protected", {"--baud", "0", "--key", key, "--id", "87654321", "--counter", "00000100"});
  ASSERT_TRUE(dongle.started());
  Tool tool(dongle.link);
  ASSERT_TRUE(tool.connect());
  tool.window->setFieldText(Field::Key, key);

  // The stores hold what the fields showed at start; a key typed since is
  // read only by the next update command, so this decryption fails while the
  // identity still comes into the fields.
  tool.send(DongleToolWindow::ID_REQ_UD2);
  ASSERT_TRUE(runUntil([&] { return tool.console().find("Decrypt Error.\n") != std::string::npos; }, 5000))
      << tool.console();
  EXPECT_EQ(tool.window->fieldText(Field::IdNumber), "87654321");
  EXPECT_EQ(tool.window->fieldText(Field::Counter), "00000101");
  EXPECT_NE(tool.console().find("Message counter found: 257\n"), std::string::npos);

  // The update command reads the fields into the stores even when it refuses.
  {
    ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
    EXPECT_EQ(tool.send(DongleToolWindow::ID_FIRMWARE_UPDATE), 0);
    EXPECT_EQ(closer.title, "No firmware selected.");
  }
  const size_t before = tool.console().size();
  tool.send(DongleToolWindow::ID_REQ_UD2);
  ASSERT_TRUE(runUntil([&] { return tool.console().find("Decrypt OK.\n", before) != std::string::npos; }, 5000))
      << tool.console().substr(before);

  const std::string text = tool.console();
  EXPECT_NE(text.find("Message counter found: 258\n", before), std::string::npos) << text.substr(before);
  EXPECT_NE(text.find("Decrypting using key: 0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08 0x09 0x0A 0x0B 0x0C "
                      "0x0D 0x0E 0x0F \n",
                      before),
            std::string::npos);
  const std::vector<uint8_t> received = dumpAfter(text, "<<< Answer\n", before);
  const std::vector<uint8_t> clear = dumpAfter(text, "Decrypt OK.\n", before);
  ASSERT_EQ(clear.size(), received.size()) << hex(clear);
  ASSERT_GT(clear.size(), 40u);
  EXPECT_EQ(clear[6], 0x90);
  EXPECT_EQ(clear[23], 0x72) << "long transport header behind the security layer";
  // The header as received (the last five MAC bytes, frame bytes 18 to 22,
  // are where the verification puts MCL and MCR), then the encrypted area in
  // clear from its 2F 2F on.
  EXPECT_EQ(std::vector<uint8_t>(clear.begin(), clear.begin() + 18),
            std::vector<uint8_t>(received.begin(), received.begin() + 18));
  EXPECT_EQ(std::vector<uint8_t>(clear.begin() + 18, clear.begin() + 23),
            std::vector<uint8_t>(received.begin() + 10, received.begin() + 15));
  EXPECT_EQ(std::vector<uint8_t>(clear.begin() + 23, clear.begin() + 37),
            std::vector<uint8_t>(received.begin() + 23, received.begin() + 37));
  EXPECT_EQ(clear[37], 0x2F) << hex(clear);
  EXPECT_EQ(clear[38], 0x2F) << hex(clear);
  EXPECT_NE(std::vector<uint8_t>(clear.begin() + 37, clear.end() - 2),
            std::vector<uint8_t>(received.begin() + 37, received.end() - 2))
      << "the area travelled encrypted";
  // The counter record 04 FD 08 of the answer, in clear.
  EXPECT_EQ(clear[39], 0x04);
  EXPECT_EQ(clear[40], 0xFD);
  EXPECT_EQ(clear[41], 0x08);
  EXPECT_EQ(occurrences(text.substr(before), "Decrypt Error.\n"), 0);
}

}  // namespace
