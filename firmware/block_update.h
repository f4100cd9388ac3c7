// The unencrypted block update: numbered 128-byte blocks framed by status,
// start, validate, block-status and activate commands, reports fetched with
// REQ_UD2, and a running CRC-32 printed for every block. The encrypted form
// shares the command records, the REQ_UD2 step and the CRC.
#pragma once
#include <cstdint>
#include <string>

#include "app/shell/tool_context.h"
#include "firmware/firmware_update.h"

constexpr uint8_t BLOCK_SIZE = 128;

enum : uint8_t {
  CMD_SEND_START = 0x30,
  CMD_STATUS_REPORT = 0x31,
  CMD_DATA_BLOCK = 0x32,
  CMD_VALIDATE = 0x33,
  CMD_ACTIVATE = 0x34,
  CMD_BLOCK_STATUS_REPORT = 0x36,
};

extern uint32_t runningCrc;  // CRC-32 of every block built since the data phase began

// DIF, VIF 0xFD, VIFE 0xF7 and the command; the two report requests take DIF
// 0x08 and nothing more, the others DIF 0x0D, LVAR and the parameters.
// Returns the bytes written (at most 5 + paramLength).
int writeCommandRecord(uint8_t* out, uint8_t command, const uint8_t* params, uint8_t paramLength);
// Parameters of the start command: image length (LE) and the block size.
void startParameters(uint8_t params[5]);
// Parameters of a data block: block number (LE) and the n image bytes from
// transferOffset. Returns 2 + n.
uint8_t blockParameters(uint8_t* params, uint8_t n);
// ">>> Send FW data %d from %d block %d/%d CRC32: 0x%08X\n" for the block at transferOffset.
std::string blockHeading();
// REQ_UD2 10 5B FB 56 16 with its ">>> REQ_UD2\n" line; the status line stays.
void sendReportRequest(ToolContext& ctx);
uint32_t blockTotal();  // blocks in the image, the last one possibly short

UpdateResult runBlockUpdate(ToolContext& ctx);
