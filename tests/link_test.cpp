// The receiver fed byte by byte, the receive poll that prints and hands on
// what it assembles, and the connection around the port.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "commands/identity_fields.h"
#include "commands/meter_answers.h"
#include "link/answer_reception.h"
#include "link/connection.h"
#include "link/link_frames.h"
#include "tests/support/virtual_line.h"
#include "virtual-dongle/dongle_frames.h"
#include "virtual-dongle/dongle_protection.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Long frames from the dongle's framing, so the receiver is not checked
// against the tool's own builder.
Bytes longFrame(const Bytes& data) { return vdongle::buildLongFrame(0x08, 0x01, data); }
Bytes twice(const Bytes& f) { Bytes b(f); b.insert(b.end(), f.begin(), f.end()); return b; }

const Bytes kReqUd2{0x10, 0x5B, 0xFB, 0x56, 0x16};
const Bytes kAnswer = longFrame({0x72, 0x04, 0x03, 0x02, 0x01, 0x56, 0x0A, 0x40, 0x03, 0x2A, 0x00, 0x00, 0x00});

std::vector<RxResult> feed(const Bytes& bytes) {
  std::vector<RxResult> results;
  for (uint8_t b : bytes) results.push_back(receiveByte(b));
  return results;
}

std::vector<RxResult> pendingThen(size_t pending, RxResult last) {
  std::vector<RxResult> r(pending, RxResult::Pending);
  r.push_back(last);
  return r;
}

