// In-process tests of DongleToolWindow under Xvfb: one FXApp per program,
// the window built with the tool's globals at their start values (also for
// the end-to-end rig, tests/e2e/e2e_harness.h), running the event loop for a
// while or until a condition, closing modal boxes from a timer, keys and real
// clicks, screenshots, and a dongle thread on the far end of a PtyPair
// (tests/support/pty_pair.h).
// Header-only: test_support is linked into headless tests too and has no FOX.
#pragma once
#include <fx.h>
#include <fxkeys.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
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
#include "tests/support/pty_pair.h"

namespace guitest {

using Bytes = std::vector<uint8_t>;

inline FXApp& app() {
  static FXApp* application = [] {
    static int argc = 1;
    static char name[] = "mbus_gui_test";
    static char* argv[] = {name, nullptr};
    FXApp* a = new FXApp(DongleToolWindow::TITLE, "Brovanel");
    a->init(argc, argv, TRUE);
    a->create();
    return a;
  }();
  return *application;
}

// Runs a callback on a FOX timeout, inside modal loops too. FOX delivers
// timeouts through the virtual handle(), so no metaclass is needed.
class Timer : public FXObject {
 public:
  explicit Timer(std::function<void()> tick = nullptr) : onTick(std::move(tick)) {}
  ~Timer() override { cancel(); }
  void start(unsigned ms) { app().addTimeout(this, 1, ms); }
  void cancel() { app().removeTimeout(this, 1); }
  long handle(FXObject*, FXSelector sel, void*) override {
    if (FXSELTYPE(sel) == SEL_TIMEOUT && onTick) onTick();
    return 1;
  }
  std::function<void()> onTick;
};

// Runs the event loop until `done` holds or `maxMs` have passed; returns done().
inline bool runUntil(const std::function<bool()>& done, unsigned maxMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
  FXuint stop = 0;
  Timer check;
  check.onTick = [&] {
    if (done() || std::chrono::steady_clock::now() >= deadline) stop = 1;
    else check.start(10);
  };
  check.start(10);
  app().runUntil(stop);
  return done();
}
inline void runFor(unsigned ms) { runUntil([] { return false; }, ms); }

inline void collectLabels(FXWindow* window, std::string& texts) {
  for (FXWindow* child = window->getFirst(); child; child = child->getNext()) {
    if (FXLabel* label = dynamic_cast<FXLabel*>(child)) texts += std::string(label->getText().text()) + "|";
    collectLabels(child, texts);
  }
}

inline FXButton* findButton(FXWindow* window, const char* text) {
  for (FXWindow* child = window->getFirst(); child; child = child->getNext()) {
    if (FXButton* button = dynamic_cast<FXButton*>(child))
      if (button->getText() == text) return button;
    if (FXButton* found = findButton(child, text)) return found;
  }
  return nullptr;
}

// Closes the next modal box with `answer`, after recording its title and the
// texts of its labels ("|" after each) and running `before` on it.
class ModalCloser {
 public:
  explicit ModalCloser(FXSelector answer, std::function<void(FXTopWindow*)> before = nullptr)
      : answer_(answer), before_(std::move(before)) {
    timer_.onTick = [this] { tick(); };
    timer_.start(50);
  }
  bool seen = false;
  std::string title;
  std::string labels;

