// The serial ports offered in the port list: the machine's ports and every
// path in MBUS_FWTOOL_PORTS (colon-separated; rfc2217:// and socket:// names
// are kept whole), sorted as memcmp sorts them.
#pragma once
#include <cstddef>

constexpr int COM_PORT_MAX = 100;
constexpr int COM_PORT_NAME_SIZE = 64;  // at most 63 characters and a NUL

// Written only by enumerateComPorts and the names it is given.
extern char comPortNames[COM_PORT_MAX][COM_PORT_NAME_SIZE];
extern int comPortCount;

int enumerateComPorts();
const char* comPortName(int index);  // an index above 99 reads entry 99

// One file per operating system: the machine's ports, each handed to
// addComPortName (a name too long for the table, or seen before, is left out).
void addMachinePorts();
void addComPortName(const char* name, size_t length);
