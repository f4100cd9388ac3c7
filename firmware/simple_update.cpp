#include "firmware/simple_update.h"

#include <cstdio>
#include <string>

#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "firmware/firmware_image.h"
#include "firmware/transfer_cursor.h"
#include "firmware/update_sequence.h"
#include "link/telegram.h"

namespace {

unsigned chunkTotal() { return (firmwareLength + SIMPLE_CHUNK_SIZE - 1) / SIMPLE_CHUNK_SIZE; }

void sendChunk(ToolContext& ctx, uint8_t n) {
  buildSimpleChunk(nextAccessNumber(), transferAddress, firmwareImage + transferOffset, n);
  char heading[96];
  std::snprintf(heading, sizeof heading, ">>> Send FW data %d from %d to 0x%08X\n", (int)transferOffset,
                (int)firmwareLength, transferAddress);
  sendBuiltFrame(ctx, heading);
}

void sendChunkCommand(ToolContext& ctx, uint8_t command, const char* heading) {
  buildSimpleCommand(nextAccessNumber(), command);
  sendBuiltFrame(ctx, heading);
}

// Each chunk is sent until acknowledged; no REQ_UD2 in this protocol.
bool chunkPhase(UpdateSequence& seq) {
  beginTransfer(SIMPLE_CHUNK_SIZE, SIMPLE_START_ADDRESS);
  while (!transferDone()) {
    const uint8_t n = currentChunkLength();
    const std::string step = blockLabel("chunk", transferOffset / chunkSize, chunkTotal());
    if (!seq.sendUntilAnswered([&] { sendChunk(seq.ctx, n); }, Awaited::Ack, CHUNK_ACK_BUDGET, CHUNK_SEND_LIMIT,
                               step))
      return false;
    ++seq.done;
    advanceTransfer();
  }
  return true;
}

const Step SIMPLE_STEPS[] = {
    {StepKind::Data, 0, nullptr, nullptr},
    {StepKind::Command, CMD_UPGRADE_SIGNATURE, ">>> Send FW upgrade signature\n", "upgrade signature"},
    {StepKind::Command, CMD_UPGRADE_START, ">>> Send FW upgrade start\n", "upgrade start"},
};

const Protocol SIMPLE_PROTOCOL = {
    "simple Brovanel protocol", "Starting firmware update, unencrypted simple Brovanel protocol.\n", SIMPLE_STEPS,
    sizeof SIMPLE_STEPS / sizeof SIMPLE_STEPS[0], chunkTotal, sendChunkCommand, chunkPhase, nullptr,
    ">>> Upgrade process finished.\n", STYLE_PROGRESS};

}  // namespace

UpdateOutcome runSimpleUpdate(ToolContext& ctx) { return runProtocol(ctx, SIMPLE_PROTOCOL); }
