#include "commands/meter_answers.h"

#include <cstdio>

#include "commands/identity_fields.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"
#include "security/telegram_protection.h"

namespace {

void setHexField(WindowFields& fields, Field field, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value);
  fields.setFieldText(field, text);
}

// A manufacturer code with its top bit set has no letters: the field keeps
// its last ones, so it always holds a text the code can be read from.
void showIdentity(WindowFields& fields, const uint8_t* identity) {
  char letters[4];
  if (decodeManufacturer((uint16_t)(identity[4] | identity[5] << 8), letters))
    fields.setFieldText(Field::Manufacturer, letters);
  char id[16];
  std::snprintf(id, sizeof id, "%02X%02X%02X%02X", identity[3], identity[2], identity[1], identity[0]);
  fields.setFieldText(Field::IdNumber, id);
  setHexField(fields, Field::Version, identity[6]);
  setHexField(fields, Field::DeviceType, identity[7]);
}

void reportCounter(ToolContext& ctx) {
  ctx.out.outputFormat(STYLE_RECEIVED, "Message counter found: %d\n", (int32_t)invocationCounter);
}

void applyPlainAnswer(ToolContext& ctx, const Answer& answer) {
  if (answer.identity) showIdentity(ctx.fields, answer.identity);
  if (answer.hasCounter) {
    counterFromAnswer(ctx.fields, answer.counter);
    reportCounter(ctx);
  } else {
    counterWithoutRecord(ctx.fields);
  }
}

void applyProtectedAnswer(ToolContext& ctx, const Answer& answer) {
  if (!answer.protectedPart) {
    // Nothing in it can be trusted or even read: fields and counter stay.
    ctx.out.outputText("Protected answer too short.\n", STYLE_RECEIVED);
    ctx.out.outputText("Decrypt Error.\n", STYLE_PROGRESS);
    return;
  }
  counterFromAnswer(ctx.fields, answer.counter);
  showIdentity(ctx.fields, answer.identity);
  reportCounter(ctx);

  ctx.out.outputText("Decrypting using key: ", STYLE_PROGRESS);
  for (uint8_t b : communicationKey) ctx.out.outputFormat(STYLE_PROGRESS, "0x%02X ", b);
  ctx.out.outputText("\n", STYLE_PROGRESS);
  ctx.out.outputText("\n", STYLE_PROGRESS);

  // The identity the fields held at their last reading, not the one this
  // answer just put into them.
  if (telegramDecrypt(ctx.out, answer.protectedPart, answer.protectedLength, meterIdBytes, communicationKey)) {
    uint16_t length = 0;
    const uint8_t* frame = getLinkBuffer(length);
    ctx.out.outputText("Decrypt OK.\n", STYLE_PROGRESS);
    ctx.out.dumpBytes(frame, length, STYLE_PROGRESS);
  } else {
    ctx.out.outputText("Decrypt Error.\n", STYLE_PROGRESS);
  }
}

}  // namespace

void applyAnswer(ToolContext& ctx, const Answer& answer) {
  if (answer.ci == CI_ANSWER) applyPlainAnswer(ctx, answer);
  if (answer.ci == CI_PROTECTED) applyProtectedAnswer(ctx, answer);
}

void receiveAnswers(ToolContext& ctx) { pollAnswers(ctx, applyAnswer); }
