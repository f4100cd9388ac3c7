// Where the security code writes its detailed traces (the log only, never
// the console). Formatting lives here so every writer traces alike.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void trace(const char* text, size_t length) = 0;

  void text(const char* text);
  void format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // "0x%02X " per byte on the current line, nothing after.
  void bytes(const uint8_t* bytes, int count);
  // "0x%02X " per byte, a line end after every 16th byte and one at the end.
  void dump(const uint8_t* bytes, int count);
};
