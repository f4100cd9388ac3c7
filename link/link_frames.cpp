#include "link/link_frames.h"

#include <cstring>

namespace {

// The stores themselves; everyone else sees them through the const views.
uint8_t frame[LINK_BUFFER_SIZE];
uint16_t frameLength;
uint8_t state;
uint8_t lengthField;

}  // namespace

const uint8_t (&linkBuffer)[LINK_BUFFER_SIZE] = frame;
const uint16_t& linkLength = frameLength;
const uint8_t& rxState = state;
const uint8_t& rxLengthField = lengthField;

namespace {

uint8_t checksum(const uint8_t* bytes, int count) {
  uint8_t sum = 0;
  for (int i = 0; i < count; ++i) sum = (uint8_t)(sum + bytes[i]);
  return sum;
}

// Every byte the receiver keeps goes through here. A byte that finds the
// buffer full is not stored and reported as rejected, which leaves state and
// count as they were; only a receiver stuck after a bad short frame or fed on
// past a complete frame without a reset can get there.
RxResult store(uint8_t b) {
  if (frameLength >= LINK_BUFFER_SIZE) return RxResult::Rejected;
  frame[frameLength++] = b;
  return RxResult::Pending;
}

RxResult receiveShort(uint8_t b) {
  if (frameLength != 4) return store(b);
  if (b != FRAME_STOP) return RxResult::Rejected;
  frame[4] = FRAME_STOP;
  frameLength = 5;
  // A bad short frame has no code of its own; the receiver stays on it.
  return frame[3] == (uint8_t)(frame[1] + frame[2]) ? RxResult::ShortOk : RxResult::Rejected;
}

RxResult receiveLong(uint8_t b) {
  const uint16_t end = (uint16_t)(lengthField + 5);  // index of the stop byte
  switch (frameLength) {
    case 1:
      frame[1] = b;
      lengthField = b;
      frameLength = 2;
      return RxResult::Pending;
    case 2:
      if (b != lengthField) return RxResult::Rejected;
      frame[2] = b;
      frameLength = 3;
      return RxResult::Pending;
    case 3:
      if (b != FRAME_START_LONG) return RxResult::Rejected;
      frame[3] = b;
      frameLength = 4;
      return RxResult::Pending;
    default:
      break;
  }
  if (frameLength != end) return store(b);
  if (b != FRAME_STOP) return RxResult::Rejected;
  frame[end] = FRAME_STOP;
  frameLength = (uint16_t)(end + 1);
  const uint8_t sum = checksum(frame + 4, lengthField);
  return frame[lengthField + 4] == sum ? RxResult::LongOk : RxResult::LongBadChecksum;
}

}  // namespace

void buildLongFrame(uint8_t address, uint8_t control, const uint8_t* data, uint8_t dataLength) {
  const uint8_t l = (uint8_t)(dataLength + 2);
  // The data may already lie in the buffer; move it before the header lands.
  if (dataLength) std::memmove(frame + 6, data, dataLength);
  frame[0] = FRAME_START_LONG;
  frame[1] = l;
  frame[2] = l;
  frame[3] = FRAME_START_LONG;
  frame[4] = control;
  frame[5] = address;
  frame[6 + dataLength] = checksum(frame + 4, dataLength + 2);
  frame[7 + dataLength] = FRAME_STOP;
  frameLength = (uint16_t)(dataLength + 8);
}

void buildShortFrame(uint8_t address, uint8_t control) {
  frame[0] = FRAME_START_SHORT;
  frame[1] = control;
  frame[2] = address;
  frame[3] = (uint8_t)(control + address);
  frame[4] = FRAME_STOP;
  frameLength = 5;
}

void resetReceiver() {
  state = RX_IDLE;
  frameLength = 0;
}

RxResult receiveByte(uint8_t b) {
  switch (state) {
    case RX_IDLE:
      if (b == FRAME_START_SHORT || b == FRAME_START_LONG) {
        if (store(b) != RxResult::Pending) return RxResult::Rejected;
        state = b == FRAME_START_SHORT ? RX_IN_SHORT : RX_IN_LONG;
        return RxResult::Pending;
      }
      if (b == FRAME_ACK) return RxResult::Ack;
      if (b == 0x00) return RxResult::Zero;
      return RxResult::Rejected;
    case RX_IN_SHORT:
      return receiveShort(b);
    case RX_IN_LONG:
      return receiveLong(b);
    default:  // not armed by any sender yet
      return RxResult::Rejected;
  }
}

const uint8_t* getLinkBuffer(uint16_t& length) {
  length = frameLength;
  return frame;
}

BuiltFrame takeBuiltFrame() {
  const BuiltFrame built{frame, frameLength};
  resetReceiver();
  return built;
}

void resetLinkFrames() {
  std::memset(frame, 0, sizeof frame);
  frameLength = 0;
  state = RX_UNARMED;
  lengthField = 0;
}
