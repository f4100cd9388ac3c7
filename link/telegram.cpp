#include "link/telegram.h"

#include <cstring>

#include "link/link_frames.h"
#include "security/telegram_protection.h"

namespace {

constexpr uint8_t DIF_VARIABLE = 0x0D;  // LVAR and parameters follow
constexpr uint8_t DIF_READOUT = 0x08;   // report requests: nothing follows
constexpr uint8_t VIF_EXTENSION = 0xFD;
constexpr uint8_t VIFE_FIRMWARE = 0xF7;
constexpr uint8_t FILLER = 0x2F;
constexpr uint8_t MANUFACTURER_MARKER[2] = {0x0F, 0x35};

// The AFL of a protected telegram and the header that follows it.
constexpr int AFL_LENGTH = 17;
constexpr int MAC_OFFSET = 9;
constexpr int PROTECTED_HEADER_LENGTH = 31;  // AFL, long header, configuration, CFE
constexpr uint8_t SECURITY_MODE_7 = 0x07;
constexpr uint8_t CFE = 0x10;

// Answers: the counter of a protected answer and the identity behind its TPL CI.
constexpr int ANSWER_CI = FRAME_DATA_OFFSET;
constexpr int ANSWER_IDENTITY = 7;
constexpr int PROTECTED_COUNTER = 11;
constexpr int PROTECTED_IDENTITY = 24;
constexpr uint16_t MIN_ANSWER_WITH_IDENTITY = 17;  // header bytes 7..14, CS, stop
constexpr uint16_t MIN_PROTECTED_ANSWER = PROTECTED_IDENTITY + 8 + 2;

uint8_t* frameData() { return linkBuffer + FRAME_DATA_OFFSET; }

void closeLongFrame(int dataLength) {
  buildLongFrame(LINK_ADDRESS, C_SND_UD, frameData(), (uint8_t)dataLength);
}

void putLittleEndian32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = (uint8_t)(value >> (8 * i));
}

uint32_t littleEndian32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int writeShortHeader(uint8_t* out, uint8_t accessNumber) {
  const uint8_t header[5] = {CI_SHORT_HEADER, accessNumber, 0x00, 0x00, 0x00};
  std::memcpy(out, header, sizeof header);
  return sizeof header;
}

int writeRecord(uint8_t* out, const BlockRecord& r) {
  const bool readout = r.command == CMD_STATUS_REPORT || r.command == CMD_BLOCK_STATUS_REPORT;
  out[0] = readout ? DIF_READOUT : DIF_VARIABLE;
  out[1] = VIF_EXTENSION;
  out[2] = VIFE_FIRMWARE;
  out[3] = r.command;
  if (readout) return 4;
  int n = 5;
  if (r.command == CMD_DATA_BLOCK) {
    out[n++] = (uint8_t)r.blockNumber;
    out[n++] = (uint8_t)(r.blockNumber >> 8);
  }
  if (r.length) std::memcpy(out + n, r.bytes, r.length);
  n += r.length;
  out[4] = (uint8_t)(n - 5);  // LVAR
  return n;
}

int writeSimpleHeader(uint8_t* out, uint8_t accessNumber, uint8_t command) {
  int n = writeShortHeader(out, accessNumber);
  out[n++] = MANUFACTURER_MARKER[0];
  out[n++] = MANUFACTURER_MARKER[1];
  out[n++] = command;
  return n;
}

// The first 04 FD 08 anywhere: the answer reception walks the records and
// keeps this only where they cannot be walked.
uint16_t searchCounterBytes(const uint8_t* frame, uint16_t length) {
  if (length < 4) return 0;
  for (uint16_t i = 0; i < length - 3; ++i)
    if (frame[i] == 0x04 && frame[i + 1] == 0xFD && frame[i + 2] == 0x08) return i;
  return 0;
}

}  // namespace

void buildSndNke() { buildShortFrame(LINK_ADDRESS, C_SND_NKE); }

void buildReqUd2() { buildShortFrame(LINK_ADDRESS, C_REQ_UD2); }

