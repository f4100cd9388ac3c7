// The receive poll: what each result prints, and what answers put into the
// fields, the counter and the flags.
#include "link/answer_reception.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/identity_fields.h"
#include "link/link_frames.h"
#include "tests/support/fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// CI 0x72 answer from meter 12345678, manufacturer ABC, version 01, type 07,
// followed by the given records.
Bytes answer72(const Bytes& records, uint8_t manLow = 0x43, uint8_t manHigh = 0x04) {
  const Bytes header{0x72, 0x78, 0x56, 0x34, 0x12, manLow, manHigh, 0x01, 0x07, 0x2A, 0x00, 0x00, 0x00};
  return longFrame(0x08, 0x01, header + records);
}

const Bytes kVolumeRecord{0x04, 0x13, 0x10, 0x27, 0x00, 0x00};
const Bytes kAck{0xE5};
const std::string kAckLine = "<<< Answer single byte ACK.\n";

struct AnswerPoll : ::testing::Test {
  Harness h;
  void SetUp() override {
    h.connect();
    fresh();
  }
  void fresh() {
    resetReceiver();
    answerReceived = 0;
    ackReceived = 0;
    invocationCounter = 0;
  }
  void poll(const Bytes& arrival) {
    h.port->queue(arrival);
    pollAnswers(h.ctx);
  }
  std::string field(Field f) { return h.fields.fieldText(f); }
};

TEST_F(AnswerPoll, EachResultPrintsItsLinesAndFlags) {
  const auto frame = longFrame(0x08, 0x01, {0x78, 0x01});
  const auto badSum = withByte(longFrame(0x08, 0x01, {0x72, 0x11}), 7, 0x12);
  const Bytes shortFrame{0x10, 0x5B, 0xFB, 0x56, 0x16};
  const Bytes zeroBlock{0xE5, 0x00, 0xE5};
  const struct {
    const char* name;
    Bytes arrival;
    std::string console;
    int ack, answer;
  } cases[] = {
      // A trailing ACK shows the receiver was reset after the frame.
      {"ack, long frame, ack", kAck + frame + kAck, kAckLine + "<<< Answer\n" + consoleDump(frame) + kAckLine, 1, 1},
      {"stray byte ends the block", frame + Bytes{0x55} + kAck, "<<< Answer\n" + consoleDump(frame), 0, 1},
      {"zero dumps the whole block", zeroBlock, kAckLine + "<<< Answer\n" + consoleDump(zeroBlock) + kAckLine, 1, 0},
      {"bad checksum", badSum + kAck, "<<< Wrong checksum!\n" + consoleDump(badSum) + kAckLine, 1, 0},
      {"short frame", shortFrame + kAck, "<<< Answer\n" + consoleDump(shortFrame) + kAckLine, 1, 0},
      // Not reported at all, and stuck: the ACK after it is taken as its data.
      {"short frame, bad checksum", withByte(shortFrame, 3, 0x00) + kAck, "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    h.console.clear();
    poll(c.arrival);
    EXPECT_EQ(h.console.text(), c.console);
    EXPECT_EQ(ackReceived, c.ack);
    EXPECT_EQ(answerReceived, c.answer);
    EXPECT_TRUE(h.port->incoming.empty());
    for (const auto& piece : h.console.pieces()) EXPECT_EQ(piece.style, STYLE_RECEIVED) << piece.text;
  }
}

TEST_F(AnswerPoll, SplitFrameIsPrintedOnceWhenComplete) {
  const auto frame = answer72(kVolumeRecord);
  h.port->readLimit = 10;
  poll(frame);
  EXPECT_EQ(h.console.text(), "");
  EXPECT_EQ(answerReceived, 0);
  pollAnswers(h.ctx);
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "<<< Answer\n" + consoleDump(frame));
  EXPECT_EQ(answerReceived, 1);
}

TEST_F(AnswerPoll, NothingIsTakenWithoutAnArmedReceiverOrAPort) {
  rxState = RX_UNARMED;  // before any request
  poll(Bytes{0xE5, 0x00} + answer72({0x04, 0xFD, 0x08, 0x05, 0x00, 0x00, 0x00}));
  pollAnswers(h.ctx);
  EXPECT_EQ(h.console.text(), "");
  EXPECT_EQ(ackReceived + answerReceived, 0);
  EXPECT_EQ(field(Field::IdNumber), "01020304");

  resetReceiver();
  h.link.disconnect();
  poll(kAck);
  EXPECT_EQ(h.port->incoming.size(), 1u);  // not even read
  h.connect();
  h.port->lost = true;
  pollAnswers(h.ctx);
  EXPECT_FALSE(h.link.connected());
  EXPECT_EQ(ackReceived, 0);
}

TEST_F(AnswerPoll, IdentityGoesIntoTheFields) {
  // A code with the top bit set gives no letters: the field keeps its text.
  poll(answer72(kVolumeRecord, 0x00, 0x80));
  EXPECT_EQ(field(Field::Manufacturer), "BRV");
  EXPECT_EQ(field(Field::IdNumber), "12345678");
  EXPECT_EQ(answerReceived, 1);
  poll(answer72(kVolumeRecord));
  EXPECT_EQ(field(Field::Manufacturer), "ABC");
  EXPECT_EQ(field(Field::Version), "01");
  EXPECT_EQ(field(Field::DeviceType), "07");
}

