// The CRC-32 printed for every firmware block: reflected, polynomial
// 0xEDB88320, and no inversion on either side (the caller picks the start).
#pragma once
#include <cstdint>

extern const uint32_t crc32Table[256];

// Continues crc over length bytes; an empty range returns crc unchanged.
uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, uint32_t length);
