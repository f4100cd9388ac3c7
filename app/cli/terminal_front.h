// The window's doors for a terminal: a pump that runs the receive poll like
// the window's timer, a one-line progress bar, and a console that can echo
// to a stream. The stop signals ask for a cancel (terminal_system.h).
#pragma once
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/cli/json_events.h"
#include "interfaces/output.h"
#include "interfaces/window_interfaces.h"

#include "app/cli/terminal_system.h"

extern volatile std::sig_atomic_t stopRequested;  // set by the stop signals

// The time a pump runs on: the steady clock and real sleeps, or a test's.
struct PumpClock {
  std::function<std::chrono::steady_clock::time_point()> now = [] { return std::chrono::steady_clock::now(); };
  std::function<void(int ms)> sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
};

// poll runs at most once per interval, counted from the end of its last run.
class TerminalPump : public EventPump {
 public:
  explicit TerminalPump(std::function<void()> poll, int intervalMs = 200, PumpClock clock = {})
      : poll_(std::move(poll)), clock_(std::move(clock)), interval_(intervalMs) {}
  void runPending() override;
  void pumpEvents() override;  // runPending, then sleep 2 ms
  void pause(int ms) override;
  // Fast answers: poll at once whenever this says bytes have arrived.
  void watch(std::function<bool()> arrived) { arrived_ = std::move(arrived); }

 private:
  std::function<void()> poll_;
  PumpClock clock_;
  std::function<bool()> arrived_;
  std::chrono::milliseconds interval_;
  std::chrono::steady_clock::time_point next_{};
};

// Redraws one line on bar (null: no bar); finish writes the closing line to
// closing. cancelRequested follows stopRequested.
class TerminalProgress : public ProgressView {
 public:
  TerminalProgress(FILE* bar, FILE* closing, JsonEvents* events = nullptr);
  ~TerminalProgress() override;
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;
  void start(const char* protocol, unsigned totalBlocks) override;
  void update(const std::string& step, unsigned done) override;
  bool cancelRequested() override { return stopRequested != 0; }
  void finish() override;

 private:
  double seconds() const;
  FILE* bar_;
  FILE* closing_;
  JsonEvents* events_;
  std::string protocol_, step_;
  unsigned total_ = 0, done_ = 0;
  std::chrono::steady_clock::time_point started_;
  size_t shown_ = 0;     // the length of the line on the bar
  bool escapes_ = false;    // the bar understands ESC [ K
  ConsoleMode console_;     // a console whose mode we changed, restored at the end
};

// "encrypted QOR protocol  50%  block 4 of 6  1.5 blocks/s  0:02 left"
std::string progressLine(const std::string& protocol, const std::string& step, unsigned done, unsigned total,
                         double seconds);
// Carriage return and the line; then ESC [ K clears the rest, or, for a
// console without escapes, spaces cover the shownLength of the line before.
std::string redrawnLine(const std::string& line, size_t shownLength, bool escapes);
// "encrypted QOR protocol: 6 of 6 blocks in 4.1 s"
std::string closingLine(const std::string& protocol, unsigned done, unsigned total, double seconds);

// Echoes everything to the stream while one is set; otherwise only the log
// has it. The key never reaches the stream: the line that shows it says the
// note instead (CI logs keep what a terminal shows).
class TerminalConsole : public ConsoleView {
 public:
  void echoTo(FILE* stream) { echo_ = stream; }
  void hideKeyLine(std::string note) { keyNote_ = std::move(note); }
  void appendStyledText(const char* text, int length, int style) override;
  void scrollToEnd() override {}

 private:
  FILE* echo_ = nullptr;
  std::string keyNote_ = "hidden";
  bool hiding_ = false;  // inside the key's line, until its line end
};
