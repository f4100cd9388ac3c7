#include <io.h>
#include <windows.h>

#include <csignal>

#include "app/cli/terminal_front.h"
#include "app/cli/terminal_system.h"

namespace {

// signal() there resets the handler on delivery: it is set again at once.
void onStopSignal(int signal) {
  stopRequested = 1;
  std::signal(signal, onStopSignal);
}

}  // namespace

void installStopHandlers() {
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
}

void blockStopSignals() {}

// Consoles before Windows 10 print escapes as they are; they get spaces.
bool consoleEscapes(FILE* stream, ConsoleMode& changed) {
  const HANDLE console = (HANDLE)_get_osfhandle(_fileno(stream));
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  if (!SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  changed.console = console;
  changed.mode = mode;
  return true;
}

void restoreConsole(const ConsoleMode& changed) {
  if (changed.console) SetConsoleMode((HANDLE)changed.console, (DWORD)changed.mode);
}

unsigned terminalColumns(FILE*) { return 0; }  // the line is not clipped

// The code page stays the console's after we end unless it is given back.
Utf8Console::Utf8Console() : before_(GetConsoleOutputCP()) {
  if (before_) SetConsoleOutputCP(CP_UTF8);
}

Utf8Console::~Utf8Console() {
  if (before_) SetConsoleOutputCP(before_);
}
