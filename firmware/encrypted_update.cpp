#include "firmware/encrypted_update.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "firmware/block_update.h"
#include "firmware/crc32.h"
#include "firmware/firmware_image.h"
#include "firmware/update_wait.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"
#include "security/telegram_protection.h"

unsigned ackedBlockCount = 0;

int buildApplicationPart(uint8_t app[APPLICATION_PART_SIZE], const uint8_t* record, int recordLength) {
  std::memset(app, 0x2F, APPLICATION_PART_SIZE);
  app[0] = 0x90;  // AFL
  app[1] = 0x0F;
  app[2] = 0x00;
  app[3] = 0x2C;
  app[4] = 0x25;
  for (int i = 0; i < 4; ++i) app[5 + i] = (uint8_t)(invocationCounter >> (8 * i));
  std::memset(app + 9, 0xFF, 8);
  app[17] = 0x5B;  // long transport header
  std::memcpy(app + 18, meterAddress + 2, 4);
  app[22] = meterAddress[0];
  app[23] = meterAddress[1];
  app[24] = meterAddress[6];
  app[25] = meterAddress[7];
  app[26] = accessNumber++;
  app[27] = 0x00;
  const int encrypted = (2 + recordLength + 15) / 16 * 16;
  app[28] = (uint8_t)encrypted;
  app[29] = 0x07;  // security mode 7
  app[30] = 0x10;  // CFE
  std::memcpy(app + PROTECTED_HEADER_SIZE + 2, record, recordLength);
  return PROTECTED_HEADER_SIZE + encrypted;
}

namespace {

void showCounter(ToolContext& ctx) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", invocationCounter);
  ctx.fields.setFieldText(Field::Counter, text);
}

void sendProtected(ToolContext& ctx, const uint8_t* record, int recordLength, const char* heading,
                   bool counterShown) {
  uint8_t app[APPLICATION_PART_SIZE];
  const int length = buildApplicationPart(app, record, recordLength);
  telegramEncryptAndMac(app, (uint32_t)length, meterIdBytes, communicationKey);
  buildLongFrame(LINK_ADDRESS, C_SND_UD, app, (uint8_t)length);
  sendBuiltFrame(ctx, heading);
  if (counterShown) showCounter(ctx);
}

bool exchangeCommand(UpdateSequence& seq, uint8_t command, const uint8_t* params, uint8_t paramLength,
                     const char* heading, const char* step, bool counterShown = true) {
  uint8_t record[5 + 5];
  const int recordLength = writeCommandRecord(record, command, params, paramLength);
  return seq.sendUntilAnswered([&] { sendProtected(seq.ctx, record, recordLength, heading, counterShown); },
                               ackReceived, ANSWER_BUDGET, COMMAND_SEND_LIMIT, step);
}

bool exchangeReport(UpdateSequence& seq, const std::string& step) {
  return seq.sendUntilAnswered([&] { sendReportRequest(seq.ctx); }, answerReceived, ANSWER_BUDGET,
                               COMMAND_SEND_LIMIT, step);
}

// The test options look at acknowledged blocks only, so an unacknowledged
// block after a skip (or step back) moves on (or back) once more; blocks are
// kept inside the image: a skip past its end ends the phase, and no step goes
// below the first block.
bool applyTestOptions() {
  if (skipBlock15 && ackedBlockCount == 15) {
    transferOffset += chunkSize;
    if (transferOffset > firmwareLength) {
      transferOffset = firmwareLength;
      return false;
    }
  }
  if (doubleBlock42 && ackedBlockCount == 42 && transferOffset >= chunkSize) transferOffset -= chunkSize;
  return true;
}

// An unacknowledged block is built and sent again at once, without REQ_UD2.
bool dataPhase(UpdateSequence& seq) {
  transferOffset = 0;
  chunkSize = BLOCK_SIZE;
  ackReceived = 0;
  ackedBlockCount = 0;
  runningCrc = 0;
  int unanswered = 0;
  while (transferOffset < firmwareLength) {
    if (!applyTestOptions()) break;
    const uint32_t remaining = firmwareLength - transferOffset;
    const uint8_t n = remaining < chunkSize ? (uint8_t)remaining : chunkSize;
    const std::string step = blockLabel("block", transferOffset / BLOCK_SIZE, blockTotal());
    seq.showStep(step);
    runningCrc = crc32Update(runningCrc, firmwareImage + transferOffset, n);
    uint8_t params[2 + BLOCK_SIZE];
    uint8_t record[5 + sizeof params];
    const int recordLength = writeCommandRecord(record, CMD_DATA_BLOCK, params, blockParameters(params, n));
    sendProtected(seq.ctx, record, recordLength, blockHeading().c_str(), true);
    ackReceived = 0;
    const WaitOutcome outcome = seq.awaitFlag(ackReceived, ENCRYPTED_BLOCK_ACK_BUDGET);
    if (outcome != WaitOutcome::Raised) {
      if (outcome != WaitOutcome::Expired || ++unanswered >= ENCRYPTED_BLOCK_SEND_LIMIT)
        return seq.stop(outcome, step);
      continue;
    }
    unanswered = 0;
    ++ackedBlockCount;
    ++seq.done;
    transferOffset = remaining >= chunkSize ? transferOffset + chunkSize : firmwareLength;
    if (!exchangeReport(seq, "REQ_UD2 after " + step)) return false;
  }
  return true;
}

}  // namespace

UpdateResult runEncryptedUpdate(ToolContext& ctx) {
  UpdateSequence seq(ctx, "encrypted QOR protocol", blockTotal(),
                     "Starting firmware update, encrypted QOR protocol.\n");
  uint8_t start[5];
  startParameters(start);
  const bool activated =
      exchangeCommand(seq, CMD_STATUS_REPORT, nullptr, 0, ">>> FW upgrade request for readout status report.\n",
                      "status report request") &&
      exchangeReport(seq, "REQ_UD2 after status report request") &&
      exchangeCommand(seq, CMD_SEND_START, start, sizeof start, ">>> FW upgrade send start.\n", "send start") &&
      exchangeReport(seq, "REQ_UD2 after send start") && dataPhase(seq) &&
      exchangeCommand(seq, CMD_VALIDATE, nullptr, 0, ">>> FW upgrade send validate.\n", "send validate") &&
      exchangeReport(seq, "REQ_UD2 after send validate") &&
      exchangeCommand(seq, CMD_ACTIVATE, nullptr, 0, ">>> FW upgrade activate.\n", "activate", false);
  if (!activated) return seq.result();
  ++invocationCounter;
  ctx.out.outputText("Dongle is now reprogramming, please reselect Dongle and check result.\n", STYLE_SENT);
  return seq.result();
}