void startParameters(uint32_t imageLength, uint8_t params[5]) {
  putLittleEndian32(params, imageLength);
  params[4] = BLOCK_SIZE;
}

void buildBlockTelegram(uint8_t accessNumber, const BlockRecord& record) {
  uint8_t* data = frameData();
  const int header = writeShortHeader(data, accessNumber);
  closeLongFrame(header + writeRecord(data + header, record));
}

int buildProtectedTelegram(const ProtectedSender& sender, const BlockRecord& record, TraceSink& trace) {
  uint8_t* app = frameData();
  const uint8_t* address = sender.meterAddress;
  const uint8_t afl[5] = {CI_PROTECTED, 0x0F, 0x00, 0x2C, 0x25};  // AFLL, FCL, MCL
  std::memcpy(app, afl, sizeof afl);
  putLittleEndian32(app + 5, sender.invocationCounter);
  std::memset(app + MAC_OFFSET, 0xFF, 8);
  app[AFL_LENGTH] = CI_LONG_HEADER;
  std::memcpy(app + 18, address + 2, 4);  // identification, LSB first
  app[22] = address[0];                   // manufacturer
  app[23] = address[1];
  app[24] = address[6];                   // version
  app[25] = address[7];                   // device type
  app[26] = sender.accessNumber;
  app[27] = 0x00;                         // status
  uint8_t* area = app + PROTECTED_HEADER_LENGTH;
  area[0] = FILLER;
  area[1] = FILLER;
  const int recordLength = writeRecord(area + 2, record);
  const int encrypted = (2 + recordLength + 15) / 16 * 16;
  std::memset(area + 2 + recordLength, FILLER, (size_t)(encrypted - 2 - recordLength));
  app[28] = (uint8_t)encrypted;
  app[29] = SECURITY_MODE_7;
  app[30] = CFE;
  const int length = PROTECTED_HEADER_LENGTH + encrypted;
  telegramEncryptAndMac(trace, app, (uint32_t)length, address + 2, sender.key);
  closeLongFrame(length);
  return length;
}

void buildSimpleCommand(uint8_t accessNumber, uint8_t command) {
  closeLongFrame(writeSimpleHeader(frameData(), accessNumber, command));
}

void buildSimpleChunk(uint8_t accessNumber, uint32_t address, const uint8_t* bytes, uint8_t length) {
  uint8_t* data = frameData();
  int n = writeSimpleHeader(data, accessNumber, CMD_WRITE_CHUNK);
  data[n++] = length;
  putLittleEndian32(data + n, address);
  n += 4;
  std::memcpy(data + n, bytes, length);
  closeLongFrame(n + length);
}

Answer decodeAnswer(uint8_t* frame, uint16_t length) {
  Answer answer;
  // Frames with L < 3 end before the CI field.
  if (length < 9) return answer;
  answer.ci = frame[ANSWER_CI];
  if (answer.ci == CI_ANSWER) {
    // Too short to hold the header: no identity rather than its checksum.
    if (length >= MIN_ANSWER_WITH_IDENTITY) answer.identity = frame + ANSWER_IDENTITY;
    const uint16_t k = searchCounterBytes(frame, length);
    // A record whose value would run into the checksum is no record.
    if (k != 0 && k + 7 <= length - 2) {
      answer.hasCounter = true;
      answer.counter = littleEndian32(frame + k + 3);
    }
  } else if (answer.ci == CI_PROTECTED && length >= MIN_PROTECTED_ANSWER) {
    answer.hasCounter = true;
    answer.counter = littleEndian32(frame + PROTECTED_COUNTER);
    answer.identity = frame + PROTECTED_IDENTITY;
    answer.protectedPart = frame + FRAME_DATA_OFFSET;
    answer.protectedLength = (uint32_t)(length - 8);
  }
  return answer;
}

bool decodeManufacturer(uint16_t code, char text[4]) {
  if (code & 0x8000) return false;
  text[0] = (char)((code >> 10) + 0x40);
  text[1] = (char)(((code >> 5) & 31) + 0x40);
  text[2] = (char)((code & 31) + 0x40);
  text[3] = 0;
  return true;
}
