#include <windows.h>

#include <cstdio>
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

void reachStartingConsole() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) return;
  if (AttachConsole(ATTACH_PARENT_PROCESS) && !std::freopen("CONOUT$", "w", stdout)) FreeConsole();
}
