// The firmware update through the real window under Xvfb. The window connects
// to a pseudo-terminal; a dongle thread on its far end acknowledges, and every
// protected telegram it recorded is checked afterwards with OpenSSL.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/identity_fields.h"
#include "tests/support/gui_fixture.h"
#include "tests/support/openssl_telegram.h"

namespace {

using namespace guitest;
using W = DongleToolWindow;

Bytes hexBytes(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back((uint8_t)std::stoul(text.substr(i, 2), nullptr, 16));
  return out;
}

Bytes writeFirmware(const char* path, size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = (uint8_t)(i * 31 + i / 128);
  FILE* f = std::fopen(path, "wb");
  std::fwrite(bytes.data(), 1, size, f);
  std::fclose(f);
  return bytes;
}

// The progress dialog, a top-level window of the root while it exists.
FXProgressDialog* progressDialog() {
  for (FXWindow* top = app().getRootWindow()->getFirst(); top; top = top->getNext())
    if (FXProgressDialog* dialog = dynamic_cast<FXProgressDialog*>(top)) return dialog;
  return nullptr;
}

class FirmwareUpdateGui : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_FALSE(pty.path.empty());
    buildListing(pty.path);
    ASSERT_GE(window->getPortList()->findItem(pty.path.c_str()), 0);
    connect(pty.path, 1);
    ASSERT_TRUE(window->getConnection().connected());
    counter = (uint32_t)std::stoul(window->fieldText(Field::Counter), nullptr, 16);
  }

  // What the dongle took, in order: "REQ" for a REQ_UD2, the command of a
  // protected telegram with the expected counter and a MAC that OpenSSL
  // accepts ("31", "32", ...), else "bad". Data blocks are placed in `image`.
  std::string received(Bytes& image) {
    const Bytes id = hexBytes(window->fieldText(Field::IdNumber)), key = hexBytes(window->fieldText(Field::Key));
    const uint8_t meterId[4] = {id[3], id[2], id[1], id[0]};
    std::string order;
    for (const Bytes& frame : dongle.frames()) {
      if (frame[0] == 0x10) {
        order += frame[1] == 0x5B ? "REQ " : "short ";
        continue;
      }
      Bytes part(frame.begin() + 6, frame.end() - 2);
      const uint32_t mcr = part.size() > 40 ? part[5] | part[6] << 8 | part[7] << 16 | (uint32_t)part[8] << 24 : 0;
      if (part.size() <= 40 || part[0] != 0x90 || mcr != counter ||
          !ossl::verifyAndDecrypt(part, meterId, key.data(), false)) {
        order += "bad ";
        continue;
      }
      char item[8];
      std::snprintf(item, sizeof item, "%02X ", part[36]);
      order += item;
      if (part[36] != 0x32) continue;
      const size_t offset = (size_t)(part[38] | part[39] << 8) * 128, count = part[37] - 2u;
      if (image.size() < offset + count) image.resize(offset + count);
      std::copy(part.begin() + 40, part.begin() + 40 + (long)count, image.begin() + (long)offset);
    }
    return order;
  }

  PtyPair pty;
  PtyDongle dongle{pty};
  uint32_t counter = 0;
};

TEST_F(FirmwareUpdateGui, EncryptedUpdateReachesTheDongleWithAProgressDialog) {
  const Bytes image = writeFirmware("small.cfw", 300);
  window->chooseFirmwarePath = [] { return std::string("small.cfw"); };
  ASSERT_EQ(send(W::ID_OPEN_FIRMWARE), 1);
  EXPECT_NE(console().find("Read 300 bytes from file small.cfw\n"), std::string::npos);

  std::vector<std::string> messages;
  bool modalForTheDialog = false;
  Timer watcher;
  watcher.onTick = [&] {
    if (FXProgressDialog* dialog = progressDialog()) {
      modalForTheDialog = modalForTheDialog || (dialog->shown() && app().getModalWindow() == dialog);
      if (messages.empty() || messages.back() != dialog->getMessage().text())
        messages.push_back(dialog->getMessage().text());
    }
    watcher.start(20);
  };
  watcher.start(20);
  EXPECT_EQ(send(W::ID_FIRMWARE_UPDATE), 1);
  watcher.cancel();

  Bytes got;
  EXPECT_EQ(received(got), "31 REQ 30 REQ 32 REQ 32 REQ 32 REQ 33 REQ 34 ");
  EXPECT_EQ(got, image) << hex(got);
  EXPECT_NE(console().find("Dongle is now reprogramming, please reselect Dongle and check result.\n"),
            std::string::npos);
  EXPECT_EQ(invocationCounter, counter + 1);
  EXPECT_TRUE(modalForTheDialog);
  EXPECT_NE(std::find(messages.begin(), messages.end(), "encrypted QOR protocol\nblock 2 of 3"), messages.end());
  EXPECT_EQ(progressDialog(), nullptr);
}

TEST_F(FirmwareUpdateGui, CancelButtonStopsTheUpdateAndTheMainWindowTakesNoInputMeanwhile) {
  writeFirmware("big.cfw", 2048);
  int choices = 0;
  window->chooseFirmwarePath = [&] {
    ++choices;
    return std::string("big.cfw");
  };
  ASSERT_TRUE(typeCtrl(window, 'o'));
  runFor(300);
  ASSERT_EQ(choices, 1) << "the key must reach an idle window, else the refusal below proves nothing";

  bool clicked = false;
  Timer clicker;
  clicker.onTick = [&] {
    FXProgressDialog* dialog = progressDialog();
    // Long frames: commands 31 and 30, then the data blocks; wait for three.
    if (!dialog || !dialog->shown() || dongle.longFrames < 5) return clicker.start(20);
    typeCtrl(window, 'o');  // refused while the update runs
    FXButton* cancel = findButton(dialog, "Cancel");
    ASSERT_NE(cancel, nullptr);
    clicked = clickWidget(cancel);  // a real click, at the button's place on the screen
  };
  clicker.start(20);
  EXPECT_EQ(send(W::ID_FIRMWARE_UPDATE), 1);
  clicker.cancel();
  runFor(300);  // a key that slipped through would be served now at the latest

  ASSERT_TRUE(clicked);
  EXPECT_EQ(choices, 1);
  const std::string text = console();
  const size_t cancelled = text.rfind("Firmware update cancelled at block ");
  ASSERT_NE(cancelled, std::string::npos) << text;
  EXPECT_NE(text.find(" of 16.\n", cancelled), std::string::npos);
  EXPECT_NE(text.find("Starting firmware update"), std::string::npos);
  EXPECT_EQ(text.find("Starting firmware update"), text.rfind("Starting firmware update"));
  Bytes image;
  const std::string order = received(image);
  EXPECT_EQ(order.find("bad"), std::string::npos) << order;
  EXPECT_EQ(order.find("33"), std::string::npos) << order;
  EXPECT_LT(image.size(), 2048u) << order;

  // The tool is ready for the next command: a REQ_UD2 gets its answer printed.
  const size_t before = console().size();
  send(W::ID_REQ_UD2);
  EXPECT_TRUE(runUntil([&] { return console().find("<<< Answer\n", before) != std::string::npos; }, 2000));
}

}  // namespace
