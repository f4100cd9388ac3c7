// Console and log output shared by every part of the tool: each text goes to
// the log first, then to the console view (if any) in a highlight style.
// Security traces go to the log only.
#pragma once
#include <cstdint>

#include "interfaces/trace_sink.h"

// The console's highlight styles; the number is the widget's style index.
enum class ConsoleStyle : int {
  Plain = 0,
  Sent = 1,      // red: what the tool sends and its actions
  Received = 2,  // green: answers
  Progress = 3,  // blue: long operations, file loading, decryption
};
constexpr ConsoleStyle STYLE_SENT = ConsoleStyle::Sent;
constexpr ConsoleStyle STYLE_RECEIVED = ConsoleStyle::Received;
constexpr ConsoleStyle STYLE_PROGRESS = ConsoleStyle::Progress;

// What the console widget must offer; the main window implements it with FXText.
class ConsoleView {
 public:
  virtual ~ConsoleView() = default;
  virtual void appendStyledText(const char* text, int length, int style) = 0;
  virtual void scrollToEnd() = 0;
};

class Output : public TraceSink {
 public:
  explicit Output(ConsoleView* view = nullptr) : view_(view) {}
  void setView(ConsoleView* view) { view_ = view; }

  void outputText(const char* text, ConsoleStyle style);
  void outputText(const char* text, int length, ConsoleStyle style);
  void outputFormat(ConsoleStyle style, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // "0x%02X " per byte, 16 a line, one line end after the last.
  void dumpSentBytes(const uint8_t* bytes, int count) { dumpBytes(bytes, count, STYLE_SENT); }
  void dumpBytes(const uint8_t* bytes, int count, ConsoleStyle style);

  void trace(const char* text, size_t length) override;  // the log only

 private:
  void emit(const char* text, int length, ConsoleStyle style);
  ConsoleView* view_;
};
