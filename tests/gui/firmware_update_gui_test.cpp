// The firmware update through the real window under Xvfb. A pseudo-terminal
// stands for the dongle's port: the window connects to its slave side, and a
// small dongle on a thread answers on the master side, checking every
// protected telegram with OpenSSL.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "app/shell/com_ports.h"
#include "app/shell/config_file.h"
#include "app/shell/log_file.h"
#include "commands/identity_fields.h"
#include "firmware/firmware_image.h"
#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"

// Runs a callback on a FOX timeout, also inside the update's modal loop.
class UpdateTestTimer : public FXObject {
  FXDECLARE(UpdateTestTimer)

 public:
  enum { ID_TICK = 1 };
  std::function<void()> onTick;
  long onTimeout(FXObject*, FXSelector, void*) {
    if (onTick) onTick();
    return 1;
  }
};
FXDEFMAP(UpdateTestTimer) UpdateTestTimerMap[] = {
    FXMAPFUNC(SEL_TIMEOUT, UpdateTestTimer::ID_TICK, UpdateTestTimer::onTimeout)};
FXIMPLEMENT(UpdateTestTimer, FXObject, UpdateTestTimerMap, ARRAYNUMBER(UpdateTestTimerMap))

namespace {

FXApp& app() {
  static FXApp* application = [] {
    static int argc = 1;
    static char name[] = "firmware_update_gui_test";
    static char* argv[] = {name, nullptr};
    FXApp* a = new FXApp(DongleToolWindow::TITLE, "Brovanel");
    a->init(argc, argv, TRUE);
    a->create();
    return a;
  }();
  return *application;
}

void runFor(unsigned ms) {
  UpdateTestTimer timer;
  FXuint done = 0;
  timer.onTick = [&] { done = 1; };
  app().addTimeout(&timer, UpdateTestTimer::ID_TICK, ms);
  app().runUntil(done);
  app().removeTimeout(&timer, UpdateTestTimer::ID_TICK);
}

std::vector<uint8_t> hexBytes(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back((uint8_t)std::stoi(text.substr(i, 2), nullptr, 16));
  return out;
}

FXButton* findButton(FXWindow* window, const char* label) {
  for (FXWindow* child = window->getFirst(); child; child = child->getNext()) {
    if (FXButton* button = dynamic_cast<FXButton*>(child))
      if (button->getText() == label) return button;
    if (FXButton* found = findButton(child, label)) return found;
  }
  return nullptr;
}

// The dongle on the master side of the pty.
class PtyDongle {
 public:
  struct Seen {
    bool reqUd2 = false;
    bool macOk = false;
    int command = -1;
    int block = -1;
    uint32_t counter = 0;
  };

  PtyDongle() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) slaveName = name;
    struct termios tio;
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
  }
  ~PtyDongle() {
    stop();
    close(master_);
    close(slave_);
  }
  void start(const std::vector<uint8_t>& meterId, const std::vector<uint8_t>& key) {
    std::memcpy(meterId_, meterId.data(), 4);
    std::memcpy(key_, key.data(), 16);
    running_ = true;
    thread_ = std::thread([this] { loop(); });
  }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  std::vector<uint8_t> image() {
    std::lock_guard<std::mutex> lock(mutex_);
    return image_;
  }
  std::string slaveName;
  std::atomic<int> dataBlocks{0};

 private:
  void loop() {
    std::vector<uint8_t> pending;
    while (running_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
      uint8_t buffer[512];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      pending.insert(pending.end(), buffer, buffer + n);
      while (!pending.empty()) {
        if (pending[0] != 0x10 && pending[0] != 0x68) {
          pending.erase(pending.begin());
          continue;
        }
        const size_t size = pending[0] == 0x10 ? 5 : (pending.size() >= 2 ? pending[1] + 6u : 0);
        if (size == 0 || pending.size() < size) break;
        take(std::vector<uint8_t>(pending.begin(), pending.begin() + (long)size));
        pending.erase(pending.begin(), pending.begin() + (long)size);
      }
    }
  }
  void take(const std::vector<uint8_t>& frame) {
    Seen s;
    std::vector<uint8_t> reply;
    if (frame[0] == 0x10) {
      s.reqUd2 = frame[1] == 0x5B;
      reply = longFrame(0x08, 0xFB, {0x78, 0x01, 0xFD, 0x17, 0x00});
    } else {
      std::vector<uint8_t> app(frame.begin() + 6, frame.end() - 2);
      if (app.size() > 40 && app[0] == 0x90) {
        s.counter = app[5] | app[6] << 8 | app[7] << 16 | (uint32_t)app[8] << 24;
        s.macOk = ossl::verifyAndDecrypt(app, meterId_, key_, false);
        s.command = app[36];
        if (s.macOk && s.command == 0x32) {
          s.block = app[38] | app[39] << 8;
          std::lock_guard<std::mutex> lock(mutex_);
          const size_t offset = (size_t)s.block * 128, count = app[37] - 2u;
          if (image_.size() < offset + count) image_.resize(offset + count);
          std::copy(app.begin() + 40, app.begin() + 40 + (long)count, image_.begin() + (long)offset);
        }
      }
      if (s.macOk) reply = {0xE5};
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(s);
    }
    if (s.block >= 0) ++dataBlocks;
    if (!reply.empty() && write(master_, reply.data(), reply.size()) < 0) return;
  }

  int master_ = -1, slave_ = -1;
  uint8_t meterId_[4] = {};
  uint8_t key_[16] = {};
  std::atomic<bool> running_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Seen> seen_;
  std::vector<uint8_t> image_;
};

