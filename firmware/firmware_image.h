// The loaded firmware image.
#pragma once
#include <cstdint>

#include "interfaces/output.h"

constexpr uint32_t FIRMWARE_CAPACITY = 131104;

// 32 bits, 0 or 1, as the design keeps it.
enum class ImageState : int32_t { Empty = 0, Loaded = 1 };

// Written only by loadFirmwareFile and unloadFirmware.
extern uint8_t firmwareImage[FIRMWARE_CAPACITY];
extern uint32_t firmwareLength;
extern ImageState firmwareLoaded;

enum class LoadResult { Loaded, CannotOpen, TooLarge };

// What a dongle can take: a longer image cut to fit would be a broken firmware.
inline bool fitsDongle(unsigned long long size) { return size <= FIRMWARE_CAPACITY; }

// Reads the whole file; prints "Read %d bytes from file %s\n". CannotOpen
// when the file cannot be opened or read (the caller shows the error box and
// prints "Error opening firmware file.\n"), TooLarge when it does not fit
// the dongle (fileSize, if given, then tells its size). Either way
// firmwareLoaded is then Empty and the image keeps its bytes.
[[nodiscard]] LoadResult loadFirmwareFile(const char* path, Output& out, unsigned long long* fileSize = nullptr);
void unloadFirmware();
