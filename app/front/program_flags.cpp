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
  return "usage: mbus-fwtool [--user-folder] [toolkit options]\n"
         "The window of the M-Bus dongle firmware update tool: connect to the dongle on a\n"
         "serial port, send SND_NKE and REQ_UD2, decrypt protected answers and update the\n"
         "firmware. It reads QORconfig.txt (identity and key) from its working folder and\n"
         "writes everything it sends and receives to QORFW.log there, emptied at each start.\n"
         "  --user-folder           work in the user's own folder: $XDG_DATA_HOME/mbus-fwtool\n"
         "                          (~/.local/share/mbus-fwtool), %LOCALAPPDATA%\\mbus-fwtool\n"
         "                          on Windows; made when missing\n"
         "  -h, --help              this text\n"
         "  -V, --version           the program's name and version\n"
         "Toolkit options (FOX): -display DISPLAY, -sync, -noshm, -shm, -tracelevel N,\n"
         "-maxcolors N.\n"
         "environment: MBUS_FWTOOL_PORTS adds ports to the port list (separated by colons),\n"
         "MBUS_FWTOOL_PORT names the port the list opens on.\n"
         "The command-line updater is mbus-fwupdate.\n";
}
