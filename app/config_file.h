// "QORconfig.txt": up to seven lines giving the start texts of the
// identification and key fields.
#pragma once
#include "interfaces/own_file.h"

constexpr int CONFIG_LINE_COUNT = 7;
constexpr int CONFIG_LINE_SIZE = 256;

extern char configLines[CONFIG_LINE_COUNT][CONFIG_LINE_SIZE];
extern int configLoaded;

// Reads the file when it is an own file (own_file.h; configLoaded = 1), else
// leaves the lines empty (configLoaded = 0). Opened: it was read; Missing:
// there is none; anything else: it was refused, and the fronts say why.
[[nodiscard]] OwnFileResult readConfigFile(const char* path);
