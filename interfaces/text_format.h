// Texts made from numbers and bytes, the same way wherever they are shown.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

// printf into a string of whatever length the text needs.
std::string formatted(const char* format, va_list args);
// Upper-case hex digits, most significant first, at least `digits` of them: (0x2B, 8) is "0000002B".
std::string hexNumber(unsigned long long value, int digits);
// Two upper-case hex digits a byte, `separator` between bytes: "2F 2F" with " ".
std::string hexText(const uint8_t* bytes, size_t count, const char* separator = "");
// "0x%02X " per byte; with lines, a line end after every 16th byte and one after the last.
std::string byteDump(const uint8_t* bytes, int count, bool lines = true);
