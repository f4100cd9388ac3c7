// Hostile bytes on the serial line. Two ways in:
//  - through the receive poll, with the arrivals cut into reads of sizes the
//    input chooses, so frames straddle polls and rejected bytes drop the rest;
//  - straight into receiveByte, checked step by step against a model of the
//    receive state machine written from the frame rules.
//
// Input: byte 0 flags, then (flags >> 5) read sizes, then the line bytes.
//   bit 0: arm the receiver first (else it starts unarmed)
//   bit 1: leave the port unconnected
//   bit 2: reset the receiver before every poll, as a sender would
//   bit 3: feed receiveByte directly instead of polling
//   bit 4: the device vanishes after the last read
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/shell/log_file.h"
#include "commands/identity_fields.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"
#include "tests/fuzz/invariant.h"
#include "tests/fuzz/reference_crypto.h"
#include "tests/support/fakes.h"

namespace {

void checkReceiver() {
  check(linkLength <= LINK_BUFFER_SIZE, "linkLength <= 264");
  check(rxState <= RX_IN_LONG, "rxState in range");
}

// The receive state machine as the frame rules state it, one row at a time.
struct ModelReceiver {
  uint8_t buffer[LINK_BUFFER_SIZE] = {};
  uint16_t n = 0;
  uint8_t state = RX_UNARMED;
  uint8_t lengthField = 0;
  bool bufferFull = false;  // the last byte found no room: its result is free

