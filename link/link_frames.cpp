#include "link/link_frames.h"

#include <cstring>

uint8_t linkBuffer[LINK_BUFFER_SIZE];
uint16_t linkLength;
uint8_t rxState;
uint8_t rxLengthField;

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
  if (linkLength >= LINK_BUFFER_SIZE) return RxResult::Rejected;
  linkBuffer[linkLength++] = b;
  return RxResult::Pending;
}

RxResult receiveShort(uint8_t b) {
  if (linkLength != 4) return store(b);
  if (b != FRAME_STOP) return RxResult::Rejected;
  linkBuffer[4] = FRAME_STOP;
  linkLength = 5;
  // A bad short frame has no code of its own; the receiver stays on it.
  return linkBuffer[3] == (uint8_t)(linkBuffer[1] + linkBuffer[2]) ? RxResult::ShortOk : RxResult::Rejected;
}

RxResult receiveLong(uint8_t b) {
  const uint16_t end = (uint16_t)(rxLengthField + 5);  // index of the stop byte
  switch (linkLength) {
    case 1:
      linkBuffer[1] = b;
      rxLengthField = b;
      linkLength = 2;
      return RxResult::Pending;
    case 2:
      if (b != rxLengthField) return RxResult::Rejected;
      linkBuffer[2] = b;
      linkLength = 3;
      return RxResult::Pending;
    case 3:
      if (b != FRAME_START_LONG) return RxResult::Rejected;
      linkBuffer[3] = b;
      linkLength = 4;
      return RxResult::Pending;
    default:
      break;
  }
  if (linkLength != end) return store(b);
  if (b != FRAME_STOP) return RxResult::Rejected;
  linkBuffer[end] = FRAME_STOP;
  linkLength = (uint16_t)(end + 1);
  const uint8_t sum = checksum(linkBuffer + 4, rxLengthField);
  return linkBuffer[rxLengthField + 4] == sum ? RxResult::LongOk : RxResult::LongBadChecksum;
}

}  // namespace

void buildLongFrame(uint8_t address, uint8_t control, const uint8_t* data, uint8_t dataLength) {
  const uint8_t l = (uint8_t)(dataLength + 2);
  // The data may already lie in the buffer; move it before the header lands.
  if (dataLength) std::memmove(linkBuffer + 6, data, dataLength);
  linkBuffer[0] = FRAME_START_LONG;
  linkBuffer[1] = l;
  linkBuffer[2] = l;
  linkBuffer[3] = FRAME_START_LONG;
  linkBuffer[4] = control;
  linkBuffer[5] = address;
  linkBuffer[6 + dataLength] = checksum(linkBuffer + 4, dataLength + 2);
  linkBuffer[7 + dataLength] = FRAME_STOP;
  linkLength = (uint16_t)(dataLength + 8);
}

void buildShortFrame(uint8_t address, uint8_t control) {
  linkBuffer[0] = FRAME_START_SHORT;
  linkBuffer[1] = control;
  linkBuffer[2] = address;
  linkBuffer[3] = (uint8_t)(control + address);
  linkBuffer[4] = FRAME_STOP;
  linkLength = 5;
}

void resetReceiver() {
  rxState = RX_IDLE;
  linkLength = 0;
}

RxResult receiveByte(uint8_t b) {
  switch (rxState) {
    case RX_IDLE:
      if (b == FRAME_START_SHORT || b == FRAME_START_LONG) {
        if (store(b) != RxResult::Pending) return RxResult::Rejected;
        rxState = b == FRAME_START_SHORT ? RX_IN_SHORT : RX_IN_LONG;
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

uint8_t* getLinkBuffer(uint16_t& length) {
  length = linkLength;
  return linkBuffer;
}

void resetLinkFrames() {
  std::memset(linkBuffer, 0, sizeof linkBuffer);
  linkLength = 0;
  rxState = RX_UNARMED;
  rxLengthField = 0;
}
