// Frame builders and the byte-by-byte receiver.
#include "link/link_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/fakes.h"

namespace {

// Read during static initialisation, before any test touches the receiver.
const uint8_t stateAtStart = rxState;
const uint16_t lengthAtStart = linkLength;

std::vector<uint8_t> feed(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> results;
  for (uint8_t b : bytes) results.push_back(receiveByte(b));
  return results;
}

std::vector<uint8_t> pendingThen(size_t pending, uint8_t last) {
  std::vector<uint8_t> r(pending, RX_PENDING);
  r.push_back(last);
  return r;
}

std::vector<uint8_t> received() {
  uint16_t n = 0;
  const uint8_t* p = getLinkBuffer(n);
  return std::vector<uint8_t>(p, p + n);
}

const std::vector<uint8_t> kReqUd2{0x10, 0x5B, 0xFB, 0x56, 0x16};
const std::vector<uint8_t> kSndNke{0x10, 0x40, 0xFB, 0x3B, 0x16};
// SND_UD to 0xFB with CI 0x52 and eight zero bytes.
const std::vector<uint8_t> kSndUd{0x68, 0x0B, 0x0B, 0x68, 0x53, 0xFB, 0x52, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x16};

TEST(LinkFrames, ReceiverStartsUnarmedAndRejectsEveryFrameStart) {
  EXPECT_EQ(stateAtStart, RX_UNARMED);
  EXPECT_EQ(lengthAtStart, 0);
  rxState = RX_UNARMED;
  linkLength = 0;
  EXPECT_EQ(feed({0xE5, 0x10, 0x68, 0x00, 0x16}), std::vector<uint8_t>(5, RX_REJECTED));
  EXPECT_EQ(linkLength, 0);
  // Any state value the machine does not know behaves the same.
  rxState = 7;
  EXPECT_EQ(receiveByte(0x10), RX_REJECTED);
  EXPECT_EQ(rxState, 7);
  resetReceiver();
  EXPECT_EQ(rxState, RX_IDLE);
  EXPECT_EQ(receiveByte(0x10), RX_PENDING);
}

TEST(LinkFrames, ShortFrameBuilderMatchesTheLinkRequests) {
  buildShortFrame(0xFB, 0x5B);
  EXPECT_EQ(hex(received()), hex(kReqUd2));
  EXPECT_EQ(linkLength, 5);
  buildShortFrame(0xFB, 0x40);
  EXPECT_EQ(hex(received()), hex(kSndNke));
  // Checksum wraps modulo 256, no carry or complement.
  buildShortFrame(0xFF, 0xFF);
  EXPECT_EQ(linkBuffer[3], 0xFE);
}

TEST(LinkFrames, LongFrameBuilderLaysOutHeaderDataChecksumAndStop) {
  const uint8_t data[9] = {0x52};
  buildLongFrame(0xFB, 0x53, data, 9);
  EXPECT_EQ(hex(received()), hex(kSndUd));
  EXPECT_EQ(linkLength, 17);

  buildLongFrame(0xFB, 0x53, nullptr, 0);
  EXPECT_EQ(hex(received()), hex({0x68, 0x02, 0x02, 0x68, 0x53, 0xFB, 0x4E, 0x16}));
}

TEST(LinkFrames, LongestFrameFitsTheBuffer) {
  std::vector<uint8_t> data(255);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)i;
  buildLongFrame(0x01, 0x02, data.data(), 255);
  EXPECT_EQ(linkLength, 263);
  EXPECT_EQ(linkBuffer[1], 0x01);  // L = 257 modulo 256
  EXPECT_EQ(linkBuffer[262], 0x16);
  uint8_t cs = 0x03;
  for (uint8_t b : data) cs = (uint8_t)(cs + b);
  EXPECT_EQ(linkBuffer[261], cs);
}

TEST(LinkFrames, BuilderTakesDataFromTheBufferItself) {
  uint8_t data[9] = {0x52};
  std::copy(data, data + 9, linkBuffer);
  buildLongFrame(0xFB, 0x53, linkBuffer, 9);
  EXPECT_EQ(hex(received()), hex(kSndUd));
}

TEST(LinkFrames, BuiltFramesAreReceivedBack) {
  const uint8_t payload[] = {0x72, 0xE5, 0x10, 0x68, 0x16, 0x00, 0x04};
  for (int kind = 0; kind < 3; ++kind) {
    if (kind == 0) buildShortFrame(0xFB, 0x5B);
    if (kind == 1) buildLongFrame(0x01, 0x08, payload, sizeof payload);
    if (kind == 2) buildLongFrame(0xFB, 0x53, nullptr, 0);
    const std::vector<uint8_t> frame = received();
    resetReceiver();
    const uint8_t ok = kind == 0 ? RX_SHORT_OK : RX_LONG_OK;
    EXPECT_EQ(feed(frame), pendingThen(frame.size() - 1, ok)) << "kind " << kind;
    EXPECT_EQ(hex(received()), hex(frame));
  }
}

