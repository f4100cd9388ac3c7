#include "firmware/block_update.h"

#include <cstdio>
#include <cstring>

#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "firmware/crc32.h"
#include "firmware/firmware_image.h"
#include "firmware/update_wait.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"

uint32_t runningCrc = 0;

int writeCommandRecord(uint8_t* out, uint8_t command, const uint8_t* params, uint8_t paramLength) {
  const bool readout = command == CMD_STATUS_REPORT || command == CMD_BLOCK_STATUS_REPORT;
  out[0] = readout ? 0x08 : 0x0D;
  out[1] = 0xFD;
  out[2] = 0xF7;
  out[3] = command;
  if (readout) return 4;
  out[4] = paramLength;
  if (paramLength) std::memcpy(out + 5, params, paramLength);
  return 5 + paramLength;
}

void startParameters(uint8_t params[5]) {
  for (int i = 0; i < 4; ++i) params[i] = (uint8_t)(firmwareLength >> (8 * i));
  params[4] = BLOCK_SIZE;
}

uint8_t blockParameters(uint8_t* params, uint8_t n) {
  const uint32_t block = transferOffset / BLOCK_SIZE;
  params[0] = (uint8_t)block;
  params[1] = (uint8_t)(block >> 8);
  if (n) std::memcpy(params + 2, firmwareImage + transferOffset, n);
  return (uint8_t)(2 + n);
}

std::string blockHeading() {
  char heading[112];
  std::snprintf(heading, sizeof heading, ">>> Send FW data %d from %d block %d/%d CRC32: 0x%08X\n",
                (int)transferOffset, (int)firmwareLength, (int)(transferOffset / BLOCK_SIZE),
                (int)(firmwareLength / BLOCK_SIZE), runningCrc);
  return heading;
}

void sendReportRequest(ToolContext& ctx) {
  buildShortFrame(LINK_ADDRESS, C_REQ_UD2);
  sendBuiltFrame(ctx, ">>> REQ_UD2\n");
}

uint32_t blockTotal() { return (firmwareLength + BLOCK_SIZE - 1) / BLOCK_SIZE; }

namespace {

// Short header, then the command record.
void sendCommand(ToolContext& ctx, uint8_t command, const uint8_t* params, uint8_t paramLength,
                 const char* heading) {
  uint8_t data[10 + 2 + BLOCK_SIZE];
  data[0] = 0x5A;
  data[1] = accessNumber++;
  data[2] = 0x00;
  data[3] = 0x00;
  data[4] = 0x00;
  const int length = 5 + writeCommandRecord(data + 5, command, params, paramLength);
  buildLongFrame(LINK_ADDRESS, C_SND_UD, data, (uint8_t)length);
  sendBuiltFrame(ctx, heading);
}

bool exchangeCommand(UpdateSequence& seq, uint8_t command, const uint8_t* params, uint8_t paramLength,
                     const char* heading, const char* step) {
  return seq.sendUntilAnswered([&] { sendCommand(seq.ctx, command, params, paramLength, heading); },
                               ackReceived, ANSWER_BUDGET, COMMAND_SEND_LIMIT, step);
}

bool exchangeReport(UpdateSequence& seq, const std::string& step) {
  return seq.sendUntilAnswered([&] { sendReportRequest(seq.ctx); }, answerReceived, ANSWER_BUDGET,
                               COMMAND_SEND_LIMIT, step);
}

// Every block, acknowledged or not, is followed by one REQ_UD2 exchange; an
// unacknowledged block is sent again after it.
bool dataPhase(UpdateSequence& seq) {
  transferOffset = 0;
  chunkSize = BLOCK_SIZE;
  ackReceived = 0;
  runningCrc = 0;
  int unanswered = 0;
  while (transferOffset < firmwareLength) {
    const uint32_t remaining = firmwareLength - transferOffset;
    const uint8_t n = remaining < chunkSize ? (uint8_t)remaining : chunkSize;
    const std::string step = blockLabel("block", transferOffset / BLOCK_SIZE, blockTotal());
    seq.showStep(step);
    runningCrc = crc32Update(runningCrc, firmwareImage + transferOffset, n);
    uint8_t params[2 + BLOCK_SIZE];
    const uint8_t paramLength = blockParameters(params, n);
    ackReceived = 0;
    sendCommand(seq.ctx, CMD_DATA_BLOCK, params, paramLength, blockHeading().c_str());
    const WaitOutcome outcome = seq.awaitFlag(ackReceived, CHUNK_ACK_BUDGET);
    if (outcome == WaitOutcome::Raised) {
      unanswered = 0;
      ++seq.done;
      transferOffset = remaining >= chunkSize ? transferOffset + chunkSize : firmwareLength;
    } else if (outcome != WaitOutcome::Expired || ++unanswered >= CHUNK_SEND_LIMIT) {
      return seq.stop(outcome, step);
    }
    if (!exchangeReport(seq, "REQ_UD2 after " + step)) return false;
  }
  return true;
}

}  // namespace

UpdateResult runBlockUpdate(ToolContext& ctx) {
  UpdateSequence seq(ctx, "unencrypted QOR protocol", blockTotal(),
                     "Starting firmware update, unencrypted QOR protocol.\n");
  uint8_t start[5];
  startParameters(start);
  const bool transferred =
      exchangeCommand(seq, CMD_STATUS_REPORT, nullptr, 0, ">>> FW upgrade request for readout status report.\n",
                      "status report request") &&
      exchangeCommand(seq, CMD_SEND_START, start, sizeof start, ">>> FW upgrade send start.\n", "send start") &&
      exchangeReport(seq, "REQ_UD2 after send start") && dataPhase(seq) &&
      exchangeCommand(seq, CMD_VALIDATE, nullptr, 0, ">>> FW upgrade send validate.\n", "send validate");
  if (!transferred) return seq.result();
  ctx.pump.pause(1000);  // the dongle checks the image; nothing runs meanwhile
  const bool activated =
      exchangeCommand(seq, CMD_BLOCK_STATUS_REPORT, nullptr, 0,
                      ">>> FW upgrade request for readout block status report.\n", "block status report request") &&
      exchangeReport(seq, "REQ_UD2 after block status report request") &&
      exchangeReport(seq, "second REQ_UD2 after block status report request") &&
      exchangeCommand(seq, CMD_ACTIVATE, nullptr, 0, ">>> FW upgrade send activate.\n", "send activate");
  if (activated)
    ctx.out.outputText("Dongle is now reprogramming, please reselect Dongle and check result.\n", STYLE_SENT);
  return seq.result();
}
