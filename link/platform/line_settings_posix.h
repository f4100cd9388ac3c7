// The termios settings of the M-Bus line: raw 8E1 at 2400 or 9600 baud, no
// flow control, reads that return at once. A pure function, so the settings
// can be checked where no real port exists (a pseudo-terminal drops parity).
#pragma once
#include <termios.h>

// Fills tio from the port's current settings; false for a baud rate the
// line does not use.
bool makeLineSettings(int baud, struct termios& tio);
