// The real window in this process under Xvfb: one FXApp per program, the
// event loop run until a condition, modal boxes closed from a timer, and a
// window built over the core at its start state with its log open.
#pragma once
#include <fx.h>
#include <fxkeys.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "app/main_window.h"
#include "firmware/firmware_update.h"
#include "interfaces/log_file.h"
#include "tests/support/fakes.h"

namespace gui {

inline FXApp& app() {
  static FXApp* application = [] {
    static int argc = 1;
    static char name[] = "gui_test";
    static char* argv[] = {name, nullptr};
    FXApp* a = new FXApp(DongleToolWindow::TITLE, "Brovanel");
    a->init(argc, argv, TRUE);
    a->create();
    return a;
  }();
  return *application;
}

// A callback on a FOX timeout; timeouts also fire inside modal loops.
class Timer : public FXObject {
 public:
  explicit Timer(std::function<void()> tick = [] {}) : onTick(std::move(tick)) {}
  ~Timer() override { app().removeTimeout(this, 1); }
  void start(unsigned ms) { app().addTimeout(this, 1, ms); }
  long handle(FXObject*, FXSelector sel, void*) override {
    if (FXSELTYPE(sel) == SEL_TIMEOUT) onTick();
    return 1;
  }
  std::function<void()> onTick;
};

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

inline std::string labelTexts(FXWindow* window) {
  std::string texts;
  for (FXWindow* child = window->getFirst(); child; child = child->getNext()) {
    FXLabel* label = dynamic_cast<FXLabel*>(child);
    if (label && !dynamic_cast<FXButton*>(child)) texts += label->getText().text();
    texts += labelTexts(child);
  }
  return texts;
}

// Answers the next modal box with OK, keeping the text of its labels.
struct ModalCloser {
  ModalCloser() { timer.start(20); }
  std::string text;
  bool seen = false;
  Timer timer{[this] {
    FXWindow* box = app().getModalWindow();
    if (!box) return timer.start(20);
    seen = true;
    text = labelTexts(box);
    box->handle(nullptr, FXSEL(SEL_COMMAND, FXMessageBox::ID_CLICKED_OK), nullptr);
  }};
};

// What a user's Return on a highlighted menu item does.
inline void pressReturn(FXWindow* item) {
  FXEvent ev;
  ev.code = KEY_Return;
  item->handle(item, FXSEL(SEL_KEYPRESS, 0), &ev);
  item->handle(item, FXSEL(SEL_KEYRELEASE, 0), &ev);
}

// Each test builds the window over a fresh core, with the log in its folder.
class WindowTest : public ::testing::Test {
 protected:
  static constexpr const char* LOG = "QORFW.log";
  void SetUp() override {
    resetCoreState();
    // The one FXApp's settings store outlives each test's window.
    app().reg().deleteEntry("Settings", "fastAnswers");
    app().reg().deleteEntry("Settings", "decodeRecords");
    ASSERT_EQ(openLogFile(LOG), OwnFileResult::Opened);
    window = new DongleToolWindow(&app());
    window->create();
    app().forceRefresh();
  }
  void TearDown() override {
    delete window;
    app().flush(true);
    closeLogFile();
  }
  long send(FXSelector id) { return window->handle(nullptr, FXSEL(SEL_COMMAND, id), nullptr); }
  std::string console() const { return window->getConsole()->getText().text(); }
  // The port list holding just `port` (none when empty), 9600 baud, then Connect.
  bool connect(const std::string& port) {
    FXListBox* ports = window->getPortList();
    ports->clearItems();
    if (!port.empty()) ports->setCurrentItem(ports->appendItem(port.c_str()));
    window->getBaudList()->setCurrentItem(1);
    send(DongleToolWindow::ID_CONNECT);
    return window->getConnection().connected();
  }
  bool openFirmware(const std::string& path) {
    window->chooseFirmwarePath = [path] { return path; };
    return send(DongleToolWindow::ID_OPEN_FIRMWARE) == 1;
  }
  DongleToolWindow* window = nullptr;
};

}  // namespace gui