  void reset() {
    state = RX_IDLE;
    n = 0;
  }
  uint8_t store(uint8_t b) {
    if (n >= LINK_BUFFER_SIZE) {
      bufferFull = true;
      return RX_REJECTED;
    }
    buffer[n++] = b;
    return RX_PENDING;
  }
  uint8_t step(uint8_t b) {
    bufferFull = false;
    switch (state) {
      case RX_IDLE:
        if (b == 0x10 || b == 0x68) {
          if (store(b) != RX_PENDING) return RX_REJECTED;
          state = b == 0x10 ? RX_IN_SHORT : RX_IN_LONG;
          return RX_PENDING;
        }
        if (b == 0xE5) return RX_ACK;
        if (b == 0x00) return RX_ZERO;
        return RX_REJECTED;
      case RX_IN_SHORT:
        if (n != 4) return store(b);
        if (b != 0x16) return RX_REJECTED;
        buffer[4] = 0x16;
        n = 5;
        return buffer[3] == (uint8_t)(buffer[1] + buffer[2]) ? RX_SHORT_OK : RX_REJECTED;
      case RX_IN_LONG: {
        if (n == 1) {
          buffer[1] = lengthField = b;
          n = 2;
          return RX_PENDING;
        }
        if (n == 2) {
          if (b != lengthField) return RX_REJECTED;
          buffer[2] = b;
          n = 3;
          return RX_PENDING;
        }
        if (n == 3) {
          if (b != 0x68) return RX_REJECTED;
          buffer[3] = b;
          n = 4;
          return RX_PENDING;
        }
        const int end = lengthField + 5;
        if (n != end) return store(b);
        if (b != 0x16) return RX_REJECTED;
        buffer[end] = 0x16;
        n = (uint16_t)(end + 1);
        uint8_t sum = 0;
        for (int i = 4; i < lengthField + 4; ++i) sum = (uint8_t)(sum + buffer[i]);
        return buffer[lengthField + 4] == sum ? RX_LONG_OK : RX_LONG_BAD_CHECKSUM;
      }
      default:
        return RX_REJECTED;
    }
  }
};

void feedDirect(const uint8_t* bytes, size_t size, bool armed, bool resetAfterResults) {
  ModelReceiver model;
  if (armed) {
    resetReceiver();
    model.reset();
  }
  for (size_t i = 0; i < size; ++i) {
    const uint8_t got = receiveByte(bytes[i]);
    const uint8_t want = model.step(bytes[i]);
    checkReceiver();
    check(got <= RX_LONG_BAD_CHECKSUM, "result code in range");
    if (!model.bufferFull) check(got == want, "result code as the frame rules give it");
    check(rxState == model.state, "state as the frame rules give it");
    check(linkLength == model.n, "count as the frame rules give it");
    check(std::memcmp(linkBuffer, model.buffer, model.n) == 0, "stored bytes as received");
    if (model.state == RX_IN_LONG && model.n >= 2) check(rxLengthField == model.lengthField, "first L kept");
    uint16_t length = 0;
    check(getLinkBuffer(length) == linkBuffer && length == linkLength, "getLinkBuffer gives buffer and count");
    if (resetAfterResults && got != RX_PENDING && got != RX_REJECTED) {
      resetReceiver();
      model.reset();
    }
  }
}

// Reads every piece the tool prints (so a bad length shows up under ASan)
// and keeps nothing: storing it all would cost more than the poll itself.
class ReadingConsole : public ConsoleView {
 public:
  void appendStyledText(const char* text, int length, int style) override {
    check(length >= 0 && style >= STYLE_SENT && style <= STYLE_PROGRESS, "console piece is sane");
    for (int i = 0; i < length; ++i) sum += (uint8_t)text[i];
  }
  void scrollToEnd() override {}
  unsigned sum = 0;
};

// One set of fakes for the whole run; each input starts it afresh.
struct Rig {
  ReadingConsole console;
  Output out{&console};
  FakeFields fields;
  FakeSerialPort* port = new FakeSerialPort;  // owned by link
  Connection link{std::unique_ptr<SerialPort>(port), out, fields};
  CountingPump pump;
  ToolContext ctx{out, fields, link, pump, nullptr};
};
Rig* rig;

void feedPoll(const uint8_t* bytes, size_t size, const std::vector<int>& reads, uint8_t flags) {
  Rig& h = *rig;
  h.link.disconnect();
  h.port->lost = false;
  h.port->incoming.clear();
  h.port->written.clear();
  h.fields = FakeFields();
  if (!(flags & 2)) h.link.connect("/dev/ttyFAKE0", 1);
  h.port->queue(std::vector<uint8_t>(bytes, bytes + size));
  if (flags & 1) resetReceiver();
  size_t polls = 0;
  // Every poll of a connected port takes at least one byte; the bound only
  // matters for an unconnected one.
  while (!h.port->incoming.empty() && polls <= size) {
    h.port->readLimit = reads.empty() ? 256 : reads[polls % reads.size()];
    if (flags & 4) resetReceiver();
    pollAnswers(h.ctx);
    ++polls;
    checkReceiver();
    check(answerReceived <= 1 && ackReceived <= 1, "answer flags are 0 or 1");
  }
  if (flags & 16) {
    h.port->lost = true;
    pollAnswers(h.ctx);
    check(!h.link.connected(), "a vanished device disconnects");
    pollAnswers(h.ctx);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A real, fully buffered log keeps the trace code on its writing path
  // without a system call per byte.
  logFile = std::fopen("/dev/null", "w");
  rig = new Rig;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  const size_t readCount = flags >> 5;
  if (size < 1 + readCount) return 0;
  std::vector<int> reads;
  for (size_t i = 0; i < readCount; ++i) reads.push_back(data[1 + i] ? data[1 + i] : 256);
  const uint8_t* line = data + 1 + readCount;
  const size_t lineSize = size - 1 - readCount;

  // Every run starts from the state of a freshly started tool with the
  // window's default identity read into the stores.
  std::memset(linkBuffer, 0, sizeof linkBuffer);
  linkLength = 0;
  rxState = RX_UNARMED;
  rxLengthField = 0;
  answerReceived = ackReceived = 0;
  invocationCounter = 0;
  std::memcpy(communicationKey, ref::kKey, 16);
  std::memcpy(meterIdBytes, ref::kMeterId, 4);

  if (flags & 8)
    feedDirect(line, lineSize, flags & 1, flags & 4);
  else
    feedPoll(line, lineSize, reads, flags);
  return 0;
}
