#include "app/front/config_file.h"

#include <cstdio>
#include <cstring>

#include "app/front/field_rules.h"

char configLines[CONFIG_LINE_COUNT][CONFIG_LINE_SIZE];
ConfigState configLoaded = ConfigState::Absent;

namespace {

std::vector<std::string> fieldLines;

}  // namespace

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
  configLoaded = ConfigState::Absent;
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
  configLoaded = ConfigState::Read;
  fieldLines.assign(configLines, configLines + CONFIG_FIELD_COUNT);
  return opened;
}

const std::vector<std::string>* configFieldLines() {
  return configLoaded == ConfigState::Read ? &fieldLines : nullptr;
}
