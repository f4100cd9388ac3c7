#include "link/telegram.h"

#include <cstring>

#include "interfaces/byte_order.h"
#include "link/link_frames.h"

namespace {

constexpr uint8_t DIF_VARIABLE = 0x0D;  // LVAR and parameters follow
constexpr uint8_t DIF_READOUT = 0x08;   // report requests: nothing follows
constexpr uint8_t VIF_EXTENSION = 0xFD;
constexpr uint8_t VIFE_FIRMWARE = 0xF7;
constexpr uint8_t FILLER = 0x2F;
constexpr uint8_t MANUFACTURER_MARKER[2] = {0x0F, 0x35};

// The AFL of a protected telegram and the header that follows it.
constexpr int PROTECTED_HEADER_LENGTH = 31;  // AFL, long header, configuration, CFE
constexpr uint8_t SECURITY_MODE_7 = 0x07;
constexpr uint8_t CFE = 0x10;

// Answers: the identity after the CI 0x72, or after the TPL CI that follows the AFL.
constexpr int ANSWER_CI = FRAME_DATA_OFFSET;
constexpr int ANSWER_IDENTITY = 7;
constexpr uint16_t MIN_ANSWER_WITH_IDENTITY = 17;  // header bytes 7..14, CS, stop
constexpr uint32_t IDENTITY_LENGTH = 8;

// A long frame's data, CI field on: the most a one-byte L leaves room for.
constexpr int MAX_DATA_LENGTH = 253;

void closeLongFrame(const uint8_t* data, int dataLength) {
  buildLongFrame(LINK_ADDRESS, C_SND_UD, data, (uint8_t)dataLength);
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

}  // namespace

void buildSndNke() { buildShortFrame(LINK_ADDRESS, C_SND_NKE); }

void buildReqUd2() { buildShortFrame(LINK_ADDRESS, C_REQ_UD2); }

void startParameters(uint32_t imageLength, uint8_t params[5]) {
  putLittleEndian32(params, imageLength);
  params[4] = BLOCK_SIZE;
}

void buildBlockTelegram(uint8_t accessNumber, const BlockRecord& record) {
  uint8_t data[MAX_DATA_LENGTH];
  const int header = writeShortHeader(data, accessNumber);
  closeLongFrame(data, header + writeRecord(data + header, record));
}

ProtectResult buildProtectedTelegram(const ProtectedSender& sender, const BlockRecord& record, TraceSink& trace) {
  uint8_t app[MAX_DATA_LENGTH];
  const uint8_t* address = sender.meterAddress;
  const uint8_t afl[5] = {CI_PROTECTED, 0x0F, 0x00, 0x2C, 0x25};  // AFLL, FCL, MCL
  std::memcpy(app, afl, sizeof afl);
  putLittleEndian32(app + 5, sender.invocationCounter);
  std::memset(app + AFL_MAC_OFFSET, 0xFF, 8);
  app[AFL_FIXED_LENGTH] = CI_LONG_HEADER;
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
  // A refused layout would leave the record in clear under the placeholder MAC.
  if (telegramEncryptAndMac(trace, app, (uint32_t)length, address + 2, sender.key) == ProtectResult::Refused)
    return ProtectResult::Refused;
  closeLongFrame(app, length);
  return ProtectResult::Protected;
}

void buildSimpleCommand(uint8_t accessNumber, uint8_t command) {
  uint8_t data[MAX_DATA_LENGTH];
  closeLongFrame(data, writeSimpleHeader(data, accessNumber, command));
}

void buildSimpleChunk(uint8_t accessNumber, uint32_t address, const uint8_t* bytes, uint8_t length) {
  uint8_t data[MAX_DATA_LENGTH];
  int n = writeSimpleHeader(data, accessNumber, CMD_WRITE_CHUNK);
  data[n++] = length;
  putLittleEndian32(data + n, address);
  n += 4;
  std::memcpy(data + n, bytes, length);
  closeLongFrame(data, n + length);
}

Answer decodeAnswer(uint8_t* frame, uint16_t length) {
  Answer answer;
  // Frames with L < 3 end before the CI field.
  if (length < 9) return answer;
  answer.ci = frame[ANSWER_CI];
  // Too short to hold the header: no identity rather than its checksum.
  if (answer.ci == CI_ANSWER && length >= MIN_ANSWER_WITH_IDENTITY) answer.identity = frame + ANSWER_IDENTITY;
  if (answer.ci != CI_PROTECTED) return answer;
  uint8_t* part = frame + FRAME_DATA_OFFSET;
  const uint32_t partLength = (uint32_t)(length - 8);
  // The identity follows the TPL CI wherever AFLL puts it; nothing is read
  // from a part that ends before the identity's last byte.
  if (partLength < AFL_COUNTER_OFFSET + 4) return answer;
  const uint32_t identity = aflTplOffset(part) + 1;
  if (identity + IDENTITY_LENGTH > partLength) return answer;
  answer.hasAflCounter = true;
  answer.aflCounter = aflCounter(part);
  answer.identity = part + identity;
  answer.protectedPart = part;
  answer.protectedLength = partLength;
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
