// What the fronts tell the user about a port or a firmware file they refused:
// the window's error boxes and the command line's one-line reasons.
#pragma once
#include <string>

#include "interfaces/own_file.h"
#include "link/serial_port.h"

// The window's box after a failed Connect, e.g. "Serial Error\nCOM port %s not found".
std::string serialErrorBox(SerialOpenResult result, const std::string& port);
// The command line's reason, e.g. "serial port P is held by another program".
std::string serialErrorReason(SerialOpenResult result, const std::string& port);

// "big.cfw has 131105 bytes; a dongle takes at most 131104"
std::string imageTooLargeText(const std::string& path, unsigned long long size);

// Why a working file (log, config) was refused, e.g. "it is a symbolic link".
std::string ownFileText(OwnFileResult result);
