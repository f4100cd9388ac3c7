// The log file: unbuffered, holds exactly what the console shows plus the
// security traces. Every writer goes through here so a missing log is harmless.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

extern FILE* logFile;  // null when the log could not be created

// Empties and opens the log, unbuffered. False when it cannot be created.
bool openLogFile(const char* path);
void closeLogFile();

void logWrite(const char* text, size_t length);
void logText(const char* text);
void logFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "0x%02X " per byte, a line end after every 16th byte and one at the end.
void logDump(const uint8_t* bytes, int count);
// "0x%02X " per byte on the current line, nothing after.
void logBytes(const uint8_t* bytes, int count);
