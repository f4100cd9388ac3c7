#include "interfaces/trace_sink.h"

#include <cstdarg>
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
  const std::string text = byteDump(bytes, count, false);
  trace(text.data(), text.size());
}

void TraceSink::dump(const uint8_t* bytes, int count) {
  const std::string text = byteDump(bytes, count);
  trace(text.data(), text.size());
}
