#include "interfaces/output.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "interfaces/log_file.h"
#include "interfaces/text_format.h"

void Output::emit(const char* text, int length, ConsoleStyle style) {
  logWrite(text, (size_t)length);
  if (view_) view_->appendStyledText(text, length, (int)style);
}

void Output::outputText(const char* text, ConsoleStyle style) { outputText(text, (int)std::strlen(text), style); }

void Output::outputText(const char* text, int length, ConsoleStyle style) {
  emit(text, length, style);
  if (view_) view_->scrollToEnd();
}

void Output::outputFormat(ConsoleStyle style, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  outputText(text.data(), (int)text.size(), style);
}

void Output::dumpBytes(const uint8_t* bytes, int count, ConsoleStyle style) {
  const std::string text = byteDump(bytes, count);
  emit(text.data(), (int)text.size(), style);
  if (view_) view_->scrollToEnd();
}

void Output::trace(const char* text, size_t length) { logWrite(text, length); }
