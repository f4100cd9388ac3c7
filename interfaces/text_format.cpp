#include "interfaces/text_format.h"

#include <cstdio>

// Sized by a first pass, so a long path never loses its line end.
std::string formatted(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out((size_t)n + 1, '\0');
  std::vsnprintf(&out[0], out.size(), format, args);
  out.resize((size_t)n);
  return out;
}

std::string hexNumber(unsigned long long value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llX", digits, value);
  return text;
}

std::string hexText(const uint8_t* bytes, size_t count, const char* separator) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < count; ++i)
    s += (i ? separator : "") + std::string{digits[bytes[i] >> 4], digits[bytes[i] & 15]};
  return s;
}

std::string byteDump(const uint8_t* bytes, int count, bool lines) {
  std::string text;
  char item[8];
  for (int i = 0; i < count; ++i) {
    std::snprintf(item, sizeof item, "0x%02X ", bytes[i]);
    text += item;
    if (lines && i % 16 == 15) text += '\n';
  }
  if (lines) text += '\n';
  return text;
}
