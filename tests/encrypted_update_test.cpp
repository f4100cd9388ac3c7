#include "firmware/encrypted_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "commands/identity_fields.h"
#include "firmware/firmware_image.h"
#include "firmware/update_wait.h"
#include "tests/support/dongle_model.h"
#include "tests/support/fakes.h"

namespace {

std::vector<uint8_t> bytes(const std::vector<uint8_t>& v, size_t from, size_t count) {
  return std::vector<uint8_t>(v.begin() + (long)from, v.begin() + (long)(from + count));
}

std::string counterText(uint32_t counter) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", counter);
  return text;
}

std::vector<int> range(int from, int to, std::vector<int> then = {}) {
  std::vector<int> v;
  for (int i = from; i <= to; ++i) v.push_back(i);
  v.insert(v.end(), then.begin(), then.end());
  return v;
}

// The plain encrypted area: 2F 2F, the command record, 2F up to a multiple of 16.
std::vector<uint8_t> area(uint8_t command, const std::vector<uint8_t>& params = {}) {
  std::vector<uint8_t> a{0x2F, 0x2F};
  const std::vector<uint8_t> record = blockRecord(command, params);
  a.insert(a.end(), record.begin(), record.end());
  a.resize((a.size() + 15) / 16 * 16, 0x2F);
  return a;
}

// The data telegrams carry the blocks of `sequence` with their exact plain
// areas, and their headings show the CRC of every block sent so far.
std::vector<std::string> expectDataPhase(const UpdateRig& rig, const std::vector<int>& sequence) {
  EXPECT_EQ(rig.dongle.blockSequence(), sequence);
  const std::vector<const SeenTelegram*> blocks = rig.dongle.of(SeenTelegram::BlockCommand, 0x32);
  std::vector<std::string> lines, shown;
  uint32_t crc = 0;
  for (size_t i = 0; i < blocks.size() && i < sequence.size(); ++i) {
    const std::vector<uint8_t> params = blockParams(rig.image, sequence[i]);
    EXPECT_TRUE(blocks[i]->macOk);
    EXPECT_EQ(hex(bytes(blocks[i]->plain, 31, blocks[i]->plain.size() - 31)), hex(area(0x32, params)));
    crc = bitwiseCrc32(params.data() + 2, params.size() - 2, crc);
    lines.push_back(blockLine(128 * sequence[i], (uint32_t)rig.image.size(), crc));
  }
  for (const std::string& line : sentHeadings(rig.h.console))
    if (line.rfind(">>> Send FW data", 0) == 0) shown.push_back(line);
  EXPECT_EQ(shown, lines);
  return lines;
}

// For every image size: the steps in order; every telegram protected (the
// dongle verifies and decrypts it with OpenSSL) with its AFL, long header,
// access number, configuration and exact plain area; the counter field set
// after all but activate and REQ_UD2; each heading followed by its frame's
// dump; the image reassembled; the counter one higher at the end.
TEST(EncryptedUpdate, EveryImageSizeGoesOutProtectedWithExactTelegrams) {
  for (uint32_t length : kImageSizes) {
    SCOPED_TRACE(length);
    UpdateRig rig;
    rig.dongle.markCounterField = true;
    ASSERT_EQ(rig.run(length, runFirmwareUpdate), UpdateResult::Finished);
    const uint32_t count = (length + 127) / 128;
    std::vector<std::string> steps = words("31 REQ 30 REQ");
    for (uint32_t k = 0; k < count; ++k) steps.insert(steps.end(), {"32:" + std::to_string(k), "REQ"});
    for (const std::string& s : words("33 REQ 34")) steps.push_back(s);
    ASSERT_EQ(stepNames(rig.dongle), steps);
    const std::vector<std::string> dataLines = expectDataPhase(rig, range(0, (int)count - 1));

    const std::map<std::string, std::pair<std::string, std::vector<uint8_t>>> commands = {
        {"31", {">>> FW upgrade request for readout status report.\n", area(0x31)}},
        {"30", {">>> FW upgrade send start.\n", area(0x30, {(uint8_t)length, (uint8_t)(length >> 8),
                                                            (uint8_t)(length >> 16), 0, 0x80})}},
        {"33", {">>> FW upgrade send validate.\n", area(0x33)}},
        {"34", {">>> FW upgrade activate.\n", area(0x34)}},
        {"REQ", {">>> REQ_UD2\n", {}}}};
    std::vector<std::string> headings;
    uint8_t access = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
      const SeenTelegram& t = rig.dongle.seen[i];
      SCOPED_TRACE(steps[i]);
      const bool data = steps[i].rfind("32:", 0) == 0;
      headings.push_back(data ? dataLines.at(t.block) : commands.at(steps[i]).first);
      if (t.kind == SeenTelegram::ReqUd2) {
        EXPECT_EQ(hex(t.frame), "10 5B FB 56 16 ");
        EXPECT_EQ(t.counterFieldAfter, "?");
        continue;
      }
      ASSERT_TRUE(t.macOk);
      // AFL with counter 1, the long header from the fields BRV / 01020304 /
      // 40 / 03, access number, status, E, mode 7, CFE, then the plain area.
      const std::vector<uint8_t>& p = t.plain;
      const std::vector<uint8_t> plainArea = data ? area(0x32, blockParams(rig.image, t.block)) : commands.at(steps[i]).second;
      std::vector<uint8_t> expected{0x90, 0x0F, 0x00, 0x2C, 0x25, 0x01, 0x00, 0x00, 0x00};
      expected.insert(expected.end(), t.userData.begin() + 9, t.userData.begin() + 17);
      expected.insert(expected.end(), {0x5B, 0x04, 0x03, 0x02, 0x01, 0x56, 0x0A, 0x40, 0x03, access++, 0x00,
                                       (uint8_t)plainArea.size(), 0x07, 0x10});
      expected.insert(expected.end(), plainArea.begin(), plainArea.end());
      EXPECT_EQ(hex(p), hex(expected));
      EXPECT_NE(hex(bytes(t.userData, 9, 8)), "FF FF FF FF FF FF FF FF ");
      EXPECT_NE(bytes(t.userData, 31, p.size() - 31), bytes(p, 31, p.size() - 31));  // sent encrypted
      EXPECT_EQ(t.frame.size(), p.size() + 8);
      EXPECT_EQ(t.counterFieldAfter, t.command == 0x34 ? "?" : "00000001");
    }
    if (length == 300) {  // a full block and a last one of 44 bytes
      EXPECT_EQ(rig.dongle.seen[4].frame.size(), 183u);
      EXPECT_EQ(rig.dongle.seen[8].plain.size(), 95u);
    }
    EXPECT_EQ(styledText(rig.h.console, STYLE_SENT),
              transcript(headings, rig.dongle) +
                  "Dongle is now reprogramming, please reselect Dongle and check result.\n");
    EXPECT_EQ(rig.dongle.image, rig.image);
    EXPECT_EQ(invocationCounter, 2u);  // one above the counter every telegram carried
  }
}

