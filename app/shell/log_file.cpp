#include "app/shell/log_file.h"

#include <cstdarg>
#include <cstring>

FILE* logFile = nullptr;

bool openLogFile(const char* path) {
  closeLogFile();
  logFile = std::fopen(path, "w");
  if (!logFile) return false;
  std::setvbuf(logFile, nullptr, _IONBF, 0);
  return true;
}

void closeLogFile() {
  if (logFile) std::fclose(logFile);
  logFile = nullptr;
}

void logWrite(const char* text, size_t length) {
  if (logFile && length) std::fwrite(text, 1, length, logFile);
}

void logText(const char* text) { logWrite(text, std::strlen(text)); }

void logFormat(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) logWrite(buffer, n < (int)sizeof buffer ? (size_t)n : sizeof buffer - 1);
}

void logBytes(const uint8_t* bytes, int count) {
  for (int i = 0; i < count; ++i) logFormat("0x%02X ", bytes[i]);
}

void logDump(const uint8_t* bytes, int count) {
  for (int i = 0; i < count; ++i) {
    logFormat("0x%02X ", bytes[i]);
    if (i % 16 == 15) logWrite("\n", 1);
  }
  logWrite("\n", 1);
}
