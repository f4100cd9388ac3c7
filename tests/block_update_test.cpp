#include "firmware/block_update.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "firmware/update_wait.h"
#include "tests/support/dongle_model.h"
#include "tests/support/fakes.h"

namespace {

const std::string kReqUd2Line = ">>> REQ_UD2\n";

std::vector<uint8_t> userData(uint8_t accessNumber, uint8_t command, const std::vector<uint8_t>& params = {}) {
  std::vector<uint8_t> data{0x5A, accessNumber, 0x00, 0x00, 0x00};
  const std::vector<uint8_t> record = blockRecord(command, params);
  data.insert(data.end(), record.begin(), record.end());
  return data;
}

// For every image size (300 bytes is the worked example): the steps in order
// with their exact telegrams, every block's running CRC in its heading, each
// heading followed by its frame's dump, the 1000 ms pause between validate
// and the block status request, and the image as the dongle reassembles it.
TEST(BlockUpdate, EveryImageSizeRunsTheStepsWithExactTelegramsAndCrcs) {
  for (uint32_t length : kImageSizes) {
    SCOPED_TRACE(length);
    UpdateRig rig;
    ASSERT_EQ(rig.run(length, runBlockUpdate), UpdateResult::Finished);
    const uint32_t count = (length + 127) / 128;
    std::vector<std::string> steps = words("31 30 REQ"), headings;
    std::vector<std::vector<uint8_t>> sent{
        userData(0, 0x31), userData(1, 0x30, {(uint8_t)length, (uint8_t)(length >> 8), (uint8_t)(length >> 16), 0, 0x80}),
        {}};
    headings = {">>> FW upgrade request for readout status report.\n", ">>> FW upgrade send start.\n", kReqUd2Line};
    uint32_t crc = 0;
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t offset = 128 * k, n = std::min(128u, length - offset);
      crc = bitwiseCrc32(rig.image.data() + offset, n, crc);
      steps.insert(steps.end(), {"32:" + std::to_string(k), "REQ"});
      sent.insert(sent.end(), {userData((uint8_t)(2 + k), 0x32, blockParams(rig.image, (int)k)), {}});
      headings.insert(headings.end(), {blockLine(offset, length, crc), kReqUd2Line});
    }
    for (const std::string& s : words("33 36 REQ REQ 34")) steps.push_back(s);
    sent.insert(sent.end(), {userData((uint8_t)(2 + count), 0x33), userData((uint8_t)(3 + count), 0x36), {}, {},
                             userData((uint8_t)(4 + count), 0x34)});
    headings.insert(headings.end(), {">>> FW upgrade send validate.\n",
                                     ">>> FW upgrade request for readout block status report.\n", kReqUd2Line,
                                     kReqUd2Line, ">>> FW upgrade send activate.\n"});

    ASSERT_EQ(stepNames(rig.dongle), steps);
    for (size_t i = 0; i < sent.size(); ++i) {
      const SeenTelegram& t = rig.dongle.seen[i];
      if (t.kind == SeenTelegram::ReqUd2)
        ASSERT_EQ(hex(t.frame), "10 5B FB 56 16 ");
      else
        ASSERT_EQ(hex(t.userData), hex(sent[i])) << "telegram " << i;
    }
    EXPECT_EQ(styledText(rig.h.console, STYLE_SENT),
              transcript(headings, rig.dongle) +
                  "Dongle is now reprogramming, please reselect Dongle and check result.\n");
    EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS),
              std::vector<std::string>{"Starting firmware update, unencrypted QOR protocol.\n"});
    EXPECT_EQ(rig.dongle.image, rig.image);
    const size_t validate = 3 + 2 * count;
    EXPECT_EQ(rig.dongle.seen[validate].pausedMsBefore, 0);
    EXPECT_EQ(rig.dongle.seen[validate + 1].pausedMsBefore, 1000);
    EXPECT_EQ(rig.h.pump.pausedMs, 1000);
    EXPECT_EQ(rig.h.fields.status, "Connected to serial [/dev/ttyFAKE0] baudrate 9600");  // REQ_UD2 leaves it
  }
}

