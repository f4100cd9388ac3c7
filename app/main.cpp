// The tool's entry point: working files, the port list, the window, the loop.
#include <fx.h>

#include <cstdio>

#include "app/main_window.h"
#include "app/config_file.h"
#include "interfaces/log_file.h"
#include "link/com_ports.h"

namespace {
const char* const CONFIG_FILE = "QORconfig.txt";
const char* const LOG_FILE = "QORFW.log";
}  // namespace

int main(int argc, char* argv[]) {
  readConfigFile(CONFIG_FILE);
  // Without a log (read-only folder, a directory of that name) the tool still
  // works; every writer skips the missing stream.
  const bool logOpen = openLogFile(LOG_FILE);

  FXApp application(DongleToolWindow::TITLE, "Brovanel");
  std::setvbuf(stdout, NULL, _IONBF, 0);
  std::setvbuf(stderr, NULL, _IONBF, 0);
  enumerateComPorts();
  application.init(argc, argv, TRUE);

  DongleToolWindow* window = new DongleToolWindow(&application);
  if (!logOpen) window->reportLogUnavailable(LOG_FILE);
  application.create();
  return application.run();
}
