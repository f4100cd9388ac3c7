#include "firmware/block_protocols.h"

#include <cstdio>
#include <string>

#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "firmware/crc32.h"
#include "firmware/firmware_image.h"
#include "firmware/transfer_cursor.h"
#include "firmware/update_options.h"
#include "firmware/update_sequence.h"
#include "link/answer_reception.h"
#include "link/telegram.h"

namespace {

// The one difference between the two protocols in how a telegram goes out.
void sendRecord(ToolContext& ctx, const BlockRecord& record, const char* heading, bool encrypted) {
  if (!encrypted) {
    buildBlockTelegram(nextAccessNumber(), record);
    sendBuiltFrame(ctx, heading);
    return;
  }
  const ProtectedSender sender{meterAddress, invocationCounter, nextAccessNumber(), communicationKey};
  if (buildProtectedTelegram(sender, record, ctx.out) == ProtectResult::Refused) {
    // Never in clear: the step goes unanswered and ends as any silent one.
    ctx.out.outputText("Telegram protection refused; nothing sent.\n", STYLE_SENT);
    return;
  }
  sendBuiltFrame(ctx, heading);
  // Activate goes out under the counter that its acknowledgement then moves on.
  if (record.command != CMD_ACTIVATE) showInvocationCounter(ctx.fields);
}

void sendBlockCommand(ToolContext& ctx, uint8_t command, const char* heading, bool encrypted) {
  uint8_t start[5];
  BlockRecord record{command};
  if (command == CMD_SEND_START) {
    startParameters(firmwareLength, start);
    record.bytes = start;
    record.length = sizeof start;
  }
  sendRecord(ctx, record, heading, encrypted);
}

void sendPlainCommand(ToolContext& ctx, uint8_t command, const char* heading) {
  sendBlockCommand(ctx, command, heading, false);
}

void sendProtectedCommand(ToolContext& ctx, uint8_t command, const char* heading) {
  sendBlockCommand(ctx, command, heading, true);
}

std::string blockHeading(uint32_t crc) {
  char heading[112];
  std::snprintf(heading, sizeof heading, ">>> Send FW data %d from %d block %d/%d CRC32: 0x%08X\n",
                (int)transferOffset, (int)firmwareLength, (int)(transferOffset / BLOCK_SIZE),
                (int)(firmwareLength / BLOCK_SIZE), crc);
  return heading;
}

// The test options count acknowledged blocks only, so an unacknowledged block
// after a skip (or step back) moves on (or back) once more.
bool applyTestOptions(unsigned ackedBlocks) {
  if (skipBlock15 && ackedBlocks == 15 && !skipChunk()) return false;
  if (doubleBlock42 && ackedBlocks == 42) repeatPreviousChunk();
  return true;
}

// Every acknowledged block is followed by one REQ_UD2 exchange. An
// unacknowledged plain block gets its REQ_UD2 too and is sent again after
// it; an unacknowledged encrypted one is sent again at once. The CRC runs
// over every block sent, repeats included.
bool sendBlocks(UpdateSequence& seq, bool encrypted) {
  const int ackBudget = encrypted ? ENCRYPTED_BLOCK_ACK_BUDGET : CHUNK_ACK_BUDGET;
  const int sendLimit = encrypted ? ENCRYPTED_BLOCK_SEND_LIMIT : CHUNK_SEND_LIMIT;
  beginTransfer(BLOCK_SIZE, 0);
  uint32_t crc = 0;
  unsigned acked = 0;
  int unanswered = 0;
  while (!transferDone()) {
    if (encrypted && !applyTestOptions(acked)) break;
    const uint8_t n = currentChunkLength();
    const std::string step = blockLabel("block", transferOffset / BLOCK_SIZE, blockTotal());
    seq.showStep(step);
    crc = crc32Update(crc, firmwareImage + transferOffset, n);
    const BlockRecord record{CMD_DATA_BLOCK, firmwareImage + transferOffset, n,
                             (uint16_t)(transferOffset / BLOCK_SIZE)};
    clearAnswerFlags();
    sendRecord(seq.ctx, record, blockHeading(crc).c_str(), encrypted);
    const WaitOutcome outcome = seq.await(Awaited::Ack, ackBudget);
    if (outcome == WaitOutcome::Raised) {
      unanswered = 0;
      ++acked;
      ++seq.done;
      advanceTransfer();
    } else if (outcome != WaitOutcome::Expired || ++unanswered >= sendLimit) {
      return seq.stop(outcome, step);
    } else if (encrypted) {
      continue;
    }
    if (!exchangeReport(seq, "REQ_UD2 after " + step)) return false;
  }
  return true;
}

bool plainDataPhase(UpdateSequence& seq) { return sendBlocks(seq, false); }
bool protectedDataPhase(UpdateSequence& seq) { return sendBlocks(seq, true); }

const char* const REPROGRAMMING = "Dongle is now reprogramming, please reselect Dongle and check result.\n";

void activated(ToolContext& ctx) { counterAfterActivate(ctx.fields); }

const char* const STATUS_REPORT = ">>> FW upgrade request for readout status report.\n";
const char* const SEND_START = ">>> FW upgrade send start.\n";
const char* const SEND_VALIDATE = ">>> FW upgrade send validate.\n";

const Step PLAIN_STEPS[] = {
    {StepKind::Command, CMD_STATUS_REPORT, STATUS_REPORT, "status report request"},
    {StepKind::Command, CMD_SEND_START, SEND_START, "send start"},
    {StepKind::Report, 0, nullptr, "REQ_UD2 after send start"},
    {StepKind::Data, 0, nullptr, nullptr},
    {StepKind::Command, CMD_VALIDATE, SEND_VALIDATE, "send validate"},
    {StepKind::Pause, 0, nullptr, nullptr},
    {StepKind::Command, CMD_BLOCK_STATUS_REPORT, ">>> FW upgrade request for readout block status report.\n",
     "block status report request"},
    {StepKind::Report, 0, nullptr, "REQ_UD2 after block status report request"},
    {StepKind::Report, 0, nullptr, "second REQ_UD2 after block status report request"},
    {StepKind::Command, CMD_ACTIVATE, ">>> FW upgrade send activate.\n", "send activate"},
};

const Step ENCRYPTED_STEPS[] = {
    {StepKind::Command, CMD_STATUS_REPORT, STATUS_REPORT, "status report request"},
    {StepKind::Report, 0, nullptr, "REQ_UD2 after status report request"},
    {StepKind::Command, CMD_SEND_START, SEND_START, "send start"},
    {StepKind::Report, 0, nullptr, "REQ_UD2 after send start"},
    {StepKind::Data, 0, nullptr, nullptr},
    {StepKind::Command, CMD_VALIDATE, SEND_VALIDATE, "send validate"},
    {StepKind::Report, 0, nullptr, "REQ_UD2 after send validate"},
    {StepKind::Command, CMD_ACTIVATE, ">>> FW upgrade activate.\n", "activate"},
};

const Protocol PLAIN_BLOCK_PROTOCOL = {
    "unencrypted QOR protocol", "Starting firmware update, unencrypted QOR protocol.\n", PLAIN_STEPS,
    sizeof PLAIN_STEPS / sizeof PLAIN_STEPS[0], blockTotal, sendPlainCommand, plainDataPhase,
    nullptr, REPROGRAMMING, STYLE_SENT};

const Protocol ENCRYPTED_BLOCK_PROTOCOL = {
    "encrypted QOR protocol", "Starting firmware update, encrypted QOR protocol.\n", ENCRYPTED_STEPS,
    sizeof ENCRYPTED_STEPS / sizeof ENCRYPTED_STEPS[0], blockTotal, sendProtectedCommand, protectedDataPhase,
    activated, REPROGRAMMING, STYLE_SENT};

}  // namespace

unsigned blockTotal() { return (firmwareLength + BLOCK_SIZE - 1) / BLOCK_SIZE; }

UpdateOutcome runBlockUpdate(ToolContext& ctx) { return runProtocol(ctx, PLAIN_BLOCK_PROTOCOL); }

UpdateOutcome runEncryptedUpdate(ToolContext& ctx) { return runProtocol(ctx, ENCRYPTED_BLOCK_PROTOCOL); }
