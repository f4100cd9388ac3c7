// The end-to-end rig of the e2e tests and the update benchmark: the virtual
// dongle as a child process on a pseudo-terminal (tests/support/
// dongle_process.h), and the real window in this process under Xvfb, driven
// through its own messages and menu items with the GUI fixture's helpers.
#pragma once
#include <string>
#include <vector>

#include "tests/support/dongle_process.h"
#include "tests/support/gui_fixture.h"

namespace e2e {

// One FXApp per process, the loop, timers, modal boxes and clicks: the GUI
// fixture's.
using namespace guitest;

// The window as the program builds it, with the port list holding `port`
// (through MBUS_FWTOOL_PORTS), the log QORFW.log in the working folder, the
// option flags and telegram stores as at start, that port selected and 9600
// baud.
class Tool : public ToolWindow {
 public:
  explicit Tool(const std::string& port);
  ~Tool() { closeWindowAndLog(); }
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  bool connect(int baudIndex = 1);
  // File > open firmware with the dialog answered by `path`.
  long openFirmware(const std::string& path);
  // A Return on the Settings menu check item, when its mark is not `on`.
  void setOption(FXMenuCheck* check, bool on);
  void chooseProtocol(const std::string& name);  // simple, block or encrypted
};

// The bytes of the first dump ("0x%02X " lines) after the first `heading`
// found at or after `from`; empty when there is none.
std::vector<uint8_t> dumpAfter(const std::string& text, const std::string& heading, size_t from = 0);

}  // namespace e2e
