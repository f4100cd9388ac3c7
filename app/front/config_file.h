// "QORconfig.txt": seven lines are read; the first five give the start texts
// of the identification and key fields (field_rules: CONFIG_FIELD_COUNT).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "interfaces/own_file.h"

constexpr const char* CONFIG_FILE_NAME = "QORconfig.txt";
constexpr int CONFIG_LINE_COUNT = 7;
constexpr int CONFIG_LINE_SIZE = 256;

// 32 bits, 0 or 1, as the design keeps it.
enum class ConfigState : int32_t { Absent = 0, Read = 1 };

extern char configLines[CONFIG_LINE_COUNT][CONFIG_LINE_SIZE];
extern ConfigState configLoaded;

// Reads the file when it is an own file (own_file.h; Read), else leaves the
// lines empty (Absent). Opened: it was read; Missing: there is none; anything
// else: it was refused, and the fronts say why.
[[nodiscard]] OwnFileResult readConfigFile(const char* path);
// The lines that fill the fields, as both fronts take them, made once by the
// reading; null when no file was read.
[[nodiscard]] const std::vector<std::string>* configFieldLines();
