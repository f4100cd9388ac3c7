#include "interfaces/log_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

FILE* logFile = nullptr;

namespace {

// The security traces hold the communication key and every key derived from
// it: the log is its owner's alone, also one left by an earlier run.
FILE* openPrivate(const char* path) {
#ifdef _WIN32
  return std::fopen(path, "w");
#else
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat info;  // never a device such as --log /dev/null
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) fchmod(fd, 0600);
  FILE* file = fdopen(fd, "w");
  if (!file) ::close(fd);
  return file;
#endif
}

}  // namespace

bool openLogFile(const char* path) {
  closeLogFile();
  logFile = openPrivate(path);
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
