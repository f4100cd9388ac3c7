#include "firmware/encrypted_update.h"

#include <gtest/gtest.h>

#include <cstdio>
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

class EncryptedUpdate : public ::testing::Test {
 protected:
  // Runs the update command with encryption on (the stores come from the fields).
  void run(uint32_t length) {
    image = prepareUpdate(length);
    h.ctx.progress = &progress;
    result = runFirmwareUpdate(h.ctx);
  }
  std::vector<const SeenTelegram*> blocks() const { return dongle.of(SeenTelegram::BlockCommand, 0x32); }
  std::vector<int> blockNumbers() const { return dongle.blockSequence(); }
  static std::vector<int> range(int from, int to) {
    std::vector<int> v;
    for (int i = from; i <= to; ++i) v.push_back(i);
    return v;
  }
  static std::vector<int> join(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  Harness h;
  DongleModel dongle{h};
  RecordingProgress progress;
  std::vector<uint8_t> image;
  UpdateResult result = UpdateResult::NoFirmware;
};

TEST_F(EncryptedUpdate, TelegramsAreProtectedAndLaidOutAsTheDongleExpects) {
  dongle.markCounterField = true;
  run(300);
  ASSERT_EQ(result, UpdateResult::Finished);
  EXPECT_EQ(stepNames(dongle), words("31 REQ 30 REQ 32:0 REQ 32:1 REQ 32:2 REQ 33 REQ 34"));
  uint8_t access = 0;
  for (const SeenTelegram& t : dongle.seen) {
    if (t.kind == SeenTelegram::ReqUd2) {
      EXPECT_EQ(hex(t.frame), "10 5B FB 56 16 ");
      EXPECT_EQ(t.counterFieldAfter, "?");
      continue;
    }
    SCOPED_TRACE(hex(t.plain));
    ASSERT_TRUE(t.macOk);
    const std::vector<uint8_t>& p = t.plain;
    EXPECT_EQ(hex(bytes(p, 0, 9)), "90 0F 00 2C 25 01 00 00 00 ");
    EXPECT_NE(hex(bytes(t.userData, 9, 8)), "FF FF FF FF FF FF FF FF ");
    // Long header from the fields BRV / 01020304 / 40 / 03, then access number.
    EXPECT_EQ(hex(bytes(p, 17, 9)), "5B 04 03 02 01 56 0A 40 03 ");
    EXPECT_EQ(t.accessNumber, access++);
    EXPECT_EQ(p[27], 0x00);
    EXPECT_EQ(p[28], p.size() - 31);
    EXPECT_EQ(hex(bytes(p, 29, 2)), "07 10 ");
    EXPECT_NE(bytes(t.userData, 31, p.size() - 31), bytes(p, 31, p.size() - 31));  // sent encrypted
    EXPECT_EQ(t.counterFieldAfter, t.command == 0x34 ? "?" : "00000001");
  }
  const auto& s = dongle.seen;
  EXPECT_EQ(hex(bytes(s[0].plain, 31, 16)), "2F 2F 08 FD F7 31 2F 2F 2F 2F 2F 2F 2F 2F 2F 2F ");
  EXPECT_EQ(hex(bytes(s[2].plain, 31, 16)), "2F 2F 0D FD F7 30 05 2C 01 00 00 80 2F 2F 2F 2F ");
  EXPECT_EQ(hex(bytes(s[10].plain, 31, 16)), "2F 2F 0D FD F7 33 00 2F 2F 2F 2F 2F 2F 2F 2F 2F ");
  EXPECT_EQ(hex(bytes(s[12].plain, 31, 16)), "2F 2F 0D FD F7 34 00 2F 2F 2F 2F 2F 2F 2F 2F 2F ");
  for (size_t i : {0, 2, 10, 12}) EXPECT_EQ(s[i].plain.size(), 47u);
  // Full blocks: E 144, application part 175, frame 183.
  EXPECT_EQ(s[4].plain[28], 0x90);
  EXPECT_EQ(s[4].plain.size(), 175u);
  EXPECT_EQ(s[4].frame.size(), 183u);
  EXPECT_EQ(hex(bytes(s[6].plain, 31, 9)), "2F 2F 0D FD F7 32 82 01 00 ");
  // Last block of 44: LVAR 0x2E, E 64, part 95, 11 bytes of filler.
  const std::vector<uint8_t>& last = s[8].plain;
  EXPECT_EQ(last.size(), 95u);
  EXPECT_EQ(last[28], 0x40);
  EXPECT_EQ(hex(bytes(last, 31, 9)), "2F 2F 0D FD F7 32 2E 02 00 ");
  EXPECT_EQ(bytes(last, 40, 44), bytes(image, 256, 44));
  EXPECT_EQ(bytes(last, 84, 11), std::vector<uint8_t>(11, 0x2F));

  EXPECT_EQ(sentHeadings(h.console),
            (std::vector<std::string>{
                ">>> FW upgrade request for readout status report.\n", ">>> REQ_UD2\n", ">>> FW upgrade send start.\n",
                ">>> REQ_UD2\n", blockLine(0, 300, bitwiseCrc32(image.data(), 128)),
                ">>> REQ_UD2\n", blockLine(128, 300, bitwiseCrc32(image.data(), 256)),
                ">>> REQ_UD2\n", blockLine(256, 300, bitwiseCrc32(image.data(), 300)),
                ">>> REQ_UD2\n", ">>> FW upgrade send validate.\n", ">>> REQ_UD2\n", ">>> FW upgrade activate.\n"}));
  EXPECT_EQ(consoleLines(h.console, STYLE_SENT).back(),
            "Dongle is now reprogramming, please reselect Dongle and check result.\n");
  EXPECT_EQ(invocationCounter, 2u);  // one above the counter every telegram carried
}

TEST_F(EncryptedUpdate, EveryImageSizeArrivesWhole) {
  for (uint32_t length : {0u, 7u, 200u, 300u, 384u, 2048u, 131104u}) {
    SCOPED_TRACE(length);
    Harness harness;
    DongleModel model(harness);
    const std::vector<uint8_t> sent = prepareUpdate(length);
    ASSERT_EQ(runFirmwareUpdate(harness.ctx), UpdateResult::Finished);
    const std::vector<const SeenTelegram*> data = model.of(SeenTelegram::BlockCommand, 0x32);
    ASSERT_EQ(data.size(), (length + 127) / 128);
    for (size_t k = 0; k < data.size(); ++k) {
      const uint32_t n = std::min(128u, length - (uint32_t)(128 * k));
      ASSERT_TRUE(data[k]->macOk);
      EXPECT_EQ(data[k]->block, (int)k);
      EXPECT_EQ(data[k]->plain[28], (n + 9 + 15) / 16 * 16);
      EXPECT_EQ(data[k]->counter, 1u);
    }
    EXPECT_EQ(model.image, sent);
    if (length == 7) {
      // 7 bytes fill the 16-byte area exactly.
      EXPECT_EQ(data[0]->plain.size(), 47u);
      EXPECT_EQ(bytes(data[0]->plain, 40, 7), sent);
    }
    if (length == 0) {
      EXPECT_EQ(stepNames(model), words("31 REQ 30 REQ 33 REQ 34"));
    }
    if (length == 131104) {
      EXPECT_EQ(data.back()->plain[28], 48);  // 32 bytes left
    }
    EXPECT_EQ(invocationCounter, 2u);
  }
}

TEST_F(EncryptedUpdate, TelegramsCarryTheCounterAnAnswerLeft) {
  dongle.markCounterField = true;
  uint32_t answered = 0x100;
  dongle.policy = [&](const SeenTelegram& t, size_t) {
    if (t.kind == SeenTelegram::ReqUd2) dongle.reportAnswer = DongleModel::counterAnswer(++answered);
    return Reply{};
  };
  run(300);
  ASSERT_EQ(result, UpdateResult::Finished);
  uint32_t expected = 1;  // from the field until the first answer
  uint32_t reports = 0x100;
  for (const SeenTelegram& t : dongle.seen) {
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

TEST_F(EncryptedUpdate, TelegramTheDongleRejectsIsRepeatedWithTheSameCounter) {
  dongle.key[0] ^= 0x01;  // the dongle holds another key
  run(300);
  EXPECT_EQ(result, UpdateResult::NoAnswer);
  ASSERT_EQ(dongle.seen.size(), (size_t)COMMAND_SEND_LIMIT);
  for (const SeenTelegram& t : dongle.seen) {
    EXPECT_FALSE(t.macOk);
    EXPECT_EQ(t.counter, 1u);
  }
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS).back(),
            "No answer from the dongle at status report request; update stopped.\n");
}

TEST_F(EncryptedUpdate, LostAcknowledgementResendsTheBlockAtOnce) {
  int sends = 0;
  dongle.policy = [&](const SeenTelegram& t, size_t) { return Reply{t.block != 1 || ++sends > 1, 20}; };
  run(300);
  ASSERT_EQ(result, UpdateResult::Finished);
  EXPECT_EQ(stepNames(dongle), words("31 REQ 30 REQ 32:0 REQ 32:1 32:1 REQ 32:2 REQ 33 REQ 34"));
  const std::vector<const SeenTelegram*> b = blocks();
  EXPECT_EQ(b[2]->payload, b[1]->payload);
  EXPECT_EQ(b[2]->counter, b[1]->counter);
  EXPECT_EQ(b[2]->accessNumber, b[1]->accessNumber + 1);
  std::vector<uint8_t> fed(image.begin(), image.begin() + 256);
  fed.insert(fed.end(), image.begin() + 128, image.end());
  const std::vector<std::string> headings = sentHeadings(h.console);
  EXPECT_EQ(headings[6], blockLine(128, 300, bitwiseCrc32(fed.data(), 256)));
  EXPECT_EQ(headings[7], blockLine(128, 300, bitwiseCrc32(fed.data(), 384)));
  EXPECT_EQ(headings[9], blockLine(256, 300, bitwiseCrc32(fed.data(), 428)));
}

TEST_F(EncryptedUpdate, LateAcknowledgementConfirmsTheRepetition) {
  int sends = 0;
  dongle.policy = [&](const SeenTelegram& t, size_t) {
    if (t.block != 1) return Reply{};
    return ++sends == 1 ? Reply{true, 8100} : Reply{false, 0};  // after the 4000-poll wait
  };
  run(300);
  ASSERT_EQ(result, UpdateResult::Finished);
  EXPECT_EQ(stepNames(dongle), words("31 REQ 30 REQ 32:0 REQ 32:1 32:1 REQ 32:2 REQ 33 REQ 34"));
}

TEST_F(EncryptedUpdate, TestOptionsSkipAndRepeatBlocks) {
  struct Case {
    uint8_t skip, twice;
    std::vector<int> sequence;
  } cases[] = {
      {1, 0, join(range(0, 14), range(16, 49))},
      {0, 1, join(join(range(0, 41), {41}), range(42, 49))},
      {1, 1, join(join(join(range(0, 14), range(16, 42)), {42}), range(43, 49))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.skip) + "/" + std::to_string(c.twice));
    Harness harness;
    DongleModel model(harness);
    const std::vector<uint8_t> sent = prepareUpdate(50 * 128);
    skipBlock15 = c.skip;
    doubleBlock42 = c.twice;
    ASSERT_EQ(runFirmwareUpdate(harness.ctx), UpdateResult::Finished);
    EXPECT_EQ(model.blockSequence(), c.sequence);
    uint32_t crc = 0;
    for (int block : c.sequence) crc = bitwiseCrc32(sent.data() + 128 * block, 128, crc);
    EXPECT_EQ(sentHeadings(harness.console)[c.sequence.size() * 2 + 2], blockLine(6272, 6400, crc));
    for (size_t i = 0; i < sent.size(); ++i)
      ASSERT_EQ(model.imageWritten[i], !c.skip || i / 128 != 15) << i;
  }
}

