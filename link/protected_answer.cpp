#include "link/protected_answer.h"

#include <cstdio>

#include "commands/identity_fields.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"
#include "security/telegram_protection.h"

namespace {

constexpr int COUNTER_OFFSET = 11;  // message counter of the security layer
constexpr int HEADER_OFFSET = 24;   // identity header behind the transport CI
// Bytes 11..31 must lie in the data, before the checksum and the stop byte.
constexpr uint16_t MIN_FRAME_LENGTH = HEADER_OFFSET + 8 + 2;

}  // namespace

void handleProtectedAnswer(ToolContext& ctx) {
  uint16_t length = 0;
  uint8_t* frame = getLinkBuffer(length);
  if (length < MIN_FRAME_LENGTH) {
    // Nothing in it can be trusted or even read: fields and counter stay.
    ctx.out.outputText("Protected answer too short.\n", STYLE_RECEIVED);
    ctx.out.outputText("Decrypt Error.\n", STYLE_PROGRESS);
    return;
  }

  const uint8_t* mcr = frame + COUNTER_OFFSET;
  invocationCounter = ((uint32_t)mcr[0] | (uint32_t)mcr[1] << 8 | (uint32_t)mcr[2] << 16 | (uint32_t)mcr[3] << 24) + 1;
  char counterText[16];
  std::snprintf(counterText, sizeof counterText, "%08X", (unsigned)invocationCounter);
  ctx.fields.setFieldText(Field::Counter, counterText);
  showMeterHeader(ctx, frame + HEADER_OFFSET);
  ctx.out.outputFormat(STYLE_RECEIVED, "Message counter found: %d\n", (int32_t)invocationCounter);

  ctx.out.outputText("Decrypting using key: ", STYLE_PROGRESS);
  for (uint8_t b : communicationKey) ctx.out.outputFormat(STYLE_PROGRESS, "0x%02X ", b);
  ctx.out.outputText("\n", STYLE_PROGRESS);
  ctx.out.outputText("\n", STYLE_PROGRESS);

  // The identity the fields held at their last reading, not the one this
  // answer just put into them.
  if (telegramDecrypt(frame + 6, (uint32_t)(length - 8), meterIdBytes, communicationKey)) {
    ctx.out.outputText("Decrypt OK.\n", STYLE_PROGRESS);
    ctx.out.dumpBytes(frame, length, STYLE_PROGRESS);
  } else {
    ctx.out.outputText("Decrypt Error.\n", STYLE_PROGRESS);
  }
}
