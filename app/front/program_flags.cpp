#include "app/front/program_flags.h"

#include <cstring>

ProgramFlag programFlag(int argc, const char* const argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) return ProgramFlag::Help;
    if (!std::strcmp(argv[i], "-V") || !std::strcmp(argv[i], "--version")) return ProgramFlag::Version;
  }
  return ProgramFlag::None;
}

std::string versionLine(const char* program) { return std::string(program) + " " + MBUS_VERSION; }

std::string windowUsage() {
  return "Usage: mbus-fwtool [--user-folder] [toolkit options]\n"
         "The window of the M-Bus dongle firmware update tool: connect to the dongle on a\n"
         "serial port, send SND_NKE and REQ_UD2, decrypt protected answers and update the\n"
         "firmware. It reads QORconfig.txt (identity and key) from its working folder and\n"
         "writes everything it sends and receives to QORFW.log there, emptied at each\n"
         "start.\n"
         "\n"
         "Options:\n"
         "  --user-folder           work in the user's own folder, made when missing:\n"
         "                          $XDG_DATA_HOME/mbus-fwtool (~/.local/share/mbus-fwtool),\n"
         "                          on Windows %LOCALAPPDATA%\\mbus-fwtool\n"
         "  -h, --help              this text\n"
         "  -V, --version           the program's name and version\n"
         "  -display DISPLAY, -sync, -noshm, -shm, -tracelevel N, -maxcolors N\n"
         "                          the toolkit's (FOX) own options\n"
         "\n"
         "Environment:\n"
         "  MBUS_FWTOOL_PORTS       more port names for the port list, separated by colons\n"
         "  MBUS_FWTOOL_PORT        the port the list opens on\n"
         "\n"
         "The command-line updater is mbus-fwupdate.\n";
}
