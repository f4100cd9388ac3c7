#include "interfaces/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "interfaces/log_file.h"
#include "interfaces/text_format.h"

void Output::emit(const char* text, int length, int style) {
  logWrite(text, (size_t)length);
  if (view_) view_->appendStyledText(text, length, style);
}

void Output::outputText(const char* text, int style) { outputText(text, (int)std::strlen(text), style); }

void Output::outputText(const char* text, int length, int style) {
  emit(text, length, style);
  if (view_) view_->scrollToEnd();
}

void Output::outputFormat(int style, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  outputText(text.data(), (int)text.size(), style);
}

void Output::dumpBytes(const uint8_t* bytes, int count, int style) {
  char item[8];
  for (int i = 0; i < count; ++i) {
    std::snprintf(item, sizeof item, "0x%02X ", bytes[i]);
    emit(item, 5, style);
    if (i % 16 == 15) emit("\n", 1, style);
  }
  emit("\n", 1, style);
  if (view_) view_->scrollToEnd();
}

void Output::trace(const char* text, size_t length) { logWrite(text, length); }
