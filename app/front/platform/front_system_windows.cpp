#include <cstdlib>

#include "app/front/front_system.h"

namespace fs = std::filesystem;

fs::path userDataBase() {
  // Wide, so that a user name outside the ANSI code page survives.
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  return local && fs::path(local).is_absolute() ? fs::path(local) : fs::path();
}

std::string noUserDataBaseText() { return "LOCALAPPDATA names no folder"; }

std::string portPermissionHint() { return ""; }
