#include "interfaces/trace_sink.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "interfaces/text_format.h"

void TraceSink::text(const char* text) { trace(text, std::strlen(text)); }

void TraceSink::format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  trace(text.data(), text.size());
}

void TraceSink::bytes(const uint8_t* bytes, int count) {
  char item[8];
  for (int i = 0; i < count; ++i) {
    std::snprintf(item, sizeof item, "0x%02X ", bytes[i]);
    trace(item, 5);
  }
}

void TraceSink::dump(const uint8_t* bytes, int count) {
  for (int i = 0; i < count; ++i) {
    this->bytes(bytes + i, 1);
    if (i % 16 == 15) trace("\n", 1);
  }
  trace("\n", 1);
}
