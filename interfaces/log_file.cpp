#include "interfaces/log_file.h"

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