TEST(LinkFrames, IdleReceiverReportsAckAndZeroWithoutStoring) {
  resetReceiver();
  EXPECT_EQ(receiveByte(0xE5), RX_ACK);
  EXPECT_EQ(receiveByte(0x00), RX_ZERO);
  EXPECT_EQ(receiveByte(0x55), RX_REJECTED);
  EXPECT_EQ(receiveByte(0x16), RX_REJECTED);
  EXPECT_EQ(rxState, RX_IDLE);
  EXPECT_EQ(linkLength, 0);
  // The next frame start still lands at index 0.
  EXPECT_EQ(feed(kReqUd2), pendingThen(4, RX_SHORT_OK));
  EXPECT_EQ(hex(received()), hex(kReqUd2));
}

TEST(LinkFrames, ResetKeepsTheBytesButEmptiesTheCount) {
  buildShortFrame(0xFB, 0x5B);
  resetReceiver();
  EXPECT_EQ(linkLength, 0);
  EXPECT_EQ(hex(linkBuffer, 5), hex(kReqUd2));
}

TEST(LinkFrames, LongFrameWithZeroLengthIsComplete) {
  resetReceiver();
  EXPECT_EQ(feed({0x68, 0x00, 0x00, 0x68, 0x00, 0x16}), pendingThen(5, RX_LONG_OK));
  EXPECT_EQ(linkLength, 6);
}

TEST(LinkFrames, AckAndShortStartInsideLongFrameAreData) {
  const auto frame = longFrame(0x08, 0x01, {0x72, 0xE5, 0x10, 0x00, 0x68});
  resetReceiver();
  EXPECT_EQ(feed(frame), pendingThen(frame.size() - 1, RX_LONG_OK));
}

TEST(LinkFrames, ShortFrameStopByteIsAwaited) {
  resetReceiver();
  EXPECT_EQ(feed({0x10, 0x5B, 0xFB, 0x56, 0x17, 0x00}), std::vector<uint8_t>({1, 1, 1, 1, 0, 0}));
  EXPECT_EQ(linkLength, 4);
  EXPECT_EQ(receiveByte(0x16), RX_SHORT_OK);
}

TEST(LinkFrames, LongFrameWaitsForMatchingSecondLengthAndStart) {
  const auto frame = longFrame(0x08, 0x01, {0x72, 0x01, 0x02});  // L = 5
  resetReceiver();
  EXPECT_EQ(feed({0x68, 0x05, 0x06}), std::vector<uint8_t>({1, 1, 0}));
  EXPECT_EQ(linkLength, 2);
  EXPECT_EQ(feed({0x05, 0x67, 0x00}), std::vector<uint8_t>({1, 0, 0}));
  EXPECT_EQ(linkLength, 3);
  EXPECT_EQ(feed(std::vector<uint8_t>(frame.begin() + 3, frame.end())), pendingThen(frame.size() - 4, RX_LONG_OK));
  EXPECT_EQ(hex(received()), hex(frame));
}

TEST(LinkFrames, LongFrameStopByteIsAwaited) {
  auto frame = longFrame(0x08, 0x01, {0x72, 0x01});
  resetReceiver();
  frame.back() = 0x17;
  EXPECT_EQ(feed(frame), pendingThen(frame.size() - 1, RX_REJECTED));
  EXPECT_EQ(receiveByte(0x00), RX_REJECTED);
  EXPECT_EQ(receiveByte(0x16), RX_LONG_OK);
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
  const std::vector<std::vector<uint8_t>> stuck{withByte(good, 2, 0x07), withoutByte(good, 3),
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

TEST(LinkFrames, BadShortFrameStoresOnUntilFullAndNeverBeyond) {
  resetReceiver();
  EXPECT_EQ(feed(withByte(kReqUd2, 3, 0x57)), pendingThen(4, RX_REJECTED));
  EXPECT_EQ(rxState, RX_IN_SHORT);
  EXPECT_EQ(linkLength, 5);
  // Stuck on that frame: every byte is stored as one more byte of it.
  std::vector<uint8_t> more(LINK_BUFFER_SIZE - 5, 0xAB);
  EXPECT_EQ(feed(more), std::vector<uint8_t>(more.size(), RX_PENDING));
  EXPECT_EQ(linkLength, LINK_BUFFER_SIZE);
  // Full: refused, nothing stored, state and count unchanged.
  EXPECT_EQ(feed({0x16, 0x10, 0xE5}), std::vector<uint8_t>(3, RX_REJECTED));
  EXPECT_EQ(linkLength, LINK_BUFFER_SIZE);
  EXPECT_EQ(rxState, RX_IN_SHORT);
  resetReceiver();
  EXPECT_EQ(feed(kReqUd2), pendingThen(4, RX_SHORT_OK));
}

TEST(LinkFrames, CompleteFrameFedOnWithoutResetStaysInsideBuffer) {
  const auto frame = longFrame(0x08, 0x01, {0x72});
  resetReceiver();
  feed(frame);
  const auto results = feed(std::vector<uint8_t>(400, 0x16));
  EXPECT_EQ(linkLength, LINK_BUFFER_SIZE);
  EXPECT_EQ(std::count(results.begin(), results.end(), RX_PENDING), LINK_BUFFER_SIZE - (long)frame.size());
  EXPECT_EQ(results.back(), RX_REJECTED);
}

}  // namespace
