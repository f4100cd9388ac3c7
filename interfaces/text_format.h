// printf into a string of whatever length the text needs.
#pragma once
#include <cstdarg>
#include <string>

std::string formatted(const char* format, va_list args);
