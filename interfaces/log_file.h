// The log file: unbuffered, holds exactly what the console shows plus the
// security traces. Every writer goes through here so a missing log is harmless.
#pragma once
#include <cstddef>
#include <cstdio>

#include "interfaces/own_file.h"

extern FILE* logFile;  // null when the log could not be created; written only here

// Opens the log as an own file (own_file.h): owner-only, locked against a
// second run until closeLogFile, emptied (the window) or appended to (the
// command line). Anything but Opened leaves no log.
[[nodiscard]] OwnFileResult openLogFile(const char* path, WriteMode mode = WriteMode::Empty);
void closeLogFile();
void logWrite(const char* text, size_t length);