std::vector<uint8_t> writeFirmware(const char* path, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = (uint8_t)(i * 31 + i / 128);
  FILE* f = std::fopen(path, "wb");
  std::fwrite(bytes.data(), 1, size, f);
  std::fclose(f);
  return bytes;
}

class FirmwareUpdateGui : public ::testing::Test {
 protected:
  void SetUp() override {
    encryptionOn = 1;
    useSimpleProtocol = 0;
    doubleBlock42 = 0;
    skipBlock15 = 0;
    firmwareLoaded = 0;
    std::memset(configLines, 0, sizeof configLines);
    configLoaded = 0;
    ASSERT_FALSE(dongle.slaveName.empty());
    setenv("MBUS_FWTOOL_PORTS", dongle.slaveName.c_str(), 1);
    enumerateComPorts();
    ASSERT_TRUE(openLogFile("QORFW.log"));
    window = new DongleToolWindow(&app());
    window->create();
    window->show(PLACEMENT_SCREEN);
    app().forceRefresh();
    app().flush(true);
    FXListBox* ports = window->getPortList();
    const FXint index = ports->findItem(dongle.slaveName.c_str());
    ASSERT_GE(index, 0);
    ports->setCurrentItem(index);
    window->getBaudList()->setCurrentItem(1);
    send(DongleToolWindow::ID_CONNECT);
    ASSERT_TRUE(window->getConnection().connected());
    dongle.start(meterId(), hexBytes(window->fieldText(Field::Key)));
  }
  void TearDown() override {
    dongle.stop();
    delete window;
    app().flush(true);
    closeLogFile();
  }
  std::vector<uint8_t> meterId() const {
    std::vector<uint8_t> id = hexBytes(window->fieldText(Field::IdNumber));
    return {id[3], id[2], id[1], id[0]};
  }
  long send(FXSelector id) { return window->handle(nullptr, FXSEL(SEL_COMMAND, id), nullptr); }
  void openFirmware(const std::string& path) {
    window->chooseFirmwarePath = [path] { return path; };
    ASSERT_EQ(send(DongleToolWindow::ID_OPEN_FIRMWARE), 1);
  }
  std::string console() const { return window->getConsole()->getText().text(); }
  // The progress dialog, a top-level window of the root while it exists.
  static FXProgressDialog* progressDialog() {
    for (FXWindow* top = app().getRootWindow()->getFirst(); top; top = top->getNext())
      if (FXProgressDialog* dialog = dynamic_cast<FXProgressDialog*>(top)) return dialog;
    return nullptr;
  }

  PtyDongle dongle;
  DongleToolWindow* window = nullptr;
};

