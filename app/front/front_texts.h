// What both fronts tell the user in the same words: about a port or a
// firmware file they refused (the window's error boxes, the command line's
// one-line reasons), the console lines they share, and the log's name.
#pragma once
#include <string>

#include "interfaces/own_file.h"
#include "link/serial_port.h"

constexpr const char* LOG_FILE_NAME = "QORFW.log";
// Console lines (style 1) of an update refused for want of a port, and of a firmware file that did not open.
constexpr const char* NOT_CONNECTED_TEXT = "Serial not connected.";
constexpr const char* NOT_CONNECTED_LINE = "Serial not connected.\n";
constexpr const char* IMAGE_NOT_OPENED_LINE = "Error opening firmware file.\n";
// "Log file P not used: it is a symbolic link; output is shown in the console only."
std::string logUnavailableText(const std::string& path, OwnFileResult result);

// The window's box after a failed Connect, e.g. "Serial Error\nCOM port %s not found".
std::string serialErrorBox(SerialOpenResult result, const std::string& port);
// The command line's reason, e.g. "serial port P is held by another program".
std::string serialErrorReason(SerialOpenResult result, const std::string& port);

// "big.cfw has 131105 bytes; a dongle takes at most 131104"
std::string imageTooLargeText(const std::string& path, unsigned long long size);

// Why a working file (log, config) was refused, e.g. "it is a symbolic link".
std::string ownFileText(OwnFileResult result);
