// The window against the virtual-dongle program on a pty: what the window
// takes while an update runs.
#include <cstdlib>
#include <string>

#include "tests/support/gui_fixture.h"
#include "virtual-dongle/dongle_launcher.h"

using namespace gui;

namespace {

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class DongleSession : public WindowTest {
 protected:
  DongleLauncher dongle{"dongle", {"--baud", "9600"}};
};

// Real X input through xdotool: FOX filters only what comes from the server.
bool xdotool(const std::string& arguments) {
  return std::system(("xdotool " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

FXProgressDialog* shownProgressDialog() {
  for (FXWindow* w = app().getRootWindow()->getFirst(); w; w = w->getNext())
    if (FXProgressDialog* dialog = dynamic_cast<FXProgressDialog*>(w))
      if (dialog->shown()) return dialog;
  return nullptr;
}

FXButton* firstButton(FXWindow* window) {
  for (FXWindow* child = window->getFirst(); child; child = child->getNext()) {
    if (FXButton* button = dynamic_cast<FXButton*>(child)) return button;
    if (FXButton* inner = firstButton(child)) return inner;
  }
  return nullptr;
}

TEST_F(DongleSession, RunningUpdateRefusesASecondCommandAndStopsOnCancel) {
  ASSERT_TRUE(dongle.started());
  ASSERT_TRUE(connect(dongle.link));
  ASSERT_TRUE(openFirmware(buildPath("sample-firmware.cfw")));
  int step = 0;
  bool typed = false, clicked = false;
  Timer user;
  user.onTick = [&] {
    FXProgressDialog* dialog = shownProgressDialog();
    if (dialog && step == 0) {
      typed = xdotool("windowfocus --sync " + std::to_string(window->id()) + " key ctrl+f");
      ++step;
    } else if (dialog && step == 1) {
      FXButton* cancel = firstButton(dialog);
      FXint x = 0, y = 0;
      cancel->translateCoordinatesTo(x, y, app().getRootWindow(), cancel->getWidth() / 2, cancel->getHeight() / 2);
      clicked = xdotool("mousemove --sync " + std::to_string(x) + " " + std::to_string(y) + " click 1");
      ++step;
    }
    if (step < 2) user.start(300);
  };
  user.start(300);
  send(DongleToolWindow::ID_FIRMWARE_UPDATE);
  ASSERT_TRUE(typed && clicked) << "xdotool failed";
  const std::string text = console();
  EXPECT_EQ(count(text, "Starting firmware update"), 1) << text;
  EXPECT_EQ(count(text, "Firmware update cancelled at "), 1) << text;
  EXPECT_EQ(shownProgressDialog(), nullptr);
}

}  // namespace
