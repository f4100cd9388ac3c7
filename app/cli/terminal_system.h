// What the terminal front needs of the system: stop signals, the console's
// escapes, width and code page. One file per system, chosen by the build:
// platform/terminal_posix.cpp and platform/terminal_windows.cpp.
#pragma once
#include <cstdio>

// SIGINT, SIGTERM and SIGHUP set stopRequested however many arrive, so every
// run ends with its cancel line; a closed stdout (SIGPIPE) no longer ends the
// program: a write to it just fails. Then lets through the stop signals a
// parent blocked for us (blockStopSignals).
void installStopHandlers();
// In a child between fork and exec: a stop signal waits until the child's
// handlers are in place, instead of killing it without its cancel line.
void blockStopSignals();

// A console whose mode was changed, to give it back.
struct ConsoleMode {
  void* console = nullptr;
  unsigned long mode = 0;
};
// Whether the stream shows ESC [ K; an older Windows console is switched to
// it where it can be, and changed tells what to give back.
bool consoleEscapes(FILE* stream, ConsoleMode& changed);
void restoreConsole(const ConsoleMode& changed);
// The terminal's width in columns; 0 when unknown.
unsigned terminalColumns(FILE* stream);

// While it lives the console shows UTF-8 (units such as °C) on Windows.
class Utf8Console {
 public:
  Utf8Console();
  ~Utf8Console();
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  unsigned before_ = 0;
};
