// Takes the README walkthrough's screenshots: the steps a newcomer takes after
// tools/run-tool, done with real clicks and keys (xdotool) on the real window
// and the real file dialog, against the virtual dongle at 9600 baud.
//   xvfb-run -a -s "-screen 0 1280x1024x24" walkthrough_shots DOCS_DIR
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e/e2e_harness.h"

using namespace e2e;

namespace {

std::string docs;

// The part of the screen that holds the main window and every window shown
// above it (list pop-up, dialogs), with a small margin.
void shoot(DongleToolWindow* window, const char* name) {
  app().forceRefresh();
  app().flush(true);
  runFor(150);
  FXint left = window->getX(), top = window->getY();
  FXint right = left + window->getWidth(), bottom = top + window->getHeight();
  for (FXWindow* w = app().getRootWindow()->getFirst(); w; w = w->getNext()) {
    if (!w->shown() || w == window) continue;
    left = FXMIN(left, w->getX());
    top = FXMIN(top, w->getY());
    right = FXMAX(right, w->getX() + w->getWidth());
    bottom = FXMAX(bottom, w->getY() + w->getHeight());
  }
  left = FXMAX(0, left - 8);
  top = FXMAX(0, top - 8);
  char command[512];
  std::snprintf(command, sizeof command, "import -window root -crop %dx%d+%d+%d +repage '%s/%s' 2>/dev/null",
                right + 8 - left, bottom + 8 - top, left, top, docs.c_str(), name);
  if (std::system(command) != 0) std::fprintf(stderr, "screenshot %s failed\n", name);
  std::printf("%s/%s\n", docs.c_str(), name);
}

void xdo(const std::string& args) {
  if (!xdotool(args)) std::fprintf(stderr, "xdotool %s failed\n", args.c_str());
}

template <class T>
T* findShown() {
  for (FXWindow* w = app().getRootWindow()->getFirst(); w; w = w->getNext())
    if (T* t = dynamic_cast<T*>(w))
      if (t->shown()) return t;
  return nullptr;
}

template <class T>
T* findChild(FXWindow* root) {
  for (FXWindow* child = root->getFirst(); child; child = child->getNext()) {
    if (T* t = dynamic_cast<T*>(child)) return t;
    if (T* t = findChild<T>(child)) return t;
  }
  return nullptr;
}

// Picks an item of a list box whose pop-up is open, and closes the pop-up.
void pickItem(FXListBox* box, int index) {
  if (FXPopup* popup = findShown<FXPopup>()) popup->popdown();
  box->setCurrentItem(index);
  runFor(200);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: walkthrough_shots DOCS_DIR\n");
    return 2;
  }
  docs = argv[1];
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::string image = buildDir() + "/sample-firmware.cfw";
  DongleProcess dongle("/tmp/mbus-dongle", {"--baud", "9600"});
  if (!dongle.started()) return 1;
  Tool tool(dongle.link);
  DongleToolWindow* window = tool.window;
  // As the program starts: the first port, 2400 baud.
  window->getPortList()->setCurrentItem(0);
  window->getBaudList()->setCurrentItem(0);
  runFor(1200);

  // 1. The port list, opened with a click; then the dongle's port and 9600 baud.
  clickWidget(window->getPortList());
  runFor(300);
  shoot(window, "walkthrough-1-port-list.png");
  const int dongleItem = window->getPortList()->findItem(dongle.link.c_str());
  pickItem(window->getPortList(), dongleItem);
  clickWidget(window->getBaudList());
  runFor(300);
  pickItem(window->getBaudList(), 1);
  if (window->getPortList()->getCurrentItem() != dongleItem || window->getBaudList()->getCurrentItem() != 1) {
    std::fprintf(stderr, "port or baud not chosen: %d %d\n", window->getPortList()->getCurrentItem(), window->getBaudList()->getCurrentItem());
    return 1;
  }

  // 2. Connect, then Send REQ_UD2: the answer fills the fields.
  clickWidget(findButton(window, "Connect"));
  if (!runUntil([&] { return window->getConnection().connected(); }, 3000)) {
    std::fprintf(stderr, "not connected: %s\n", tool.status().c_str());
    return 1;
  }
  clickWidget(findButton(window, "Send REQ_UD2"));
  runUntil([&] { return tool.console().find("Message counter found") != std::string::npos; }, 5000);
  shoot(window, "walkthrough-2-req-ud2.png");

  // 3. File > open firmware (ctrl-o): the file dialog, the name typed in.
  int step = 0;
  {
    Timer watcher;
    watcher.onTick = [&] {
      watcher.start(200);
      FXFileDialog* dialog = findShown<FXFileDialog>();
      if (!dialog) return;
      if (step == 0) {
        // No window manager: the dialog gets the keyboard only when told.
        xdo("windowfocus --sync " + std::to_string((unsigned long)dialog->id()));
        clickWidget(findChild<FXTextField>(dialog));  // the file name field
        xdo("type --delay 2 '" + image + "'");
      }
      if (step == 3) {
        shoot(window, "walkthrough-3-open-firmware.png");
        xdo("key Return");
      }
      ++step;
    };
    watcher.start(200);
    if (!typeCtrl(window, 'o')) std::fprintf(stderr, "ctrl+o not typed\n");
    runUntil([&] { return tool.console().find("Read 6000 bytes") != std::string::npos; }, 20000);
  }

  // 4. Options > firmware update (ctrl-f): the progress dialog half way.
  bool shot = false;
  {
    Timer watcher;
    watcher.onTick = [&] {
      watcher.start(100);
      FXProgressDialog* dialog = findShown<FXProgressDialog>();
      if (!dialog || shot || dialog->getProgress() < 20) return;
      shot = true;
      shoot(window, "walkthrough-4-update.png");
    };
    watcher.start(100);
    if (!typeCtrl(window, 'f')) std::fprintf(stderr, "ctrl+f not typed\n");
    runUntil([&] { return tool.console().find("Dongle is now reprogramming") != std::string::npos; }, 120000);
  }
  runFor(300);
  shoot(window, "walkthrough-5-done.png");
  std::printf("%s\n", dongle.waitForLine("firmware received: ", 5000).c_str());
  return step > 3 && shot ? 0 : 1;
}
