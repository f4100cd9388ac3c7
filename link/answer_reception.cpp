#include "link/answer_reception.h"

#include <cstdio>
#include <string>

#include "commands/identity_fields.h"
#include "link/connection.h"
#include "link/link_frames.h"
#include "link/protected_answer.h"

uint8_t answerReceived;
uint8_t ackReceived;

namespace {

constexpr uint8_t CI_ANSWER = 0x72;
constexpr uint8_t CI_PROTECTED = 0x90;
constexpr int READ_BLOCK_SIZE = 256;
// 0x68 L L 0x68 C A, the header bytes 7..14, then at least CS and the stop byte.
constexpr uint16_t HEADER_FRAME_LENGTH = 17;

std::string formatted(const char* format, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, (unsigned)value);
  return text;
}

void printAnswer(ToolContext& ctx) {
  uint16_t length = 0;
  const uint8_t* frame = getLinkBuffer(length);
  ctx.out.outputText("<<< Answer\n", STYLE_RECEIVED);
  ctx.out.dumpBytes(frame, length, STYLE_RECEIVED);
}

uint32_t littleEndian32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Identity from the header; the counter from the 04 FD 08 record, or +4
// when the answer carries none.
void takeUnprotectedAnswer(ToolContext& ctx, const uint8_t* frame, uint16_t length) {
  // An answer too short to hold the header in its data leaves the identity
  // fields as they are rather than show its checksum or bytes it never had.
  if (length >= HEADER_FRAME_LENGTH) {
    showMeterHeader(ctx, frame + 7);
  }
  const uint16_t k = findCounterRecord(frame, length);
  // A record whose value would run into the checksum or past the frame is
  // incomplete: treated as no record at all.
  if (k != 0 && k + 7 <= length - 2) {
    invocationCounter = littleEndian32(frame + k + 3) + 1;
    ctx.fields.setFieldText(Field::Counter, formatted("%08X", invocationCounter));
    ctx.out.outputFormat(STYLE_RECEIVED, "Message counter found: %d\n", (int32_t)invocationCounter);
  } else {
    invocationCounter += 4;
    ctx.fields.setFieldText(Field::Counter, formatted("%08X", invocationCounter));
  }
}

void takeLongAnswer(ToolContext& ctx) {
  uint16_t length = 0;
  const uint8_t* frame = getLinkBuffer(length);
  // Frames with L < 3 end before byte 6: they have no CI field to act on.
  const int ci = length >= 9 ? frame[6] : -1;
  if (ci == CI_ANSWER) takeUnprotectedAnswer(ctx, frame, length);
  if (ci == CI_PROTECTED) handleProtectedAnswer(ctx);
  answerReceived = 1;
}

}  // namespace

void showMeterHeader(ToolContext& ctx, const uint8_t* header) {
  char letters[4];
  const uint16_t code = (uint16_t)(header[4] | header[5] << 8);
  // No letters for a code with its top bit set: the field keeps its last
  // letters, so it always holds a text the manufacturer code can be read from.
  if (!(code & 0x8000)) {
    decodeManufacturer(code, letters);
    ctx.fields.setFieldText(Field::Manufacturer, letters);
  }
  char id[16];
  std::snprintf(id, sizeof id, "%02X%02X%02X%02X", header[3], header[2], header[1], header[0]);
  ctx.fields.setFieldText(Field::IdNumber, id);
  ctx.fields.setFieldText(Field::Version, formatted("%02X", header[6]));
  ctx.fields.setFieldText(Field::DeviceType, formatted("%02X", header[7]));
}

uint16_t findCounterRecord(const uint8_t* frame, uint16_t length) {
  if (length < 4) return 0;
  for (uint16_t i = 0; i < length - 3; ++i)
    if (frame[i] == 0x04 && frame[i + 1] == 0xFD && frame[i + 2] == 0x08) return i;
  return 0;
}

void decodeManufacturer(uint16_t code, char* text) {
  if (code & 0x8000) return;
  text[0] = (char)((code >> 10) + 0x40);
  text[1] = (char)(((code >> 5) & 31) + 0x40);
  text[2] = (char)((code & 31) + 0x40);
  text[3] = 0;
}

void pollAnswers(ToolContext& ctx) {
  uint8_t block[READ_BLOCK_SIZE];
  const int count = ctx.link.readBlock(block, READ_BLOCK_SIZE);
  for (int i = 0; i < count; ++i) {
    switch (receiveByte(block[i])) {
      case RX_PENDING:
        continue;
      case RX_SHORT_OK:
        printAnswer(ctx);
        break;
      case RX_LONG_OK:
        printAnswer(ctx);
        takeLongAnswer(ctx);
        break;
      case RX_LONG_BAD_CHECKSUM: {
        uint16_t length = 0;
        const uint8_t* frame = getLinkBuffer(length);
        ctx.out.outputText("<<< Wrong checksum!\n", STYLE_RECEIVED);
        ctx.out.dumpBytes(frame, length, STYLE_RECEIVED);
        break;
      }
      case RX_ACK:
        ctx.out.outputText("<<< Answer single byte ACK.\n", STYLE_RECEIVED);
        ackReceived = 1;
        break;
      case RX_ZERO:
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
