#include "app/config_file.h"

#include <cstdio>
#include <cstring>

char configLines[CONFIG_LINE_COUNT][CONFIG_LINE_SIZE];
int configLoaded = 0;

namespace {

// One text-mode line of at most size-1 characters, like fgets on a stream
// opened "rt" on Windows: a CR LF pair reads as one line feed. Returns the
// count of characters stored (0 at end of file); slot is NUL-terminated.
int readLine(FILE* file, char* slot, int size) {
  int n = 0;
  while (n < size - 1) {
    int c = std::getc(file);
    if (c == EOF) break;
    if (c == '\r') {
      int next = std::getc(file);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        std::ungetc(next, file);
      }
    }
    slot[n++] = (char)c;
    if (c == '\n') break;
  }
  slot[n] = '\0';
  return n;
}

}  // namespace

OwnFileResult readConfigFile(const char* path) {
  std::memset(configLines, 0, sizeof configLines);
  configLoaded = 0;
  FILE* file = nullptr;
  const OwnFileResult opened = openOwnFileForReading(path, &file);
  if (opened != OwnFileResult::Opened) return opened;
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) {
    const int n = readLine(file, configLines[i], CONFIG_LINE_SIZE);
    // Cut the line feed only: a last line without one keeps its last
    // character (a key's last digit). Counting what was read rather than
    // strlen keeps an embedded NUL from moving the cut.
    if (n > 0 && configLines[i][n - 1] == '\n') configLines[i][n - 1] = '\0';
  }
  std::fclose(file);
  configLoaded = 1;
  return opened;
}
