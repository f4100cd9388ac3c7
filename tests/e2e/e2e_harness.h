// The end-to-end rig of the e2e tests and the update benchmark: the virtual
// dongle as a child process on a pseudo-terminal, and the real window in this
// process under Xvfb, driven through its own messages and menu items.
#pragma once
#include <fx.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/main_window.h"

// Calls onTick on a FOX timeout, also inside the modal loops of an update.
class E2eTimer : public FXObject {
  FXDECLARE(E2eTimer)

 public:
  enum { ID_TICK = 1 };
  std::function<void()> onTick;
  long onTimeout(FXObject*, FXSelector, void*);
};

namespace e2e {

// MBUS_BUILD_DIR, else the build folder this program was built in.
std::string buildDir();
std::vector<uint8_t> readBytes(const std::string& path);
// key=value lines; later keys win.
std::map<std::string, std::string> readKeyValues(const std::string& path);

FXApp& app();  // one per process, made on first use
void runFor(unsigned ms);
// Runs the loop until done() holds or ms have passed; returns done().
bool runUntil(const std::function<bool()>& done, unsigned ms);

// Runs tick every ms for as long as it lives.
class Every {
 public:
  Every(unsigned ms, std::function<void()> tick);
  ~Every();
  Every(const Every&) = delete;
  Every& operator=(const Every&) = delete;

 private:
  E2eTimer timer_;
  unsigned ms_;
  std::function<void()> tick_;
};

// build/virtual-dongle with --link, --output and --summary-file in the
// working folder (names derived from the link), plus the options given.
class DongleProcess {
 public:
  DongleProcess(const std::string& link, const std::vector<std::string>& options);
  ~DongleProcess();  // SIGTERM, then SIGKILL if it does not end
  DongleProcess(const DongleProcess&) = delete;
  DongleProcess& operator=(const DongleProcess&) = delete;

  // The program runs and its link leads to its pty.
  bool started() const { return started_; }
  // The next output line beginning with prefix within ms; "" when none came.
  std::string waitForLine(const std::string& prefix, int ms);
  // Exit status once it has ended by itself within ms, else -1.
  int waitExit(int ms);
  int stop();  // SIGTERM and wait: the exit status
  std::map<std::string, std::string> summary() const { return readKeyValues(summaryPath); }

  const std::string link, outputPath, summaryPath;
  std::vector<std::string> lines;  // every output line read so far

 private:
  bool readLine(std::string& line, int ms);
  pid_t pid_ = -1;
  int out_ = -1;
  bool started_ = false;
  std::string partial_;
};

// The window as the program builds it, with the port list holding `port`
// (through MBUS_FWTOOL_PORTS), the log QORFW.log in the working folder, the
// option flags and telegram stores as at start, that port selected and 9600
// baud.
class Tool {
 public:
  explicit Tool(const std::string& port);
  ~Tool();
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  long send(FXSelector id) { return window->handle(nullptr, FXSEL(SEL_COMMAND, id), nullptr); }
  bool connect(int baudIndex = 1);
  // File > open firmware with the dialog answered by `path`.
  long openFirmware(const std::string& path);
  // A Return on the Settings menu check item, when its mark is not `on`.
  void setOption(FXMenuCheck* check, bool on);
  void chooseProtocol(const std::string& name);  // simple, block or encrypted
  std::string console() const { return window->getConsole()->getText().text(); }
  std::string status() const { return window->getStatusLine()->getNormalText().text(); }

  DongleToolWindow* window = nullptr;
};

// The bytes of the first dump ("0x%02X " lines) after the first `heading`
// found at or after `from`; empty when there is none.
std::vector<uint8_t> dumpAfter(const std::string& text, const std::string& heading, size_t from = 0);
// A real mouse click (xdotool) in the middle of a widget.
bool clickWidget(FXWindow* widget);
FXButton* findButton(FXWindow* root, const char* label);
// import of one window into a PNG.
bool screenshot(FXWindow* window, const std::string& path);

}  // namespace e2e
