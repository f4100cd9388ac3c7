// The POSIX port's pure parts, so they can be checked where no real port
// exists: the termios settings of the M-Bus line (a pseudo-terminal drops
// parity) and what an errno says about a refused open.
#pragma once
#include <termios.h>

#include "link/serial_port.h"

// Fills tio from the port's current settings; false for a baud rate the
// line does not use.
[[nodiscard]] bool makeLineSettings(int baud, struct termios& tio);

enum class OpenStep { Open, Flock, GetParams };  // GetParams: the first tcgetattr
[[nodiscard]] SerialOpenResult openFailure(OpenStep step, int error);
