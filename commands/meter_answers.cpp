#include "commands/meter_answers.h"

#include <cstdio>
#include <cstring>

#include "commands/identity_fields.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"
#include "records/records.h"
#include "security/telegram_protection.h"

namespace {

void setHexField(WindowFields& fields, Field field, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value);
  fields.setFieldText(field, text);
}

// A manufacturer code with its top bit set has no letters: the field keeps
// its last ones, so it always holds a text the code can be read from.
void showIdentity(ToolContext& ctx, const uint8_t* identity) {
  char letters[4] = "";
  const bool named = decodeManufacturer((uint16_t)(identity[4] | identity[5] << 8), letters);
  if (named) ctx.fields.setFieldText(Field::Manufacturer, letters);
  char id[16];
  std::snprintf(id, sizeof id, "%02X%02X%02X%02X", identity[3], identity[2], identity[1], identity[0]);
  ctx.fields.setFieldText(Field::IdNumber, id);
  setHexField(ctx.fields, Field::Version, identity[6]);
  setHexField(ctx.fields, Field::DeviceType, identity[7]);
  if (AnswerValues* values = ctx.answer) {
    values->identified = true;
    std::memcpy(values->manufacturer, named ? letters : "", named ? 4 : 1);
    values->idNumber = (uint32_t)identity[3] << 24 | (uint32_t)identity[2] << 16 | (uint32_t)identity[1] << 8 | identity[0];
    values->version = identity[6];
    values->deviceType = identity[7];
  }
}

// In the answer's style after its dump.
void showRecords(ToolContext& ctx, const FrameRecords& decoded, const uint8_t* bytes, size_t length) {
  if (AnswerValues* values = ctx.answer) {
    values->decoded = true;
    values->records = decoded;
    values->recordBytes.assign(bytes, bytes + length);
  }
  const std::string lines = decodedRecordLines(decoded.list);
  if (!lines.empty()) ctx.out.outputText(lines.c_str(), (int)lines.size(), STYLE_RECEIVED);
}

// By the records: a value or an identity that holds 04 FD 08 is no counter.
// decodeAnswer's byte search stands only where the records cannot be walked
// (manufacturer data before the record, a damaged layout).
void counterFromRecords(const uint8_t* frame, uint16_t length, Answer& answer) {
  const CounterRecord walked = findCounterRecord(frame, length);
  if (walked.result == CounterSearch::CannotWalk) return;
  answer.hasCounter = walked.result == CounterSearch::Found;
  answer.counter = walked.counter;
}

// The link's poll hands over what its byte search found; the records, a layer
// above it, correct the counter before the answer is applied.
void applyReceivedAnswer(ToolContext& ctx, const Answer& received) {
  Answer answer = received;
  uint16_t length = 0;
  const uint8_t* frame = getLinkBuffer(length);
  if (answer.ci == CI_ANSWER) counterFromRecords(frame, length, answer);
  applyAnswer(ctx, answer);
}

void reportDecrypt(ToolContext& ctx, AnswerValues::Decrypt result) {
  if (ctx.answer) ctx.answer->decrypt = result;
}

void reportCounter(ToolContext& ctx) {
  ctx.out.outputFormat(STYLE_RECEIVED, "Message counter found: %d\n", (int32_t)invocationCounter);
}

void applyPlainAnswer(ToolContext& ctx, const Answer& answer) {
  if (answer.identity) showIdentity(ctx, answer.identity);
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
    reportDecrypt(ctx, AnswerValues::Decrypt::Error);
    return;
  }
  counterFromAnswer(ctx.fields, answer.counter);
  showIdentity(ctx, answer.identity);
  reportCounter(ctx);

  ctx.out.outputText("Decrypting using key: ", STYLE_PROGRESS);
  for (uint8_t b : communicationKey) ctx.out.outputFormat(STYLE_PROGRESS, "0x%02X ", b);
  ctx.out.outputText("\n", STYLE_PROGRESS);
  ctx.out.outputText("\n", STYLE_PROGRESS);

  // The identity the fields held at their last reading, not the one this
  // answer just put into them.
  const DecryptResult result =
      telegramDecrypt(ctx.out, answer.protectedPart, answer.protectedLength, meterIdBytes, communicationKey);
  if (result == DecryptResult::Ok) {
    uint16_t length = 0;
    const uint8_t* frame = getLinkBuffer(length);
    ctx.out.outputText("Decrypt OK.\n", STYLE_PROGRESS);
    ctx.out.dumpBytes(frame, length, STYLE_PROGRESS);
    if (ctx.decodeRecords)
      showRecords(ctx, decryptedAnswerRecords(frame, answer), answer.protectedPart, answer.protectedLength);
    reportDecrypt(ctx, AnswerValues::Decrypt::Ok);
  } else {
    ctx.out.outputText("Decrypt Error.\n", STYLE_PROGRESS);
    // With records wanted, the engineer also wants to know why there are none.
    if (ctx.decodeRecords) ctx.out.outputFormat(STYLE_PROGRESS, "  Decrypt check failed: %s\n", decryptCheckText(result));
    reportDecrypt(ctx, AnswerValues::Decrypt::Error);
    if (ctx.answer) ctx.answer->decryptCheck = result;
  }
}

}  // namespace

void applyAnswer(ToolContext& ctx, const Answer& answer) {
  if (ctx.answer) *ctx.answer = AnswerValues();
  if (answer.ci == CI_ANSWER) {
    applyPlainAnswer(ctx, answer);
    uint16_t length = 0;
    const uint8_t* frame = getLinkBuffer(length);
    if (ctx.decodeRecords) showRecords(ctx, decodeFrame(frame, length), frame, length);
  }
  if (answer.ci == CI_PROTECTED) applyProtectedAnswer(ctx, answer);
  if (ctx.answer) {
    ctx.answer->answered = true;
    ctx.answer->counter = invocationCounter;
  }
}

FrameRecords decryptedAnswerRecords(const uint8_t* frame, const Answer& answer) {
  FrameRecords decoded = decodeProtectedRecords(answer.protectedPart, answer.protectedLength);
  decoded.header.control = frame[4];  // the link layer's, outside the protected part
  decoded.header.address = frame[5];
  return decoded;
}

std::string decodedRecordLines(const RecordList& list) {
  std::string lines;
  for (const Record& record : list.records) lines += formatRecord(record) + "\n";
  switch (list.end) {
    case DecodeEnd::Complete:
    case DecodeEnd::ManufacturerData:  // its record's line says so
    case DecodeEnd::MoreRecordsFollow: break;
    default: lines += "  Records: " + describeEnd(list) + "\n";
  }
  return lines;
}

const char* decryptCheckText(DecryptResult result) {
  switch (result) {
    case DecryptResult::Ok: return "none";
    case DecryptResult::NoAfl: return "no AFL (CI 90) at the start";
    case DecryptResult::LengthOutOfRange: return "the answer is shorter than its AFL";
    case DecryptResult::MacMismatch: return "the MAC does not match (key, identification or a changed byte)";
    case DecryptResult::AreaBeyondEnd: return "the encrypted area runs past the end";
    case DecryptResult::NoFillerAfterDecrypt: return "the MAC matches, but the decrypted area does not begin 2F 2F";
  }
  return "unknown";
}

void receiveAnswers(ToolContext& ctx) { pollAnswers(ctx, applyReceivedAnswer); }
