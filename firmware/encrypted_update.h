// The block update inside security-mode-7 telegrams (AFL with counter and
// MAC, command record encrypted), with the test options that skip block 15
// or send the block before 42 twice.
#pragma once
#include <cstdint>

#include "app/shell/tool_context.h"
#include "firmware/firmware_update.h"

constexpr int APPLICATION_PART_SIZE = 256;
constexpr int PROTECTED_HEADER_SIZE = 31;  // AFL, long header, configuration and CFE

extern unsigned ackedBlockCount;  // data blocks acknowledged since the data phase began

// The application part for a command record, before protection: 0x2F filler,
// AFL with invocationCounter and a blank MAC, long header from meterAddress
// with the next accessNumber, 0x2F 0x2F and the record in an area of E bytes
// (2 + recordLength rounded up to 16). Returns 31 + E.
int buildApplicationPart(uint8_t app[APPLICATION_PART_SIZE], const uint8_t* record, int recordLength);

UpdateResult runEncryptedUpdate(ToolContext& ctx);