TEST(Receiver, EveryFrameShapeGivesItsResult) {
  const struct {
    const char* name;
    Bytes bytes;
    std::vector<RxResult> results;
  } cases[] = {
      {"acknowledgement", {0xE5}, {RxResult::Ack}},
      {"zero byte", {0x00}, {RxResult::Zero}},
      {"garbage before a frame start", {0x42}, {RxResult::Rejected}},
      {"short frame", kReqUd2, pendingThen(4, RxResult::ShortOk)},
      {"short frame with a bad checksum", withByte(kReqUd2, 3, 0x57), pendingThen(4, RxResult::Rejected)},
      {"short frame without its stop byte", withByte(kReqUd2, 4, 0x17), pendingThen(4, RxResult::Rejected)},
      {"long frame", kAnswer, pendingThen(kAnswer.size() - 1, RxResult::LongOk)},
      {"long frame with a bad checksum", withByte(kAnswer, kAnswer.size() - 2, 0x00),
       pendingThen(kAnswer.size() - 1, RxResult::LongBadChecksum)},
      {"long frame without its stop byte", withByte(kAnswer, kAnswer.size() - 1, 0x68),
       pendingThen(kAnswer.size() - 1, RxResult::Rejected)},
      {"long frame whose two lengths differ", truncated(withByte(kAnswer, 2, 0x10), 3), pendingThen(2, RxResult::Rejected)},
      {"long frame without its second start", truncated(withByte(kAnswer, 3, 0x10), 4), pendingThen(3, RxResult::Rejected)},
      {"long frame carrying start and stop bytes as data", longFrame({0x68, 0x16, 0xE5, 0x10}),
       pendingThen(11, RxResult::LongOk)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    resetReceiver();
    EXPECT_EQ(feed(c.bytes), c.results) << hex(c.bytes);
    if (c.results.back() == RxResult::LongOk || c.results.back() == RxResult::ShortOk) {
      uint16_t length = 0;
      const uint8_t* frame = getLinkBuffer(length);
      EXPECT_EQ(hex(frame, length), hex(c.bytes));
    }
  }
}

// The receive poll with answers applied, on a fake port: counter and identity
// (id bytes 1..4, most significant first) as far as an answer carries them,
// and what the poll prints after the answer's dump.
TEST(ReceivePoll, AnswersSetCounterAndIdentityAsFarAsTheyCarryThem) {
  const struct {
    const char* name;
    Bytes frame;
    const char *counter, *id, *after;
  } cases[] = {
      {"counter record 04 FD 08", longFrame({0x72, 1, 2, 3, 4, 5, 6, 7, 8, 0x04, 0xFD, 0x08, 0x10, 0x00, 0x00, 0x00}),
       "00000011", "04030201", "Message counter found: 17\n"},
      {"record cut short by the checksum", longFrame({0x72, 1, 2, 3, 4, 5, 6, 7, 8, 0x04, 0xFD, 0x08, 0x10, 0x00}),
       "00000005", "04030201", ""},
      {"no record: four more", kAnswer, "00000005", "01020304", ""},
      // The records are walked: 04 FD 08 in a volume's value (04 13) or in the
      // identification 0108FD04 is no counter; the first bytes search found them.
      {"a value holding 04 FD 08 before the counter record",
       longFrame({0x72, 4, 3, 2, 1, 0x56, 0x0A, 0x40, 3, 1, 0, 0, 0, 0x04, 0x13, 0x04, 0xFD, 0x08, 0x00, 0x04, 0xFD,
                  0x08, 0x2A, 0x00, 0x00, 0x00}),
       "0000002B", "01020304", "Message counter found: 43\n"},
      {"identification 0108FD04 and no counter record",
       longFrame({0x72, 0x04, 0xFD, 0x08, 0x01, 0x56, 0x0A, 0x40, 3, 1, 0, 0, 0, 0x0C, 0x14, 0x27, 0x04, 0x85, 0x02}),
       "00000005", "0108FD04", ""},
      {"manufacturer data cannot be walked: the bytes are searched",
       longFrame({0x72, 4, 3, 2, 1, 0x56, 0x0A, 0x40, 3, 1, 0, 0, 0, 0x0F, 0x04, 0xFD, 0x08, 0x05, 0x00, 0x00, 0x00}),
       "00000006", "01020304", "Message counter found: 6\n"},
      {"two answers in one read, each taken", twice(kAnswer), "00000009", "01020304", ""},
      {"identity alone, the shortest answer with one",
       longFrame({0x72, 0x78, 0x56, 0x34, 0x12, 0x56, 0x0A, 0x40, 0x03}), "00000005", "12345678", ""},
      // 68 02 02 68 C A CS 16: the checksum sits where a CI would be.
      {"no CI field, checksum 72", {0x68, 0x02, 0x02, 0x68, 0x71, 0x01, 0x72, 0x16}, "00000001", "01020304", ""},
      {"no CI field, checksum 90", {0x68, 0x02, 0x02, 0x68, 0x8F, 0x01, 0x90, 0x16}, "00000001", "01020304", ""},
      // AFLL 11: two bytes more before the TPL CI; the identity is read where the frame puts it.
      {"protected answer with a longer AFL",
       longFrame({0x90, 0x11, 0x00, 0x2C, 0x25, 0x05, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0x00,
                  0x00, 0x72, 0x78, 0x56, 0x34, 0x12, 0x56, 0x0A, 0x40, 0x03}),
       "00000006", "12345678",
       "Message counter found: 6\nDecrypting using key: 0x5A 0x17 0xC3 0xE9 0x0B 0x4D 0x62 0xF8 0xA1 0xC0 0x7E 0x3B "
       "0x9D 0x2F 0x4A 0x68 \n\nDecrypt Error.\n"},
      {"protected answer too short to read", longFrame(Bytes{0x90, 0x0F, 0x00, 0x2C}), "00000001", "01020304",
       "Protected answer too short.\nDecrypt Error.\n"},
      // AFLL 0F: the identity would end on the checksum, one byte past the part.
      {"protected answer whose identity would reach the checksum", longFrame(withByte(Bytes(25, 0x90), 1, 0x0F)),
       "00000001", "01020304", "Protected answer too short.\nDecrypt Error.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualLine line;
    line.port->queue(c.frame);
    resetReceiver();
    line.poll();
    EXPECT_EQ(answerReceived, 1);
    EXPECT_EQ(line.fields.fieldText(Field::Counter), c.counter);
    EXPECT_EQ(line.fields.fieldText(Field::IdNumber), c.id) << hex(c.frame);
    const std::string& text = line.console.text();  // the dump ends with the stop byte
    EXPECT_EQ(text.substr(text.rfind("0x16 \n") + 6), c.after) << text;
  }
}

// With records on, the answer's records follow its dump and a refused
// protected answer names the check that refused it; with records off, neither.
// 0C 14 27 04 85 02: 12 BCD digits of m^3 x 10^-2, 28504.27 m^3; 04 FD 08: the
// access number (the counter record), 42; 04 13 without its value stops at byte 32.
TEST(ReceivePoll, RecordsAndTheFailedCheckFollowTheAnswerOnlyWhenAsked) {
  const Bytes records = longFrame({0x72, 4, 3, 2, 1, 0x56, 0x0A, 0x40, 3, 1, 0, 0, 0, 0x0C, 0x14, 0x27, 0x04, 0x85,
                                   0x02, 0x04, 0xFD, 0x08, 0x2A, 0, 0, 0, 0x04, 0x13});
  const uint8_t id[4] = {4, 3, 2, 1};
  const Bytes key = fromHex("5A17C3E90B4D62F8A1C07E3B9D2F4A68"), otherKey(16, 0);  // the first: the line's stores
  // A short-header CI makes the tool read the configuration 10 07 from the header: 16 bytes without 2F 2F.
  const Bytes shortHeader{0x7A, 1, 0, 0x10, 7, 0, 0, 0, 0, 0, 0}, header(kAnswer.begin() + 6, kAnswer.begin() + 17);
  const std::string refused = "Decrypt Error.\n  Decrypt check failed: the MAC ";
  const struct { const char* name; Bytes frame; const char* after; std::string off, on; } cases[] = {
      {"records", records, "0x16 \n", "Message counter found: 43\n",
       "Message counter found: 43\n  Volume 28504.27 m^3\n  Access number 42\n"
       "  Records: stopped at byte 32: the record runs past the end\n"},
      {"wrong key", longFrame(vdongle::protectFromMeter(header, {}, 5, id, otherKey.data())), "\n\n",
       "Decrypt Error.\n", refused + "does not match (key, identification or a changed byte)\n"},
      {"no 2F 2F", longFrame(vdongle::protectFromMeter(shortHeader, {}, 5, id, key.data())), "\n\n",
       "Decrypt Error.\n", refused + "matches, but the decrypted area does not begin 2F 2F\n"},
  };
  for (const auto& c : cases)
    for (const bool on : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (on ? ", records on" : ", records off"));
      VirtualLine line;
      line.ctx.decodeRecords = on;
      line.port->queue(c.frame);
      resetReceiver();
      line.poll();
      const std::string& text = line.console.text();
      EXPECT_EQ(text.substr(text.rfind(c.after) + std::string(c.after).size()), on ? c.on : c.off) << hex(c.frame);
    }
}

TEST(Connection, OpenResultsPassThroughAndAFailedPortIsNotLeftOpen) {
  for (SerialOpenResult result : {SerialOpenResult::NotFound, SerialOpenResult::OpenFailed,
                                  SerialOpenResult::SetParamsFailed, SerialOpenResult::SetTimeoutsFailed}) {
    VirtualLine line;
    line.link.disconnect();
    line.port->openResult = result;
    EXPECT_EQ(line.link.connect("/dev/ttyX", 1), result);
    EXPECT_FALSE(line.link.connected());
    EXPECT_FALSE(line.port->isOpen());
  }
  VirtualLine line;
  EXPECT_EQ(line.link.connect("", 1), SerialOpenResult::NoPortSelected);
  EXPECT_EQ(line.link.connect("/dev/ttyX", 0), SerialOpenResult::Ok);
  EXPECT_EQ(line.port->openedBaud, 2400);
  EXPECT_EQ(line.fields.status, "Connected to serial [/dev/ttyX] baudrate 2400");
}

TEST(Connection, AFrameGoesOutWholeInShortWritesOrIsReportedIncomplete) {
  for (int takes : {3, 0}) {
    VirtualLine line;
    line.port->takePerWrite = takes;
    line.link.writeFrame(kAnswer.data(), (int)kAnswer.size());
    EXPECT_EQ(hex(line.port->written), hex(takes ? kAnswer : Bytes{}));
    EXPECT_EQ(line.console.text(), takes ? "" : "Serial write incomplete: 0 of 21 bytes sent.\n");
    EXPECT_TRUE(line.link.connected());
  }
}

}  // namespace
