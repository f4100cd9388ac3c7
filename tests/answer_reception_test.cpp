// The receive poll: what each result prints, and what answers put into the
// fields, the counter and the flags.
#include "link/answer_reception.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands/identity_fields.h"
#include "link/link_frames.h"
#include "tests/support/fakes.h"

namespace {

std::string dump(const std::vector<uint8_t>& bytes) {
  std::string s;
  char item[8];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(item, sizeof item, "0x%02X ", bytes[i]);
    s += item;
    if (i % 16 == 15) s += "\n";
  }
  return s + "\n";
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// CI 0x72 answer from meter 12345678, manufacturer ABC, version 01, type 07,
// followed by the given records.
std::vector<uint8_t> answer72(const std::vector<uint8_t>& records, uint8_t manLow = 0x43, uint8_t manHigh = 0x04) {
  std::vector<uint8_t> data{0x72, 0x78, 0x56, 0x34, 0x12, manLow, manHigh, 0x01, 0x07, 0x2A, 0x00, 0x00, 0x00};
  return longFrame(0x08, 0x01, data + records);
}

const std::vector<uint8_t> kCounterRecord{0x04, 0xFD, 0x08, 0x05, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kVolumeRecord{0x04, 0x13, 0x10, 0x27, 0x00, 0x00};

struct AnswerPoll : ::testing::Test {
  Harness h;
  void SetUp() override {
    h.connect();
    resetReceiver();
    answerReceived = 0;
    ackReceived = 0;
    invocationCounter = 0;
  }
  void arrive(const std::vector<uint8_t>& bytes) { h.port->queue(bytes); }
  std::string field(Field f) { return h.fields.fieldText(f); }
};

TEST_F(AnswerPoll, AckThenLongFrameInOneReadSetsBothFlags) {
  const auto frame = longFrame(0x08, 0x01, {0x78, 0x01});
  arrive(std::vector<uint8_t>{0xE5} + frame);
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Answer single byte ACK.\n<<< Answer\n" + dump(frame));
  EXPECT_EQ(ackReceived, 1);
  EXPECT_EQ(answerReceived, 1);
  for (const auto& piece : h.console.pieces()) EXPECT_EQ(piece.style, STYLE_RECEIVED);
  EXPECT_EQ(rxState, RX_IDLE);
  EXPECT_EQ(linkLength, 0);
}

TEST_F(AnswerPoll, StrayByteEndsTheBlockSilently) {
  const auto frame = longFrame(0x08, 0x01, {0x78});
  arrive(frame + std::vector<uint8_t>{0x55, 0xE5});
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Answer\n" + dump(frame));
  EXPECT_EQ(ackReceived, 0);  // the 0xE5 after the stray byte is dropped
  EXPECT_TRUE(h.port->incoming.empty());
}

TEST_F(AnswerPoll, SplitFrameIsPrintedOnceWhenComplete) {
  const auto frame = answer72(kVolumeRecord);
  h.port->readLimit = 10;
  arrive(frame);
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "");
  EXPECT_EQ(answerReceived, 0);
  pollAnswers(h.ctx);
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Answer\n" + dump(frame));
  EXPECT_EQ(answerReceived, 1);
}

TEST_F(AnswerPoll, NothingHappensWithoutConnectionOrBytes) {
  pollAnswers(h.ctx);
  h.link.disconnect();
  arrive({0xE5});
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "");
  EXPECT_EQ(ackReceived, 0);
  EXPECT_EQ(h.port->incoming.size(), 1u);
}

TEST_F(AnswerPoll, UnarmedReceiverPrintsNothing) {
  rxState = RX_UNARMED;
  arrive(std::vector<uint8_t>{0xE5, 0x00} + answer72(kCounterRecord));
  pollAnswers(h.ctx);
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "");
  EXPECT_EQ(ackReceived + answerReceived, 0);
  EXPECT_EQ(field(Field::IdNumber), "01020304");
}

TEST_F(AnswerPoll, ZeroByteDumpsTheWholeReadBlock) {
  const std::vector<uint8_t> block{0xE5, 0x00, 0xE5};
  arrive(block);
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Answer single byte ACK.\n<<< Answer\n" + dump(block) +
                                  "<<< Answer single byte ACK.\n");
}

