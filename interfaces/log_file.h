// The log file: unbuffered, holds exactly what the console shows plus the
// security traces. Every writer goes through here so a missing log is harmless.
#pragma once
#include <cstddef>
#include <cstdio>

extern FILE* logFile;  // null when the log could not be created; written only here

// Empties and opens the log, unbuffered, readable by its owner only (POSIX).
// False when it cannot be created.
[[nodiscard]] bool openLogFile(const char* path);
void closeLogFile();
void logWrite(const char* text, size_t length);