TEST_F(AnswerPoll, CounterFromTheRecordOrPlusFour) {
  const struct {
    Bytes records;
    uint32_t before;
    const char* field;
    std::string line;
  } cases[] = {
      {kVolumeRecord + Bytes{0x04, 0xFD, 0x08, 0x05, 0x00, 0x00, 0x00}, 0, "00000006", "Message counter found: 6\n"},
      {{0x04, 0xFD, 0x08, 0xFF, 0xFF, 0xFF, 0x7F}, 0, "80000000", "Message counter found: -2147483648\n"},
      {{0x04, 0xFD, 0x08, 0xFF, 0xFF, 0xFF, 0xFF}, 0, "00000000", "Message counter found: 0\n"},
      {kVolumeRecord, 0xFFFFFFFE, "00000002", ""},
      // A record whose value runs into the checksum is no record.
      {{0x04, 0xFD, 0x08, 0x09, 0x00, 0x00}, 0x10, "00000014", ""},
      {{0x04, 0xFD, 0x08, 0x09, 0x00}, 0x10, "00000014", ""},
      {{0x04, 0xFD, 0x08, 0x09}, 0x10, "00000014", ""},
      {{0x04, 0xFD, 0x08}, 0x10, "00000014", ""},
  };
  for (const auto& c : cases) {
    const auto frame = answer72(c.records);
    SCOPED_TRACE(hex(frame));
    h.console.clear();
    invocationCounter = c.before;
    poll(frame);
    EXPECT_EQ(field(Field::Counter), c.field);
    EXPECT_EQ(invocationCounter, std::stoul(c.field, nullptr, 16));
    EXPECT_EQ(h.console.text(), "<<< Answer\n" + consoleDump(frame) + c.line);
    EXPECT_EQ(h.console.pieces().back().style, STYLE_RECEIVED);
  }
}

TEST(FindCounterRecord, SearchesTheWholeLengthAndNoFurther) {
  const Bytes f{0x00, 0x04, 0xFD, 0x08, 0x04, 0xFD, 0x08, 0x01};
  EXPECT_EQ(findCounterRecord(f.data(), 8), 1);      // the first of two
  EXPECT_EQ(findCounterRecord(f.data() + 1, 7), 0);  // at index 0: same as not found
  // The bound i < length - 3: a record at length - 4 is found, at length - 3 not.
  EXPECT_EQ(findCounterRecord(f.data() + 2, 6), 2);
  EXPECT_EQ(findCounterRecord(f.data() + 2, 5), 0);
  EXPECT_EQ(findCounterRecord(f.data(), 3), 0);
  EXPECT_EQ(findCounterRecord(f.data(), 0), 0);
}

TEST(DecodeManufacturer, FiveBitsALetterAndNothingForTheTopBit) {
  char text[4] = "xyz";
  decodeManufacturer(0x6B5A, text);  // 26, 26, 26
  EXPECT_STREQ(text, "ZZZ");
  decodeManufacturer(0x8000, text);
  EXPECT_STREQ(text, "ZZZ");
}

TEST_F(AnswerPoll, AnswersTooShortForTheirFieldsOnlySetTheFlag) {
  // CI 0x72 with part of the header: 7 + 7 data bytes would overlap CS.
  const Bytes header{0x72, 0x11, 0x22, 0x33, 0x44, 0x43, 0x04, 0x01};
  for (size_t n = 0; n < header.size(); ++n) {
    answerReceived = 0;
    invocationCounter = 0;
    poll(longFrame(0x08, 0x01, Bytes(header.begin(), header.begin() + 1 + (long)n)));
    EXPECT_EQ(field(Field::IdNumber), "01020304") << "header bytes " << n;
    EXPECT_EQ(field(Field::Version), "40");
    EXPECT_EQ(invocationCounter, 4u);
    EXPECT_EQ(answerReceived, 1);
  }
  // No CI at all, or another CI: nothing but the flag.
  invocationCounter = 0;
  const std::vector<Bytes> frames{
      {0x68, 0x00, 0x00, 0x68, 0x00, 0x16}, longFrame(0x08, 0x01, {}), longFrame(0x08, 0x01, {0x78, 0x04, 0xFD, 0x08, 1, 2, 3, 4})};
  for (const auto& frame : frames) {
    answerReceived = 0;
    linkBuffer[6] = 0x72;  // stale bytes past a short frame are not its CI
    poll(frame);
    EXPECT_EQ(answerReceived, 1) << hex(frame);
  }
  EXPECT_EQ(invocationCounter, 0u);
  // A protected answer is handed on (this one too short to decrypt) and flagged too.
  answerReceived = 0;
  h.console.clear();
  const auto frame = longFrame(0x08, 0x01, {0x90, 0x0F, 0x00, 0x2C});
  poll(frame);
  EXPECT_EQ(h.console.text(), "<<< Answer\n" + consoleDump(frame) + "Protected answer too short.\nDecrypt Error.\n");
  EXPECT_EQ(answerReceived, 1);
}

}  // namespace
