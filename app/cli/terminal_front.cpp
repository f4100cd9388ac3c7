#include "app/cli/terminal_front.h"

#include <cstdarg>

#include "app/cli/terminal_system.h"

volatile std::sig_atomic_t stopRequested = 0;

namespace {

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
  if (bar_) escapes_ = consoleEscapes(bar_, console_);
}

TerminalProgress::~TerminalProgress() { restoreConsole(console_); }

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
  const unsigned columns = terminalColumns(bar_);
  if (columns > 1 && line.size() >= columns) line.resize(columns - 1);
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
  // The answer reception's text before the key's bytes.
  static const std::string KEY_LINE = "Decrypting using key: ";
  const std::string piece(text, (size_t)length);
  const bool lineEnds = piece.find('\n') != std::string::npos;
  if (hiding_) {
    hiding_ = !lineEnds;
    return;
  }
  if (piece.compare(0, KEY_LINE.size(), KEY_LINE) == 0) {
    hiding_ = !lineEnds;
    if (echo_) std::fprintf(echo_, "%s(%s)\n", KEY_LINE.c_str(), keyNote_.c_str());
    return;
  }
  if (echo_) std::fwrite(text, 1, (size_t)length, echo_);
}