TEST_F(AnswerPoll, BadChecksumIsReportedWithoutFlag) {
  const auto frame = withByte(longFrame(0x08, 0x01, {0x72, 0x11}), 7, 0x12);
  arrive(frame + std::vector<uint8_t>{0xE5});
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Wrong checksum!\n" + dump(frame) + "<<< Answer single byte ACK.\n");
  EXPECT_EQ(answerReceived, 0);
}

TEST_F(AnswerPoll, ShortFrameIsPrintedWithoutFlag) {
  const std::vector<uint8_t> frame{0x10, 0x5B, 0xFB, 0x56, 0x16};
  arrive(frame);
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Answer\n" + dump(frame));
  EXPECT_EQ(answerReceived + ackReceived, 0);
  // A bad short frame is not reported at all, and sticks until a reset.
  arrive(withByte(frame, 3, 0x00) + std::vector<uint8_t>{0xE5});
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Answer\n" + dump(frame));
}

TEST_F(AnswerPoll, IdentityAndCounterRecordGoIntoTheFields) {
  arrive(answer72(kVolumeRecord + kCounterRecord));
  pollAnswers(h.ctx);
  EXPECT_EQ(field(Field::Manufacturer), "ABC");
  EXPECT_EQ(field(Field::IdNumber), "12345678");
  EXPECT_EQ(field(Field::Version), "01");
  EXPECT_EQ(field(Field::DeviceType), "07");
  EXPECT_EQ(field(Field::Counter), "00000006");
  EXPECT_EQ(invocationCounter, 6u);
  const std::string tail = "Message counter found: 6\n";
  ASSERT_GE(h.console.text().size(), tail.size());
  EXPECT_EQ(h.console.text().substr(h.console.text().size() - tail.size()), tail);
  EXPECT_EQ(h.console.pieces().back().style, STYLE_RECEIVED);
  EXPECT_EQ(answerReceived, 1);
}

TEST_F(AnswerPoll, CounterIsPrintedSignedAndWraps) {
  arrive(answer72({0x04, 0xFD, 0x08, 0xFF, 0xFF, 0xFF, 0x7F}) + answer72({0x04, 0xFD, 0x08, 0xFF, 0xFF, 0xFF, 0xFF}));
  pollAnswers(h.ctx);
  EXPECT_NE(h.console.text().find("Message counter found: -2147483648\n"), std::string::npos);
  EXPECT_NE(h.console.text().find("Message counter found: 0\n"), std::string::npos);
  EXPECT_EQ(field(Field::Counter), "00000000");
}

TEST_F(AnswerPoll, AnswerWithoutCounterRecordAddsFour) {
  invocationCounter = 0xFFFFFFFE;
  arrive(answer72(kVolumeRecord));
  pollAnswers(h.ctx);
  EXPECT_EQ(invocationCounter, 2u);
  EXPECT_EQ(field(Field::Counter), "00000002");
  EXPECT_EQ(h.console.text().find("Message counter"), std::string::npos);
}

TEST_F(AnswerPoll, CounterRecordMustEndInsideTheData) {
  // The record's value as the very last data bytes: found.
  arrive(answer72({0x04, 0xFD, 0x08, 0x09, 0x00, 0x00, 0x00}));
  pollAnswers(h.ctx);
  EXPECT_EQ(field(Field::Counter), "0000000A");
  // Value cut short by the checksum: no record, +4.
  for (size_t cut = 1; cut <= 4; ++cut) {
    invocationCounter = 0x10;
    std::vector<uint8_t> record{0x04, 0xFD, 0x08, 0x09, 0x00, 0x00, 0x00};
    record.resize(record.size() - cut);
    arrive(answer72(record));
    pollAnswers(h.ctx);
    EXPECT_EQ(invocationCounter, 0x14u) << "cut " << cut;
  }
}

