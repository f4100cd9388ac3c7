#include "link/answer_reception.h"

#include "link/connection.h"
#include "link/link_frames.h"

uint8_t answerReceived;
uint8_t ackReceived;

namespace {

constexpr int READ_BLOCK_SIZE = 256;

void printFrame(ToolContext& ctx, const char* heading) {
  uint16_t length = 0;
  const uint8_t* frame = getLinkBuffer(length);
  ctx.out.outputText(heading, STYLE_RECEIVED);
  ctx.out.dumpBytes(frame, length, STYLE_RECEIVED);
}

}  // namespace

void clearAnswerFlags() {
  answerReceived = 0;
  ackReceived = 0;
}

void pollAnswers(ToolContext& ctx, const AnswerHandler& handler) {
  uint8_t block[READ_BLOCK_SIZE];
  const int count = ctx.link.readBlock(block, READ_BLOCK_SIZE);
  for (int i = 0; i < count; ++i) {
    switch (receiveByte(block[i])) {
      case RxResult::Pending:
        continue;
      case RxResult::ShortOk:
        printFrame(ctx, "<<< Answer\n");
        break;
      case RxResult::LongOk: {
        printFrame(ctx, "<<< Answer\n");
        uint16_t length = 0;
        const uint8_t* frame = getLinkBuffer(length);
        handler(frame, length);
        answerReceived = 1;
        break;
      }
      case RxResult::LongBadChecksum:
        printFrame(ctx, "<<< Wrong checksum!\n");
        break;
      case RxResult::Ack:
        ctx.out.outputText("<<< Answer single byte ACK.\n", STYLE_RECEIVED);
        ackReceived = 1;
        break;
      case RxResult::Zero:
        // The whole block as read, from its first byte, not just the zero.
        ctx.out.outputText("<<< Answer\n", STYLE_RECEIVED);
        ctx.out.dumpBytes(block, count, STYLE_RECEIVED);
        break;
      default:  // rejected: the rest of the block is dropped, the receiver kept
        return;
    }
    resetReceiver();
  }
}
