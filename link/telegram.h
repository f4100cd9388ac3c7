// Every byte of every telegram, both ways. Builders put the data together
// here and hand it to buildLongFrame, which copies it into the link buffer;
// the decoder says what an answer carries. Nothing is sent, printed or stored
// here.
#pragma once
#include <cstdint>

#include "interfaces/trace_sink.h"
#include "security/telegram_protection.h"

constexpr uint8_t LINK_ADDRESS = 0xFB;
constexpr uint8_t C_SND_NKE = 0x40;
constexpr uint8_t C_REQ_UD2 = 0x5B;
constexpr uint8_t C_SND_UD = 0x53;

constexpr uint8_t CI_SHORT_HEADER = 0x5A;
constexpr uint8_t CI_LONG_HEADER = 0x5B;
constexpr uint8_t CI_ANSWER = 0x72;
constexpr uint8_t CI_PROTECTED = CI_AFL;

// Block-protocol commands (record DIF, VIF 0xFD, VIFE 0xF7, command).
enum : uint8_t {
  CMD_SEND_START = 0x30,
  CMD_STATUS_REPORT = 0x31,
  CMD_DATA_BLOCK = 0x32,
  CMD_VALIDATE = 0x33,
  CMD_ACTIVATE = 0x34,
  CMD_BLOCK_STATUS_REPORT = 0x36,
};
// Simple-protocol commands, behind the manufacturer marker 0F 35.
enum : uint8_t { CMD_WRITE_CHUNK = 0x88, CMD_UPGRADE_SIGNATURE = 0x8D, CMD_UPGRADE_START = 0x8E };

constexpr uint8_t BLOCK_SIZE = 128;

// A block-protocol record: a command with its parameters, or a data block
// (number and image bytes). The two report requests carry nothing.
struct BlockRecord {
  uint8_t command;
  const uint8_t* bytes = nullptr;  // parameters, or the block's image bytes
  uint8_t length = 0;
  uint16_t blockNumber = 0;        // CMD_DATA_BLOCK only
};

// What a protected telegram says about its sender, as the stores hold it.
struct ProtectedSender {
  const uint8_t* meterAddress;  // 8 bytes: manufacturer LE, id LSB first, version, device type
  uint32_t invocationCounter;
  uint8_t accessNumber;
  const uint8_t* key;           // 16 bytes
};

void buildSndNke();
void buildReqUd2();
// Parameters of the start command: image length (LE) and the block size.
void startParameters(uint32_t imageLength, uint8_t params[5]);
// Short header with the access number, then the record.
void buildBlockTelegram(uint8_t accessNumber, const BlockRecord& record);
// AFL with the counter and MAC, long header, configuration for security
// mode 7 and the encrypted area 2F 2F + record, 2F to whole blocks; then
// encrypted and authenticated. Refused: no frame was built, nothing may go out.
[[nodiscard]] ProtectResult buildProtectedTelegram(const ProtectedSender& sender, const BlockRecord& record,
                                                   TraceSink& trace);
// Short header, marker 0F 35 and the command; a chunk adds its length, its
// address (LE) and the bytes.
void buildSimpleCommand(uint8_t accessNumber, uint8_t command);
void buildSimpleChunk(uint8_t accessNumber, uint32_t address, const uint8_t* bytes, uint8_t length);

// Where a long answer's header fields lie. Pointers lie inside the frame
// given; the counter record of a CI 0x72 answer is the records' to find.
struct Answer {
  int ci = -1;                        // -1: the frame ends before a CI field
  const uint8_t* identity = nullptr;  // 8 bytes: id LSB first, manufacturer LE, version, device type
  bool hasAflCounter = false;
  uint32_t aflCounter = 0;            // CI 0x90: the AFL's MCR
  uint8_t* protectedPart = nullptr;   // CI 0x90: from the CI to the last data byte
  uint32_t protectedLength = 0;
};
[[nodiscard]] Answer decodeAnswer(uint8_t* frame, uint16_t length);
// Three letters and a NUL; false (nothing written) when the top bit is set.
[[nodiscard]] bool decodeManufacturer(uint16_t code, char text[4]);
