#include "app/cli/terminal_front.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#endif
#include <unistd.h>

#include <cstdarg>

volatile std::sig_atomic_t stopRequested = 0;

namespace {

void onStopSignal(int) { stopRequested = 1; }

// The simple protocol counts chunks; the block protocols blocks.
const char* unitOf(const std::string& protocol) {
  return protocol.find("simple") != std::string::npos ? "chunks" : "blocks";
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

}  // namespace

void installStopHandlers() {
#ifdef _WIN32  // no sigaction; signal() there resets the handler on delivery, as SA_RESETHAND does
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
#else
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends a program that no longer listens
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

void TerminalPump::runPending() {
  if (clock_.now() < next_) return;
  poll_();
  next_ = clock_.now() + interval_;
}

void TerminalPump::pumpEvents() {
  if (arrived_ && arrived_()) next_ = {};
  runPending();
  pause(2);
}

void TerminalPump::pause(int ms) {
  if (ms > 0) clock_.sleep(ms);
}

std::string progressLine(const std::string& protocol, const std::string& step, unsigned done, unsigned total,
                         double seconds) {
  const unsigned percent = total ? done * 100 / total : 100;
  const double rate = seconds > 0 ? done / seconds : 0;
  std::string left = "-:--";
  if (rate > 0) {
    const unsigned s = (unsigned)((total - done) / rate + 0.5);
    left = format("%u:%02u", s / 60, s % 60);
  }
  return format("%s %3u%%  %s  %.1f %s/s  %s left", protocol.c_str(), percent, step.c_str(), rate,
                unitOf(protocol), left.c_str());
}

std::string closingLine(const std::string& protocol, unsigned done, unsigned total, double seconds) {
  return format("%s: %u of %u %s in %.1f s", protocol.c_str(), done, total, unitOf(protocol), seconds);
}

std::string redrawnLine(const std::string& line, size_t shownLength, bool escapes) {
  if (escapes) return "\r" + line + "\033[K";
  // Spaces over what the longer line before left behind.
  std::string text = "\r" + line;
  if (shownLength > line.size()) text.append(shownLength - line.size(), ' ');
  return text;
}

TerminalProgress::TerminalProgress(FILE* bar, FILE* closing, JsonEvents* events)
    : bar_(bar), closing_(closing), events_(events) {
#ifdef _WIN32
  // Consoles before Windows 10 print escapes as they are; they get spaces.
  escapes_ = false;
  if (!bar_) return;
  const HANDLE console = (HANDLE)_get_osfhandle(_fileno(bar_));
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) escapes_ = true;
  else if (SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    escapes_ = true;
    console_ = console;
    consoleMode_ = mode;
  }
#endif
}

TerminalProgress::~TerminalProgress() {
#ifdef _WIN32
  if (console_) SetConsoleMode((HANDLE)console_, (DWORD)consoleMode_);
#endif
}

double TerminalProgress::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void TerminalProgress::start(const char* protocol, unsigned totalBlocks) {
  protocol_ = protocol;
  total_ = totalBlocks;
  done_ = 0;
  started_ = std::chrono::steady_clock::now();
  step_.clear();
}

void TerminalProgress::update(const std::string& step, unsigned done) {
  if (events_ && step != step_) events_->step(step, done, total_);
  if (events_) events_->progress(done, total_);
  step_ = step;
  done_ = done;
  if (!bar_) return;
  std::string line = progressLine(protocol_, step_, done_, total_, seconds());
  // A line longer than the terminal would wrap, and the carriage return
  // would redraw only its last part.
#ifndef _WIN32  // no TIOCGWINSZ there: the line is not clipped
  winsize size = {};
  if (ioctl(fileno(bar_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
    line.resize(size.ws_col - 1);
#endif
  std::fputs(redrawnLine(line, shown_, escapes_).c_str(), bar_);
  shown_ = line.size();
  std::fflush(bar_);
}

void TerminalProgress::finish() {
  if (bar_ && shown_) std::fputs((redrawnLine("", shown_, escapes_) + (escapes_ ? "" : "\r")).c_str(), bar_);
  shown_ = 0;
  std::fprintf(closing_, "%s\n", closingLine(protocol_, done_, total_, seconds()).c_str());
  std::fflush(closing_);
}

void TerminalConsole::appendStyledText(const char* text, int length, int) {
  if (echo_) std::fwrite(text, 1, (size_t)length, echo_);
}
