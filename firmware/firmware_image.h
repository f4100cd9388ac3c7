// The loaded firmware image and the shared transfer state.
#pragma once
#include <cstdint>

#include "app/shell/output.h"

constexpr uint32_t FIRMWARE_CAPACITY = 131104;

extern uint8_t firmwareImage[FIRMWARE_CAPACITY];
extern uint32_t firmwareLength;
extern int firmwareLoaded;
extern uint32_t transferOffset;
extern uint32_t transferAddress;
extern uint8_t chunkSize;

// Reads up to FIRMWARE_CAPACITY bytes; prints "Read %d bytes from file %s\n".
// False when the file cannot be opened or read (firmwareLoaded is then 0; the
// caller shows the error box and prints "Error opening firmware file.\n").
bool loadFirmwareFile(const char* path, Output& out);
