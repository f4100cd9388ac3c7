// The loaded firmware image.
#pragma once
#include <cstdint>

#include "interfaces/output.h"

constexpr uint32_t FIRMWARE_CAPACITY = 131104;

// Written only by loadFirmwareFile and unloadFirmware.
extern uint8_t firmwareImage[FIRMWARE_CAPACITY];
extern uint32_t firmwareLength;
extern int firmwareLoaded;

enum class LoadResult { Loaded, CannotOpen };

// Reads up to FIRMWARE_CAPACITY bytes; prints "Read %d bytes from file %s\n".
// CannotOpen when the file cannot be opened or read (firmwareLoaded is then
// 0; the caller shows the error box and prints "Error opening firmware file.\n").
LoadResult loadFirmwareFile(const char* path, Output& out);
void unloadFirmware();
