#include "interfaces/log_file.h"

FILE* logFile = nullptr;

OwnFileResult openLogFile(const char* path, WriteMode mode) {
  closeLogFile();
  FILE* file = nullptr;
  const OwnFileResult result = openOwnFileForWriting(path, mode, &file);
  if (result != OwnFileResult::Opened) return result;
  logFile = file;
  std::setvbuf(logFile, nullptr, _IONBF, 0);
  return result;
}

void closeLogFile() {
  if (logFile) std::fclose(logFile);
  logFile = nullptr;
}

void logWrite(const char* text, size_t length) {
  if (logFile && length) std::fwrite(text, 1, length, logFile);
}
