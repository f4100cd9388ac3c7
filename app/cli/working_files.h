// The command line's files: inputs read only up to what can be valid, the
// log kept off every input, and the header line each run adds to the log.
#pragma once
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

// A long frame's hex with blanks and line breaks fits in far less; a key file's first line too.
constexpr size_t FRAME_TEXT_LIMIT = 16 * 1024;
constexpr size_t KEY_FILE_LIMIT = 4 * 1024;

// At most limit bytes of a file (a FIFO or /dev/zero included) into text;
// false with the reason in text: it cannot be read, or it is longer.
[[nodiscard]] bool readInputFile(const std::string& path, size_t limit, std::string& text);

// The first of inputs that names the same existing file as log; "" when none.
std::string inputUnderLog(const std::string& log, const std::vector<std::string>& inputs);

// One line opening a run's part of the log:
// "2026-12-07T16:39:53Z mbus-fwupdate 1.8.0 port /dev/ttyUSB0: update a.cfw (encrypted)"
std::string logHeaderLine(std::time_t now, const std::string& port, const std::string& asked);
