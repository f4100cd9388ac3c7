// "QORconfig.txt": up to seven lines giving the start texts of the
// identification and key fields.
#pragma once

constexpr int CONFIG_LINE_COUNT = 7;
constexpr int CONFIG_LINE_SIZE = 256;

extern char configLines[CONFIG_LINE_COUNT][CONFIG_LINE_SIZE];
extern int configLoaded;

// Reads the file if it opens (configLoaded = 1), else leaves the lines empty
// (configLoaded = 0). True when it was read.
bool readConfigFile(const char* path);