 private:
  void tick() {
    FXTopWindow* box = (FXTopWindow*)app().getModalWindow();
    if (!box) return timer_.start(20);
    seen = true;
    title = box->getTitle().text();
    collectLabels(box, labels);
    if (before_) before_(box);
    box->handle(nullptr, FXSEL(SEL_COMMAND, answer_), nullptr);
  }
  Timer timer_;
  FXSelector answer_;
  std::function<void(FXTopWindow*)> before_;
};

inline void sendKey(FXWindow* target, FXuint code, FXuint state, const char* text = "") {
  FXEvent press;
  press.type = SEL_KEYPRESS;
  press.code = code;
  press.state = state;
  press.text = text;
  target->handle(target, FXSEL(SEL_KEYPRESS, 0), &press);
  FXEvent release = press;
  release.type = SEL_KEYRELEASE;
  target->handle(target, FXSEL(SEL_KEYRELEASE, 0), &release);
}
// What a user's Return on a highlighted menu item does.
inline void clickMenuItem(FXWindow* item) { sendKey(item, KEY_Return, 0); }
inline void typeText(FXWindow* field, const std::string& text) {
  for (char c : text) sendKey(field, (FXuint)c, 0, std::string(1, c).c_str());
}

// The X server's own input, for what must come through the real event path.
inline bool xdotool(const std::string& arguments) {
  return std::system(("xdotool " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}
inline bool typeCtrl(FXWindow* window, char key) {
  return xdotool("windowfocus --sync " + std::to_string((unsigned long)window->id()) + " key ctrl+" + key);
}
// A click in the middle of a button, list box or field.
inline bool clickWidget(FXWindow* widget) {
  FXint x = 0, y = 0;
  widget->translateCoordinatesTo(x, y, app().getRootWindow(), widget->getWidth() / 2, widget->getHeight() / 2);
  return xdotool("mousemove --sync " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

// Saves the window as $MBUS_BUILD_DIR/screenshots/<name>.png; returns the
// path, or "" when the variable is not set or the capture failed.
inline std::string screenshot(FXWindow* window, const std::string& name) {
  const char* dir = std::getenv("MBUS_BUILD_DIR");
  if (!dir) return "";
  app().forceRefresh();
  app().repaint();
  app().flush(true);
  const std::string shots = std::string(dir) + "/screenshots", file = shots + "/" + name + ".png";
  mkdir(shots.c_str(), 0755);
  std::remove(file.c_str());
  const std::string cmd = "import -window " + std::to_string((unsigned long)window->id()) + " " + file;
  struct stat st;
  return std::system(cmd.c_str()) == 0 && stat(file.c_str(), &st) == 0 && st.st_size > 1000 ? file : "";
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// How often `what` stands in `text`, overlapping ones counted.
inline int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The process-wide state the window and the commands start from.
inline void resetToolState() {
  encryptionOn = 1;
  useSimpleProtocol = 0;
  doubleBlock42 = 0;
  skipBlock15 = 0;
  std::memset(meterAddress, 0, sizeof meterAddress);
  std::memset(meterIdBytes, 0, sizeof meterIdBytes);
  std::memset(communicationKey, 0, sizeof communicationKey);
  invocationCounter = 0;
  firmwareLoaded = 0;
  firmwareLength = 0;
  std::memset(configLines, 0, sizeof configLines);
  configLoaded = 0;
  comPortCount = 0;
}

// The window over the tool's start state, with its log open: the test
// fixture below and the end-to-end rig build on it.
struct ToolWindow {
  static constexpr const char* LOG_PATH = "QORFW.log";
  bool openLog() {
    resetToolState();
    return openLogFile(LOG_PATH);
  }
  void build() {
    window = new DongleToolWindow(&app());
    window->create();
    app().forceRefresh();
    app().flush(true);
  }
  // With `port` in the port list, through MBUS_FWTOOL_PORTS as a user sets it.
  void buildListing(const std::string& port) {
    setenv("MBUS_FWTOOL_PORTS", port.c_str(), 1);
    enumerateComPorts();
    build();
  }
  void closeWindowAndLog() {
    delete window;
    window = nullptr;
    app().flush(true);  // let the X server drop the window now
    closeLogFile();
  }
  long send(FXSelector id, void* data = nullptr) { return window->handle(nullptr, FXSEL(SEL_COMMAND, id), data); }
  // Picks `port` (added to the list when missing) and the baud item, then connects.
  void connect(const std::string& port, int baudItem) {
    FXListBox* ports = window->getPortList();
    FXint index = ports->findItem(port.c_str());
    if (index < 0) index = ports->appendItem(port.c_str());
    ports->setCurrentItem(index);
    window->getBaudList()->setCurrentItem(baudItem);
    send(DongleToolWindow::ID_CONNECT);
  }
  std::string console() const { return window->getConsole()->getText().text(); }
  std::string status() const { return window->getStatusLine()->getNormalText().text(); }

  DongleToolWindow* window = nullptr;
};

// Each test opens the log, builds the window when it is ready and deletes it.
class WindowTest : public ::testing::Test, public ToolWindow {
 protected:
  void SetUp() override { ASSERT_TRUE(openLog()); }
  void TearDown() override { closeWindowAndLog(); }
};

// Takes the complete short (0x10, 5 bytes) and long (0x68, L + 6 bytes)
// frames off the front of `pending`; bytes that start neither are dropped.
inline std::vector<Bytes> takeFrames(Bytes& pending) {
  std::vector<Bytes> frames;
  while (!pending.empty()) {
    if (pending[0] != 0x10 && pending[0] != 0x68) {
      pending.erase(pending.begin());
      continue;
    }
    const size_t size = pending[0] == 0x10 ? 5 : (pending.size() >= 2 ? pending[1] + 6u : 0);
    if (size == 0 || pending.size() < size) break;
    frames.emplace_back(pending.begin(), pending.begin() + (long)size);
    pending.erase(pending.begin(), pending.begin() + (long)size);
  }
  return frames;
}

// A dongle on a thread at the pty's master side: acknowledges every long
// frame and answers every short one with a report (CI 0x78, no fields
// changed), recording each frame it took. Checking them is the test's part.
class PtyDongle {
 public:
  explicit PtyDongle(const PtyPair& pty) : master_(pty.master), thread_([this] { loop(); }) {}
  ~PtyDongle() { stop(); }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Bytes> frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::atomic<int> longFrames{0};

 private:
  void loop() {
    Bytes pending;
    while (running_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
      uint8_t buffer[512];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) pending.insert(pending.end(), buffer, buffer + n);
      for (const Bytes& frame : takeFrames(pending)) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          frames_.push_back(frame);
        }
        const Bytes reply = frame[0] == 0x10 ? longFrame(0x08, 0xFB, {0x78, 0x01, 0xFD, 0x17, 0x00}) : Bytes{0xE5};
        if (frame[0] == 0x68) ++longFrames;
        if (::write(master_, reply.data(), reply.size()) < 0) return;
      }
    }
  }
  int master_;
  std::atomic<bool> running_{true};
  std::mutex mutex_;
  std::vector<Bytes> frames_;
  std::thread thread_;  // last: starts once the rest is built
};

}  // namespace guitest