TEST(EncryptedUpdate, TelegramsCarryTheCounterAnAnswerLeft) {
  UpdateRig rig;
  rig.dongle.markCounterField = true;
  uint32_t answered = 0x100;
  rig.dongle.policy = [&](const SeenTelegram& t, size_t) {
    if (t.kind == SeenTelegram::ReqUd2) rig.dongle.reportAnswer = DongleModel::counterAnswer(++answered);
    return Reply{};
  };
  ASSERT_EQ(rig.run(300, runFirmwareUpdate), UpdateResult::Finished);
  uint32_t expected = 1;  // from the field until the first answer
  uint32_t reports = 0x100;
  for (const SeenTelegram& t : rig.dongle.seen) {
    if (t.kind == SeenTelegram::ReqUd2) {
      expected = ++reports + 1;  // the answer's counter plus one
      continue;
    }
    ASSERT_TRUE(t.macOk);
    EXPECT_EQ(t.counter, expected);
    EXPECT_EQ(t.counterFieldAfter, t.command == 0x34 ? "?" : counterText(expected));
  }
  EXPECT_EQ(invocationCounter, expected + 1);
}

TEST(EncryptedUpdate, TelegramTheDongleRejectsIsRepeatedWithTheSameCounter) {
  UpdateRig rig;
  rig.dongle.key[0] ^= 0x01;  // the dongle holds another key
  EXPECT_EQ(rig.run(300, runFirmwareUpdate), UpdateResult::NoAnswer);
  ASSERT_EQ(rig.dongle.seen.size(), (size_t)COMMAND_SEND_LIMIT);
  for (const SeenTelegram& t : rig.dongle.seen) {
    EXPECT_FALSE(t.macOk);
    EXPECT_EQ(t.counter, 1u);
  }
  EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS).back(),
            "No answer from the dongle at status report request; update stopped.\n");
}

// Block 1's acknowledgement lost, or late (after the 4000-poll wait, when the
// repetition's own is lost): the block goes again at once, without REQ_UD2,
// with the same counter and offset, and enters the CRC a second time.
TEST(EncryptedUpdate, LostOrLateAcknowledgementResendsTheBlockAtOnce) {
  for (long delayMs : {0L, 8100L}) {
    SCOPED_TRACE(delayMs);
    UpdateRig rig;
    int sends = 0;
    rig.dongle.policy = [&](const SeenTelegram& t, size_t) {
      if (t.block != 1) return Reply{};
      return ++sends == 1 ? Reply{delayMs > 0, delayMs} : Reply{delayMs == 0};
    };
    ASSERT_EQ(rig.run(300, runFirmwareUpdate), UpdateResult::Finished);
    EXPECT_EQ(stepNames(rig.dongle), words("31 REQ 30 REQ 32:0 REQ 32:1 32:1 REQ 32:2 REQ 33 REQ 34"));
    expectDataPhase(rig, {0, 1, 1, 2});
    const std::vector<const SeenTelegram*> b = rig.dongle.of(SeenTelegram::BlockCommand, 0x32);
    EXPECT_EQ(b[2]->counter, b[1]->counter);
    EXPECT_EQ(b[2]->accessNumber, b[1]->accessNumber + 1);
    EXPECT_EQ(rig.dongle.image, rig.image);
  }
}