TEST_F(EncryptedUpdate, SkipAtExactlySixteenBlocksSendsAnEmptyLastBlock) {
  Harness harness;
  DongleModel model(harness);
  prepareUpdate(16 * 128);
  skipBlock15 = 1;
  ASSERT_EQ(runFirmwareUpdate(harness.ctx), UpdateResult::Finished);
  EXPECT_EQ(model.blockSequence(), join(range(0, 14), {16}));
  const SeenTelegram& empty = *model.of(SeenTelegram::BlockCommand, 0x32).back();
  EXPECT_EQ(hex(bytes(empty.plain, 31, 16)), "2F 2F 0D FD F7 32 02 10 00 2F 2F 2F 2F 2F 2F 2F ");
  EXPECT_EQ(empty.plain.size(), 47u);
  EXPECT_EQ(stepNames(model).back(), "34");
}

TEST_F(EncryptedUpdate, OptionsApplyAgainWhenTheBlockAfterThemIsLost) {
  struct Case {
    uint8_t skip, twice;
    uint32_t blocks;
    int lostBlock, lostSend;  // the acknowledgement lost: block number and which send of it
    std::vector<int> sequence;
  } cases[] = {
      // A lost block 16 after the skip: the next pass skips again.
      {1, 0, 20, 16, 1, join(range(0, 14), range(16, 19))},
      // Sixteen blocks: the second skip would leave the image, so the data phase ends.
      {1, 0, 16, 16, 1, join(range(0, 14), {16})},
      // A lost repeat of block 41: the next pass steps back once more.
      {0, 1, 45, 41, 2, join(join(range(0, 41), {41, 40}), range(41, 44))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blocks);
    Harness harness;
    DongleModel model(harness);
    int sends = 0;
    model.policy = [&](const SeenTelegram& t, size_t) {
      return Reply{t.block != c.lostBlock || ++sends != c.lostSend, 20};
    };
    const std::vector<uint8_t> sent = prepareUpdate(c.blocks * 128);
    skipBlock15 = c.skip;
    doubleBlock42 = c.twice;
    ASSERT_EQ(runFirmwareUpdate(harness.ctx), UpdateResult::Finished);
    EXPECT_EQ(model.blockSequence(), c.sequence);
    EXPECT_EQ(stepNames(model).back(), "34");
  }
}