TEST_F(FirmwareUpdateGui, EncryptedUpdateReachesTheDongleWithAProgressDialog) {
  const std::vector<uint8_t> image = writeFirmware("small.cfw", 300);
  openFirmware("small.cfw");
  EXPECT_NE(console().find("Read 300 bytes from file small.cfw\n"), std::string::npos);

  std::vector<std::string> messages;
  bool dialogShown = false;
  UpdateTestTimer watcher;
  watcher.onTick = [&] {
    if (FXProgressDialog* dialog = progressDialog()) {
      // The update's waits run modal for the dialog.
      dialogShown = dialogShown || (dialog->shown() && app().getModalWindow() == dialog);
      if (messages.empty() || messages.back() != dialog->getMessage().text())
        messages.push_back(dialog->getMessage().text());
    }
    app().addTimeout(&watcher, UpdateTestTimer::ID_TICK, 20);
  };
  app().addTimeout(&watcher, UpdateTestTimer::ID_TICK, 20);
  const uint32_t counter = (uint32_t)std::stoul(window->fieldText(Field::Counter), nullptr, 16);
  EXPECT_EQ(send(DongleToolWindow::ID_FIRMWARE_UPDATE), 1);
  app().removeTimeout(&watcher, UpdateTestTimer::ID_TICK);

  std::string order;
  for (const PtyDongle::Seen& s : dongle.seen()) {
    if (s.reqUd2) {
      order += "REQ ";
      continue;
    }
    EXPECT_TRUE(s.macOk) << s.command;
    EXPECT_EQ(s.counter, counter);
    char item[8];
    std::snprintf(item, sizeof item, "%02X ", s.command);
    order += item;
  }
  EXPECT_EQ(order, "31 REQ 30 REQ 32 REQ 32 REQ 32 REQ 33 REQ 34 ");
  EXPECT_EQ(dongle.image(), image);
  EXPECT_NE(console().find("Dongle is now reprogramming, please reselect Dongle and check result.\n"),
            std::string::npos);
  EXPECT_EQ(invocationCounter, counter + 1);
  EXPECT_TRUE(dialogShown);
  EXPECT_NE(std::find(messages.begin(), messages.end(), "encrypted QOR protocol\nblock 2 of 3"), messages.end());
  EXPECT_EQ(progressDialog(), nullptr);
}

// A real ctrl-o typed into the main window (its file choice is the test's).
bool typeCtrlO(FXWindow* window) {
  char command[160];
  std::snprintf(command, sizeof command, "xdotool windowfocus --sync %lu key ctrl+o >/dev/null 2>&1",
                (unsigned long)window->id());
  return std::system(command) == 0;
}

TEST_F(FirmwareUpdateGui, CancelButtonStopsTheUpdateAndTheMainWindowTakesNoInputMeanwhile) {
  writeFirmware("big.cfw", 2048);
  int choices = 0;
  window->chooseFirmwarePath = [&] {
    ++choices;
    return std::string("big.cfw");
  };
  ASSERT_TRUE(typeCtrlO(window));
  runFor(300);
  ASSERT_EQ(choices, 1) << "the key must reach an idle window, else the refusal below proves nothing";

  bool clicked = false;
  UpdateTestTimer clicker;
  clicker.onTick = [&] {
    FXProgressDialog* dialog = progressDialog();
    if (!dialog || !dialog->shown() || dongle.dataBlocks < 3) {
      app().addTimeout(&clicker, UpdateTestTimer::ID_TICK, 20);
      return;
    }
    typeCtrlO(window);  // refused while the update runs
    // A real click on Cancel, at the button's place on the screen.
    FXButton* cancel = findButton(dialog, "Cancel");
    ASSERT_NE(cancel, nullptr);
    FXint x = 0, y = 0;
    cancel->translateCoordinatesTo(x, y, app().getRootWindow(), cancel->getWidth() / 2, cancel->getHeight() / 2);
    char command[160];
    std::snprintf(command, sizeof command, "xdotool mousemove --sync %d %d click 1 >/dev/null 2>&1", x, y);
    clicked = std::system(command) == 0;
  };
  app().addTimeout(&clicker, UpdateTestTimer::ID_TICK, 20);
  EXPECT_EQ(send(DongleToolWindow::ID_FIRMWARE_UPDATE), 1);
  app().removeTimeout(&clicker, UpdateTestTimer::ID_TICK);
  runFor(300);  // a key that slipped through would be served now at the latest

  ASSERT_TRUE(clicked);
  EXPECT_EQ(choices, 1);
  const std::string text = console();
  const size_t cancelled = text.rfind("Firmware update cancelled at block ");
  ASSERT_NE(cancelled, std::string::npos);
  EXPECT_NE(text.find(" of 16.\n", cancelled), std::string::npos);
  int starts = 0;
  for (size_t at = text.find("Starting firmware update"); at != std::string::npos;
       at = text.find("Starting firmware update", at + 1))
    ++starts;
  EXPECT_EQ(starts, 1);
  for (const PtyDongle::Seen& s : dongle.seen()) EXPECT_NE(s.command, 0x33);
  EXPECT_LT(dongle.dataBlocks, 16);

  // The tool is ready for the next command: a REQ_UD2 gets its answer printed.
  const size_t before = console().size();
  send(DongleToolWindow::ID_REQ_UD2);
  runFor(700);
  EXPECT_NE(console().find("<<< Answer\n", before), std::string::npos);
}

}  // namespace
