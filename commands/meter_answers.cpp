#include "commands/meter_answers.h"

#include <cstring>

#include "commands/identity_fields.h"
#include "interfaces/byte_order.h"
#include "interfaces/text_format.h"
#include "link/answer_reception.h"

namespace {

constexpr uint8_t COUNTER_RECORD[3] = {0x04, 0xFD, 0x08};

// The identity as the answer carries it: id LSB first, manufacturer LE, version, device type.
void takeIdentity(MeterAnswer& value, const uint8_t* identity) {
  char letters[4] = "";
  const bool named = decodeManufacturer((uint16_t)(identity[4] | identity[5] << 8), letters);
  value.identified = true;
  std::memcpy(value.manufacturer, named ? letters : "", named ? 4 : 1);
  value.idNumber = (uint32_t)identity[3] << 24 | (uint32_t)identity[2] << 16 | (uint32_t)identity[1] << 8 | identity[0];
  value.version = identity[6];
  value.deviceType = identity[7];
}

// In the answer's style after its dump.
void showRecords(ToolContext& ctx, MeterAnswer& value, const FrameRecords& decoded, const uint8_t* bytes,
                 size_t length) {
  value.decoded = true;
  value.records = decoded;
  value.recordBytes.assign(bytes, bytes + length);
  const std::string lines = decodedRecordLines(decoded.list);
  if (!lines.empty()) ctx.out.outputText(lines.c_str(), (int)lines.size(), STYLE_RECEIVED);
}

void reportCounter(ToolContext& ctx) {
  ctx.out.outputFormat(STYLE_RECEIVED, "Message counter found: %d\n", (int32_t)invocationCounter);
}

void applyPlainAnswer(ToolContext& ctx, MeterAnswer& value, const Answer& answer, const std::vector<uint8_t>& frame) {
  if (answer.identity) takeIdentity(value, answer.identity);
  const FoundCounter found = findMessageCounter(frame.data(), (uint16_t)frame.size());
  value.counterSource = found.source;
  value.messageCounter = found.value;
  value.counterMoved = true;
  if (found.source != CounterSource::None) {
    counterFromAnswer(found.value);
    reportCounter(ctx);
  } else {
    counterWithoutRecord();
  }
  if (ctx.decodeRecords)
    showRecords(ctx, value, decodeFrame(frame.data(), frame.size()), frame.data(), frame.size());
}

// The frame is a copy: it is decrypted in place there, never in the link buffer.
void applyProtectedAnswer(ToolContext& ctx, MeterAnswer& value, const Answer& answer, const std::vector<uint8_t>& frame) {
  if (!answer.protectedPart) {
    // Nothing in it can be trusted or even read: fields and counter stay.
    ctx.out.outputText("Protected answer too short.\n", STYLE_RECEIVED);
    ctx.out.outputText("Decrypt Error.\n", STYLE_PROGRESS);
    value.verification = Verification::Error;
    return;
  }
  value.counterSource = CounterSource::Afl;
  value.messageCounter = answer.aflCounter;
  value.counterMoved = true;
  counterFromAnswer(answer.aflCounter);
  takeIdentity(value, answer.identity);
  reportCounter(ctx);

  ctx.out.outputText("Decrypting using key: ", STYLE_PROGRESS);
  ctx.out.outputText(byteDump(communicationKey, (int)sizeof communicationKey, false).c_str(), STYLE_PROGRESS);
  ctx.out.outputText("\n", STYLE_PROGRESS);
  ctx.out.outputText("\n", STYLE_PROGRESS);

  // The identity the fields held at their last reading, not the one this
  // answer carries.
  const DecryptResult result =
      telegramDecrypt(ctx.out, answer.protectedPart, answer.protectedLength, meterIdBytes, communicationKey);
  if (result == DecryptResult::Ok) {
    ctx.out.outputText("Decrypt OK.\n", STYLE_PROGRESS);
    ctx.out.dumpBytes(frame.data(), (int)frame.size(), STYLE_PROGRESS);
    if (ctx.decodeRecords)
      showRecords(ctx, value, decryptedAnswerRecords(frame.data(), answer), answer.protectedPart,
                  answer.protectedLength);
    value.verification = Verification::Ok;
  } else {
    ctx.out.outputText("Decrypt Error.\n", STYLE_PROGRESS);
    // With records wanted, the engineer also wants to know why there are none.
    if (ctx.decodeRecords) ctx.out.outputFormat(STYLE_PROGRESS, "  Decrypt check failed: %s\n", decryptCheckText(result));
    value.verification = Verification::Error;
    value.decryptCheck = result;
  }
}

MeterAnswer applyAnswer(ToolContext& ctx, const uint8_t* received, uint16_t length) {
  std::vector<uint8_t> frame(received, received + length);
  const Answer answer = decodeAnswer(frame.data(), length);
  MeterAnswer value;
  value.ci = answer.ci;
  if (answer.ci == CI_ANSWER) applyPlainAnswer(ctx, value, answer, frame);
  if (answer.ci == CI_PROTECTED) applyProtectedAnswer(ctx, value, answer, frame);
  value.invocationCounter = invocationCounter;
  return value;
}

}  // namespace

std::vector<MeterAnswer> receiveAnswers(ToolContext& ctx) {
  std::vector<MeterAnswer> answers;
  pollAnswers(ctx, [&](const uint8_t* frame, uint16_t length) { answers.push_back(applyAnswer(ctx, frame, length)); });
  return answers;
}

FoundCounter findMessageCounter(const uint8_t* frame, uint16_t length) {
  // By the records: a value or an identity that holds 04 FD 08 is no counter.
  const CounterRecord walked = findCounterRecord(frame, length);
  if (walked.result == CounterSearch::Found) return {CounterSource::Record, walked.counter};
  if (walked.result == CounterSearch::NotFound || length < 4) return {};
  // Where the records cannot be walked (manufacturer data before the record,
  // a damaged layout), the first 04 FD 08 anywhere.
  uint16_t k = 0;
  while (k < length - 3 && std::memcmp(frame + k, COUNTER_RECORD, 3) != 0) ++k;
  // A record whose value would run into the checksum is no record.
  if (k == 0 || k >= length - 3 || k + 7 > length - 2) return {};
  return {CounterSource::ByteSearch, readLittleEndian32(frame + k + 3)};
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