TEST_F(EncryptedUpdate, SkipFromAShortLastBlockEndsTheDataPhase) {
  Harness harness;
  DongleModel model(harness);
  prepareUpdate(15 * 128 + 30);  // block 15 holds 30 bytes
  skipBlock15 = 1;
  ASSERT_EQ(runFirmwareUpdate(harness.ctx), UpdateResult::Finished);
  EXPECT_EQ(model.blockSequence(), range(0, 14));
  EXPECT_EQ(transferOffset, firmwareLength);
}

TEST_F(EncryptedUpdate, SilentDongleInTheDataPhaseEndsAtTheBound) {
  dongle.policy = [](const SeenTelegram& t, size_t) { return Reply{t.block < 3, 20}; };
  run(2048);
  EXPECT_EQ(result, UpdateResult::NoAnswer);
  std::vector<int> expected = range(0, 2);
  expected.insert(expected.end(), ENCRYPTED_BLOCK_SEND_LIMIT, 3);
  EXPECT_EQ(blockNumbers(), expected);
  EXPECT_EQ(stepNames(dongle).back(), "32:3");
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS).back(),
            "No answer from the dongle at block 4 of 16; update stopped.\n");
  EXPECT_EQ(invocationCounter, 1u);
}

TEST_F(EncryptedUpdate, CancelDuringAFullImageStopsAtTheBlock) {
  dongle.onPoll = [&](long) {
    if (blocks().size() == 37) progress.cancel = true;
  };
  run(131104);
  EXPECT_EQ(result, UpdateResult::Cancelled);
  EXPECT_EQ(blocks().size(), 37u);
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS).back(), "Firmware update cancelled at block 37 of 1025.\n");
  EXPECT_EQ(progress.started, std::vector<std::string>{"encrypted QOR protocol/1025"});
  EXPECT_EQ(progress.steps.back(), "block 37 of 1025");
  EXPECT_EQ(progress.lastDone, 36u);
  EXPECT_EQ(progress.finished, 1);
  EXPECT_EQ(invocationCounter, 1u);
}

}  // namespace