// The block is sent again after its REQ_UD2 exchange, with the same offset and
// block number, and enters the running CRC a second time.
TEST(BlockUpdate, LostAcknowledgementRepeatsTheBlockAfterItsReport) {
  UpdateRig rig;
  int blockOneSends = 0;
  rig.dongle.policy = [&](const SeenTelegram& t, size_t) { return Reply{t.block != 1 || ++blockOneSends > 1}; };
  ASSERT_EQ(rig.run(300, runBlockUpdate), UpdateResult::Finished);
  EXPECT_EQ(stepNames(rig.dongle), words("31 30 REQ 32:0 REQ 32:1 REQ 32:1 REQ 32:2 REQ 33 36 REQ REQ 34"));
  const std::vector<const SeenTelegram*> blocks = rig.dongle.of(SeenTelegram::BlockCommand, 0x32);
  EXPECT_EQ(blocks[2]->payload, blocks[1]->payload);
  EXPECT_EQ(blocks[2]->accessNumber, blocks[1]->accessNumber + 1);
  std::vector<uint8_t> fed(rig.image.begin(), rig.image.begin() + 256);
  fed.insert(fed.end(), rig.image.begin() + 128, rig.image.begin() + 256);
  const std::vector<std::string> headings = sentHeadings(rig.h.console);
  EXPECT_EQ(headings[5], blockLine(128, 300, bitwiseCrc32(fed.data(), 256)));
  EXPECT_EQ(headings[7], blockLine(128, 300, bitwiseCrc32(fed.data(), 384)));
  EXPECT_EQ(rig.dongle.image, rig.image);
}

// Whichever step the dongle stops answering, the bound ends the sequence
// there with a line that names the step.
TEST(BlockUpdate, SilenceAtAnyStepEndsAtTheBoundWithItsLine) {
  std::vector<std::string> blockTwo = words("31 30 REQ 32:0 REQ 32:1 REQ"), reportAfterZero = words("31 30 REQ 32:0");
  for (int i = 0; i < CHUNK_SEND_LIMIT; ++i) blockTwo.insert(blockTwo.end(), {"32:2", "REQ"});
  blockTwo.pop_back();
  reportAfterZero.insert(reportAfterZero.end(), COMMAND_SEND_LIMIT, "REQ");
  const struct {
    std::function<Reply(const SeenTelegram&, size_t)> policy;
    std::vector<std::string> steps;
    const char* step;
  } cases[] = {
      {[](const SeenTelegram&, size_t) { return Reply{false}; }, std::vector<std::string>(COMMAND_SEND_LIMIT, "31"),
       "status report request"},
      {[](const SeenTelegram& t, size_t) { return Reply{t.block != 2}; }, blockTwo, "block 3 of 3"},
      {[](const SeenTelegram& t, size_t i) { return Reply{t.kind != SeenTelegram::ReqUd2 || i < 3}; },
       reportAfterZero, "REQ_UD2 after block 1 of 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    UpdateRig rig;
    rig.dongle.policy = c.policy;
    EXPECT_EQ(rig.run(300, runBlockUpdate), UpdateResult::NoAnswer);
    EXPECT_EQ(stepNames(rig.dongle), c.steps);
    EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS).back(),
              "No answer from the dongle at " + std::string(c.step) + "; update stopped.\n");
    if (c.steps[0] == c.steps[1]) {
      EXPECT_EQ(rig.h.pump.polls, (long)COMMAND_SEND_LIMIT * ANSWER_BUDGET);
    }
  }
}

TEST(BlockUpdate, CancelDuringABlockStopsThere) {
  UpdateRig rig;
  rig.dongle.onPoll = [&](long) {
    if (rig.dongle.of(SeenTelegram::BlockCommand, 0x32).size() == 2) rig.progress.cancel = true;
  };
  EXPECT_EQ(rig.run(2048, runBlockUpdate), UpdateResult::Cancelled);
  EXPECT_EQ(stepNames(rig.dongle), words("31 30 REQ 32:0 REQ 32:1"));
  EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS).back(), "Firmware update cancelled at block 2 of 16.\n");
  EXPECT_EQ(rig.progress.started, std::vector<std::string>{"unencrypted QOR protocol/16"});
  EXPECT_EQ(rig.progress.lastDone, 1u);
  EXPECT_EQ(rig.progress.finished, 1);
}

}  // namespace
