#include <cstdlib>

#include "app/front/front_system.h"

namespace fs = std::filesystem;

// Relative values are ignored, as the XDG base directory rules ask: they
// would depend on where the program happened to start.
fs::path userDataBase() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && fs::path(data).is_absolute()) return data;
  const char* home = std::getenv("HOME");
  if (home && fs::path(home).is_absolute()) return fs::path(home) / ".local" / "share";
  return fs::path();
}

std::string noUserDataBaseText() { return "Neither XDG_DATA_HOME nor HOME names a folder"; }

std::string portPermissionHint() {
  return " (serial ports belong to the dialout group: sudo usermod -aG dialout $USER, then log in again)";
}

void reachStartingConsole() {}
