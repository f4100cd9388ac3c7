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