// The test options, alone and together, also when the block sent right after
// them is not acknowledged (the option then applies again); every block stays
// inside the image, and a skip that reaches the end ends the data phase.
TEST(EncryptedUpdate, TestOptionsSkipAndRepeatBlocksInsideTheImage) {
  const struct {
    uint8_t skip, twice;
    uint32_t length;
    int lostBlock, lostSend;  // an acknowledgement lost: block number and which send of it
    std::vector<int> sequence;
  } cases[] = {
      {1, 0, 50 * 128, -1, 0, range(0, 14, range(16, 49))},
      {0, 1, 50 * 128, -1, 0, range(0, 41, range(41, 49))},
      {1, 1, 50 * 128, -1, 0, range(0, 14, range(16, 42, range(42, 49)))},
      // Exactly 16 blocks: the skip reaches the end, block 16 goes out empty.
      {1, 0, 16 * 128, -1, 0, range(0, 14, {16})},
      // Block 15 holds 30 bytes: the skip ends the data phase.
      {1, 0, 15 * 128 + 30, -1, 0, range(0, 14)},
      // A lost block 16 after the skip: the next pass skips again ...
      {1, 0, 20 * 128, 16, 1, range(0, 14, range(16, 19))},
      // ... and with sixteen blocks that would leave the image: the end.
      {1, 0, 16 * 128, 16, 1, range(0, 14, {16})},
      // A lost repeat of block 41: the next pass steps back once more.
      {0, 1, 45 * 128, 41, 2, range(0, 41, range(41, 41, range(40, 44)))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "skip " << (int)c.skip << " double " << (int)c.twice << " length "
                                    << c.length << " lost " << c.lostBlock);
    UpdateRig rig;
    int sends = 0;
    rig.dongle.policy = [&](const SeenTelegram& t, size_t) {
      return Reply{t.block != c.lostBlock || ++sends != c.lostSend};
    };
    ASSERT_EQ(rig.run(c.length, runFirmwareUpdate, c.skip, c.twice), UpdateResult::Finished);
    expectDataPhase(rig, c.sequence);
    EXPECT_EQ(stepNames(rig.dongle).back(), "34");
    EXPECT_EQ(transferOffset, firmwareLength);
    for (size_t i = 0; i < c.length; ++i)
      ASSERT_EQ(i < rig.dongle.imageWritten.size() && rig.dongle.imageWritten[i],
                std::count(c.sequence.begin(), c.sequence.end(), (int)(i / 128)) > 0) << "byte " << i;
  }
}

TEST(EncryptedUpdate, SilentDongleInTheDataPhaseEndsAtTheBound) {
  UpdateRig rig;
  rig.dongle.policy = [](const SeenTelegram& t, size_t) { return Reply{t.block < 3}; };
  EXPECT_EQ(rig.run(2048, runFirmwareUpdate), UpdateResult::NoAnswer);
  std::vector<int> expected = range(0, 2);
  expected.insert(expected.end(), ENCRYPTED_BLOCK_SEND_LIMIT, 3);
  EXPECT_EQ(rig.dongle.blockSequence(), expected);
  EXPECT_EQ(stepNames(rig.dongle).back(), "32:3");
  EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS).back(),
            "No answer from the dongle at block 4 of 16; update stopped.\n");
  EXPECT_EQ(invocationCounter, 1u);
}

TEST(EncryptedUpdate, CancelDuringAFullImageStopsAtTheBlock) {
  UpdateRig rig;
  rig.dongle.onPoll = [&](long) {
    if (rig.dongle.of(SeenTelegram::BlockCommand, 0x32).size() == 37) rig.progress.cancel = true;
  };
  EXPECT_EQ(rig.run(131104, runFirmwareUpdate), UpdateResult::Cancelled);
  EXPECT_EQ(rig.dongle.blockSequence().size(), 37u);
  EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS).back(), "Firmware update cancelled at block 37 of 1025.\n");
  EXPECT_EQ(rig.progress.started, std::vector<std::string>{"encrypted QOR protocol/1025"});
  EXPECT_EQ(rig.progress.steps.back(), "block 37 of 1025");
  EXPECT_EQ(rig.progress.lastDone, 36u);
  EXPECT_EQ(rig.progress.finished, 1);
  EXPECT_EQ(invocationCounter, 1u);
}

}  // namespace