TEST_F(AnswerPoll, FindCounterRecordSearchesTheWholeLength) {
  const std::vector<uint8_t> f{0x00, 0x04, 0xFD, 0x08, 0x04, 0xFD, 0x08, 0x01};
  EXPECT_EQ(findCounterRecord(f.data(), 8), 1);      // the first of two
  EXPECT_EQ(findCounterRecord(f.data() + 1, 7), 0);  // at index 0: same as not found
  // The bound i < length - 3: a record at length - 4 is found, at length - 3 not.
  EXPECT_EQ(findCounterRecord(f.data() + 2, 6), 2);
  EXPECT_EQ(findCounterRecord(f.data() + 2, 5), 0);
  EXPECT_EQ(findCounterRecord(f.data(), 3), 0);
  EXPECT_EQ(findCounterRecord(f.data(), 0), 0);
}

TEST_F(AnswerPoll, ManufacturerCodesToLetters) {
  char text[4] = {'x', 'y', 'z', 'w'};
  decodeManufacturer(0x0443, text);
  EXPECT_STREQ(text, "ABC");
  decodeManufacturer(0x6B5A, text);  // 26, 26, 26
  EXPECT_STREQ(text, "ZZZ");
  decodeManufacturer(0x0000, text);
  EXPECT_STREQ(text, "@@@");
  char untouched[4] = {'x', 'y', 'z', 'w'};
  decodeManufacturer(0x8000, untouched);
  decodeManufacturer(0xFFFF, untouched);
  EXPECT_EQ(std::string(untouched, 4), "xyzw");
}

TEST_F(AnswerPoll, ManufacturerWithTopBitLeavesFieldAsItWas) {
  arrive(answer72(kVolumeRecord, 0x00, 0x80));
  pollAnswers(h.ctx);
  EXPECT_EQ(field(Field::Manufacturer), "BRV");
  EXPECT_EQ(field(Field::IdNumber), "12345678");
  EXPECT_EQ(answerReceived, 1);
}

TEST_F(AnswerPoll, AnswerTooShortForItsHeaderLeavesIdentity) {
  // CI 0x72 with only part of the header; 7 + 7 data bytes would overlap CS.
  for (size_t n = 0; n <= 7; ++n) {
    std::vector<uint8_t> data{0x72, 0x11, 0x22, 0x33, 0x44, 0x43, 0x04, 0x01};
    data.resize(1 + n);
    invocationCounter = 0;
    arrive(longFrame(0x08, 0x01, data));
    pollAnswers(h.ctx);
    EXPECT_EQ(field(Field::IdNumber), "01020304") << "header bytes " << n;
    EXPECT_EQ(field(Field::Version), "40");
    EXPECT_EQ(invocationCounter, 4u);
    EXPECT_EQ(answerReceived, 1);
  }
}

TEST_F(AnswerPoll, FramesWithoutCiOrOtherCiOnlySetTheFlag) {
  const std::vector<std::vector<uint8_t>> frames{
      {0x68, 0x00, 0x00, 0x68, 0x00, 0x16}, longFrame(0x08, 0x01, {}), longFrame(0x08, 0x01, {0x78, 0x04, 0xFD, 0x08, 1, 2, 3, 4})};
  for (const auto& frame : frames) {
    answerReceived = 0;
    linkBuffer[6] = 0x72;  // stale bytes past a short frame are not its CI
    arrive(frame);
    pollAnswers(h.ctx);
    EXPECT_EQ(answerReceived, 1) << hex(frame);
  }
  EXPECT_EQ(invocationCounter, 0u);
  EXPECT_EQ(field(Field::Counter), "00000001");
}

TEST_F(AnswerPoll, ProtectedAnswerIsHandedOnAndFlagged) {
  const auto frame = longFrame(0x08, 0x01, {0x90, 0x0F, 0x00, 0x2C});
  arrive(frame);
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Answer\n" + dump(frame) + "Protected answer too short.\nDecrypt Error.\n");
  EXPECT_EQ(answerReceived, 1);
}

TEST_F(AnswerPoll, LostPortEndsThePollQuietly) {
  arrive({0xE5});
  h.port->lost = true;
  pollAnswers(h.ctx);
  EXPECT_EQ(ackReceived, 0);
  EXPECT_FALSE(h.link.connected());
}

}  // namespace
