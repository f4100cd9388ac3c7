// M-Bus link frames: one shared buffer for the frame being sent or received,
// two builders, and a receiver fed one byte at a time (no I/O inside). Only
// this unit writes the buffer: a telegram is built elsewhere and copied in by
// buildLongFrame, and a received frame is read through a const view.
#pragma once
#include <cstdint>

constexpr uint8_t FRAME_START_LONG = 0x68;
constexpr uint8_t FRAME_START_SHORT = 0x10;
constexpr uint8_t FRAME_STOP = 0x16;
constexpr uint8_t FRAME_ACK = 0xE5;
constexpr int LINK_BUFFER_SIZE = 264;
constexpr int FRAME_DATA_OFFSET = 6;  // a long frame's data (CI field on) begins here

// Result codes of receiveByte.
enum class RxResult : uint8_t {
  Rejected = 0,
  Pending = 1,
  Zero = 2,
  ShortOk = 3,
  LongOk = 4,
  Ack = 5,
  LongBadChecksum = 6,
};

// Receiver states.
enum : uint8_t { RX_UNARMED = 0, RX_IDLE = 1, RX_IN_SHORT = 2, RX_IN_LONG = 3 };

// Read-only views: the builders and the receiver below are their only writers.
extern const uint8_t (&linkBuffer)[LINK_BUFFER_SIZE];
extern const uint16_t& linkLength;
extern const uint8_t& rxState;
extern const uint8_t& rxLengthField;

void buildLongFrame(uint8_t address, uint8_t control, const uint8_t* data, uint8_t dataLength);
void buildShortFrame(uint8_t address, uint8_t control);
void resetReceiver();
[[nodiscard]] RxResult receiveByte(uint8_t b);
const uint8_t* getLinkBuffer(uint16_t& length);

// The frame just built, with the receiver armed for its answer: the length is
// taken before the reset clears it. The bytes stay until an answer's first
// byte is stored.
struct BuiltFrame {
  const uint8_t* bytes;
  uint16_t length;
};
[[nodiscard]] BuiltFrame takeBuiltFrame();
// Back to the start state: empty buffer, receiver not armed.
void resetLinkFrames();
