#include "firmware/simple_update.h"

#include <cstdio>
#include <cstring>

#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "firmware/firmware_image.h"
#include "firmware/update_wait.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"

namespace {

enum : uint8_t { CMD_WRITE_CHUNK = 0x88, CMD_UPGRADE_SIGNATURE = 0x8D, CMD_UPGRADE_START = 0x8E };

// Short header and the manufacturer-specific marker; returns the length so far.
int writeHeader(uint8_t* data, uint8_t command) {
  data[0] = 0x5A;
  data[1] = accessNumber++;
  data[2] = 0x00;
  data[3] = 0x00;
  data[4] = 0x00;
  data[5] = 0x0F;
  data[6] = 0x35;
  data[7] = command;
  return 8;
}

void sendChunk(ToolContext& ctx, uint8_t n) {
  uint8_t data[13 + SIMPLE_CHUNK_SIZE];
  int length = writeHeader(data, CMD_WRITE_CHUNK);
  data[length++] = n;
  for (int i = 0; i < 4; ++i) data[length++] = (uint8_t)(transferAddress >> (8 * i));
  std::memcpy(data + length, firmwareImage + transferOffset, n);
  length += n;
  buildLongFrame(LINK_ADDRESS, C_SND_UD, data, (uint8_t)length);
  char heading[96];
  std::snprintf(heading, sizeof heading, ">>> Send FW data %d from %d to 0x%08X\n", (int)transferOffset,
                (int)firmwareLength, transferAddress);
  ackReceived = 0;
  sendBuiltFrame(ctx, heading);
}

void sendCommand(ToolContext& ctx, uint8_t command, const char* heading) {
  uint8_t data[8];
  buildLongFrame(LINK_ADDRESS, C_SND_UD, data, (uint8_t)writeHeader(data, command));
  sendBuiltFrame(ctx, heading);
}

}  // namespace

UpdateResult runSimpleUpdate(ToolContext& ctx) {
  const uint32_t chunks = (firmwareLength + SIMPLE_CHUNK_SIZE - 1) / SIMPLE_CHUNK_SIZE;
  UpdateSequence seq(ctx, "simple Brovanel protocol", chunks,
                     "Starting firmware update, unencrypted simple Brovanel protocol.\n");
  transferAddress = SIMPLE_START_ADDRESS;
  transferOffset = 0;
  chunkSize = SIMPLE_CHUNK_SIZE;
  ackReceived = 0;

  while (transferOffset < firmwareLength) {
    const uint32_t remaining = firmwareLength - transferOffset;
    const uint8_t n = remaining < chunkSize ? (uint8_t)remaining : chunkSize;
    const std::string step = blockLabel("chunk", transferOffset / chunkSize, chunks);
    const bool sent = seq.sendUntilAnswered([&] { sendChunk(ctx, n); }, ackReceived, CHUNK_ACK_BUDGET,
                                            CHUNK_SEND_LIMIT, step);
    if (!sent) return seq.result();
    ++seq.done;
    if (remaining >= chunkSize) {
      transferAddress += chunkSize;
      transferOffset += chunkSize;
    } else {
      transferOffset = firmwareLength;
    }
  }

  if (!seq.sendUntilAnswered([&] { sendCommand(ctx, CMD_UPGRADE_SIGNATURE, ">>> Send FW upgrade signature\n"); },
                             ackReceived, ANSWER_BUDGET, COMMAND_SEND_LIMIT, "upgrade signature") ||
      !seq.sendUntilAnswered([&] { sendCommand(ctx, CMD_UPGRADE_START, ">>> Send FW upgrade start\n"); },
                             ackReceived, ANSWER_BUDGET, COMMAND_SEND_LIMIT, "upgrade start"))
    return seq.result();
  ctx.out.outputText(">>> Upgrade process finished.\n", STYLE_PROGRESS);
  return seq.result();
}
