// Frame builders and the byte-by-byte receiver.
#include "link/link_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "tests/support/fakes.h"

namespace {

// Read during static initialisation, before any test touches the receiver.
const uint8_t stateAtStart = rxState;
const uint16_t lengthAtStart = linkLength;

using Bytes = std::vector<uint8_t>;

Bytes feed(const Bytes& bytes) {
  Bytes results;
  for (uint8_t b : bytes) results.push_back(receiveByte(b));
  return results;
}

Bytes pendingThen(size_t pending, uint8_t last) {
  Bytes r(pending, RX_PENDING);
  r.push_back(last);
  return r;
}

Bytes received() {
  uint16_t n = 0;
  const uint8_t* p = getLinkBuffer(n);
  return Bytes(p, p + n);
}

const Bytes kReqUd2{0x10, 0x5B, 0xFB, 0x56, 0x16};

TEST(LinkFrames, ReceiverStartsUnarmedAndRejectsEveryFrameStart) {
  EXPECT_EQ(stateAtStart, RX_UNARMED);
  EXPECT_EQ(lengthAtStart, 0);
  for (uint8_t state : {(uint8_t)RX_UNARMED, (uint8_t)7}) {  // or any value the machine does not know
    rxState = state;
    linkLength = 0;
    EXPECT_EQ(feed({0xE5, 0x10, 0x68, 0x00, 0x16}), Bytes(5, RX_REJECTED));
    EXPECT_EQ(linkLength, 0);
    EXPECT_EQ(rxState, state);
  }
  resetReceiver();
  EXPECT_EQ(receiveByte(0x10), RX_PENDING);
}

TEST(LinkFrames, BuildersMatchTheExamplesAndAreReceivedBack) {
  const uint8_t sndUdData[9] = {0x52};
  const uint8_t payload[] = {0x72, 0xE5, 0x10, 0x68, 0x16, 0x00, 0x04};  // frame bytes inside are data
  const struct {
    const char* name;
    std::function<void()> build;
    Bytes expected;
  } cases[] = {
      {"REQ_UD2", [] { buildShortFrame(0xFB, 0x5B); }, kReqUd2},
      {"SND_NKE", [] { buildShortFrame(0xFB, 0x40); }, {0x10, 0x40, 0xFB, 0x3B, 0x16}},
      {"SND_UD 52 and eight zeros (CS wraps)",
       [&] { buildLongFrame(0xFB, 0x53, sndUdData, 9); },
       {0x68, 0x0B, 0x0B, 0x68, 0x53, 0xFB, 0x52, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x16}},
      {"no data", [] { buildLongFrame(0xFB, 0x53, nullptr, 0); }, {0x68, 0x02, 0x02, 0x68, 0x53, 0xFB, 0x4E, 0x16}},
      {"data taken from the link buffer itself",
       [&] {
         std::copy(payload, payload + sizeof payload, linkBuffer);
         buildLongFrame(0x01, 0x08, linkBuffer, sizeof payload);
       },
       longFrame(0x08, 0x01, Bytes(payload, payload + sizeof payload))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.build();
    const Bytes frame = received();
    EXPECT_EQ(hex(frame), hex(c.expected));
    // The reset arms the receiver but leaves the bytes for the sender to write.
    resetReceiver();
    EXPECT_EQ(linkLength, 0);
    EXPECT_EQ(hex(linkBuffer, frame.size()), hex(frame));
    EXPECT_EQ(feed(frame), pendingThen(frame.size() - 1, frame[0] == 0x10 ? RX_SHORT_OK : RX_LONG_OK));
    EXPECT_EQ(hex(received()), hex(frame));
  }
}

TEST(LinkFrames, LongestFrameFitsTheBuffer) {
  Bytes data(255);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)i;
  buildLongFrame(0x01, 0x02, data.data(), 255);
  EXPECT_EQ(linkLength, 263);  // L = 257 modulo 256 = 1
  EXPECT_EQ(hex(received()), hex(longFrame(0x02, 0x01, data)));
}

// Every row of the state table: the bytes before (results not checked), then
// one byte, its result, and where it leaves the receiver.
TEST(LinkFrames, EveryRowOfTheStateTable) {
  const Bytes longBody{0x68, 0x05, 0x05, 0x68, 0x08, 0x01, 0x72, 0x01, 0x02, 0x7E};  // up to CS
  const auto with = [](Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const struct {
    const char* row;
    Bytes before;
    uint8_t byte;
    uint8_t result, state;
    uint16_t length;
  } rows[] = {
      {"idle, short start", {}, 0x10, RX_PENDING, RX_IN_SHORT, 1},
      {"idle, long start", {}, 0x68, RX_PENDING, RX_IN_LONG, 1},
      {"idle, ack", {}, 0xE5, RX_ACK, RX_IDLE, 0},
      {"idle, zero", {}, 0x00, RX_ZERO, RX_IDLE, 0},
      {"idle, other", {}, 0x16, RX_REJECTED, RX_IDLE, 0},
      {"idle after ack: start at index 0", {0xE5, 0x00}, 0x10, RX_PENDING, RX_IN_SHORT, 1},
      {"short, n != 4", {0x10, 0x5B}, 0xFB, RX_PENDING, RX_IN_SHORT, 3},
      {"short, n = 4, not the stop", {0x10, 0x5B, 0xFB, 0x56}, 0x17, RX_REJECTED, RX_IN_SHORT, 4},
      {"short, stop after wrong stops", {0x10, 0x5B, 0xFB, 0x56, 0x17, 0x00}, 0x16, RX_SHORT_OK, RX_IN_SHORT, 5},
      {"short, stop, wrong checksum", {0x10, 0x5B, 0xFB, 0x57}, 0x16, RX_REJECTED, RX_IN_SHORT, 5},
      {"long, first L", {0x68}, 0x05, RX_PENDING, RX_IN_LONG, 2},
      {"long, second L differs", {0x68, 0x05}, 0x06, RX_REJECTED, RX_IN_LONG, 2},
      {"long, second L after a wrong one", {0x68, 0x05, 0x06}, 0x05, RX_PENDING, RX_IN_LONG, 3},
      {"long, second start missing", {0x68, 0x05, 0x05}, 0x67, RX_REJECTED, RX_IN_LONG, 3},
      {"long, second start", {0x68, 0x05, 0x05, 0x67}, 0x68, RX_PENDING, RX_IN_LONG, 4},
      {"long, ack inside is data", {0x68, 0x05, 0x05, 0x68}, 0xE5, RX_PENDING, RX_IN_LONG, 5},
      {"long, short start inside is data", {0x68, 0x05, 0x05, 0x68, 0x08}, 0x10, RX_PENDING, RX_IN_LONG, 6},
      {"long, not the stop", longBody, 0x17, RX_REJECTED, RX_IN_LONG, 10},
      {"long, stop after wrong stops", with(longBody, {0x17, 0x00}), 0x16, RX_LONG_OK, RX_IN_LONG, 11},
      {"long, stop, wrong checksum", withByte(longBody, 9, 0x7F), 0x16, RX_LONG_BAD_CHECKSUM, RX_IN_LONG, 11},
      {"long, L = 0", {0x68, 0x00, 0x00, 0x68, 0x00}, 0x16, RX_LONG_OK, RX_IN_LONG, 6},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    resetReceiver();
    feed(r.before);
    const uint16_t before = linkLength;
    EXPECT_EQ(receiveByte(r.byte), r.result);
    EXPECT_EQ(rxState, r.state);
    EXPECT_EQ(linkLength, r.length);
    if (linkLength > before) {
      EXPECT_EQ(linkBuffer[linkLength - 1], r.byte);
    }
  }
}

TEST(LinkFrames, CorruptedFramesAreReportedOrStuck) {
  const auto good = longFrame(0x08, 0x01, {0x72, 0x11, 0x22, 0x33});
  // Any byte from C field to CS changed: bad checksum, frame kept for printing.
  for (size_t i = 4; i < good.size() - 1; ++i) {
    const auto bad = withByte(good, i, (uint8_t)(good[i] ^ 0x01));
    resetReceiver();
    EXPECT_EQ(feed(bad), pendingThen(bad.size() - 1, RX_LONG_BAD_CHECKSUM)) << "index " << i;
    EXPECT_EQ(hex(received()), hex(bad));
  }
  // Wrong second L, missing second 0x68, wrong stop byte: stuck, never complete.
  const std::vector<Bytes> stuck{withByte(good, 2, 0x07), withoutByte(good, 3),
                                 withByte(good, good.size() - 1, 0x61)};
  for (const auto& frame : stuck) {
    resetReceiver();
    const auto results = feed(frame);
    EXPECT_EQ(results.back(), RX_REJECTED) << hex(frame);
    EXPECT_EQ(std::count(results.begin(), results.end(), RX_LONG_OK), 0) << hex(frame);
  }
  // A short frame with a changed C or A field is refused at its stop byte.
  for (size_t i = 1; i <= 3; ++i) {
    resetReceiver();
    EXPECT_EQ(feed(withByte(kReqUd2, i, 0x00)), pendingThen(4, RX_REJECTED)) << "index " << i;
  }
}

TEST(LinkFrames, StuckReceiverNeverStoresPastTheBuffer) {
  // A bad short frame: every following byte is one more byte of it, until full.
  resetReceiver();
  EXPECT_EQ(feed(withByte(kReqUd2, 3, 0x57)), pendingThen(4, RX_REJECTED));
  const Bytes more(LINK_BUFFER_SIZE - 5, 0xAB);
  EXPECT_EQ(feed(more), Bytes(more.size(), RX_PENDING));
  EXPECT_EQ(linkLength, LINK_BUFFER_SIZE);
  // Full: refused, nothing stored, state and count unchanged.
  EXPECT_EQ(feed({0x16, 0x10, 0xE5}), Bytes(3, RX_REJECTED));
  EXPECT_EQ(linkLength, LINK_BUFFER_SIZE);
  EXPECT_EQ(rxState, RX_IN_SHORT);
  resetReceiver();
  EXPECT_EQ(feed(kReqUd2), pendingThen(4, RX_SHORT_OK));

  // A complete long frame fed on without a reset.
  const auto frame = longFrame(0x08, 0x01, {0x72});
  resetReceiver();
  feed(frame);
  const auto results = feed(Bytes(400, 0x16));
  EXPECT_EQ(linkLength, LINK_BUFFER_SIZE);
  EXPECT_EQ(std::count(results.begin(), results.end(), RX_PENDING), LINK_BUFFER_SIZE - (long)frame.size());
  EXPECT_EQ(results.back(), RX_REJECTED);
}

}  // namespace
