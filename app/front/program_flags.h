// --help and --version of both programs: which one was asked, and what they
// print, before a display, a log or a config file is touched.
#pragma once
#include <string>

enum class ProgramFlag { None, Help, Version };

// The first of -h/--help and -V/--version among the arguments after argv[0].
ProgramFlag programFlag(int argc, const char* const argv[]);
// "mbus-fwupdate 1.8.0": the packages' version.
std::string versionLine(const char* program);
// mbus-fwtool --help.
std::string windowUsage();
