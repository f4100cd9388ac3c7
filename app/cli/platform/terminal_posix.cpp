#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "app/cli/terminal_front.h"
#include "app/cli/terminal_system.h"

namespace {

void onStopSignal(int) { stopRequested = 1; }

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : STOP_SIGNALS) sigaddset(&set, signal);
  return set;
}

}  // namespace

void installStopHandlers() {
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESETHAND: a second signal to the process group during a pause
  // would otherwise kill the children before they cancel.
  for (int signal : STOP_SIGNALS) sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // `| head -n 1` must not stop an update half-way
  const sigset_t set = stopSignals();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void blockStopSignals() {
  const sigset_t set = stopSignals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool consoleEscapes(FILE*, ConsoleMode&) { return true; }

void restoreConsole(const ConsoleMode&) {}

unsigned terminalColumns(FILE* stream) {
  winsize size = {};
  return ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;
