#include "firmware/block_update.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "firmware/firmware_image.h"
#include "firmware/update_wait.h"
#include "tests/support/dongle_model.h"
#include "tests/support/fakes.h"

namespace {

class BlockUpdate : public ::testing::Test {
 protected:
  void run(uint32_t length) {
    image = prepareUpdate(length);
    encryptionOn = 0;
    h.ctx.progress = &progress;
    result = runBlockUpdate(h.ctx);
  }
  std::vector<const SeenTelegram*> blocks() const { return dongle.of(SeenTelegram::BlockCommand, 0x32); }

  Harness h;
  DongleModel dongle{h};
  RecordingProgress progress;
  std::vector<uint8_t> image;
  UpdateResult result = UpdateResult::NoFirmware;
};

TEST_F(BlockUpdate, CommandsRunInOrderWithTheirExactTelegrams) {
  run(300);
  ASSERT_EQ(result, UpdateResult::Finished);
  EXPECT_EQ(stepNames(dongle), words("31 30 REQ 32:0 REQ 32:1 REQ 32:2 REQ 33 36 REQ REQ 34"));
  const auto& s = dongle.seen;
  EXPECT_EQ(hex(s[0].userData), "5A 00 00 00 00 08 FD F7 31 ");
  EXPECT_EQ(hex(s[1].userData), "5A 01 00 00 00 0D FD F7 30 05 2C 01 00 00 80 ");
  EXPECT_EQ(hex(s[2].frame), "10 5B FB 56 16 ");
  EXPECT_EQ(hex(s[9].userData), "5A 05 00 00 00 0D FD F7 33 00 ");
  EXPECT_EQ(hex(s[10].userData), "5A 06 00 00 00 08 FD F7 36 ");
  EXPECT_EQ(hex(s[13].userData), "5A 07 00 00 00 0D FD F7 34 00 ");
  // The last block: header, LVAR 0x2E, block 2, then the 44 bytes from 256.
  std::vector<uint8_t> last{0x5A, 0x04, 0x00, 0x00, 0x00, 0x0D, 0xFD, 0xF7, 0x32, 0x2E, 0x02, 0x00};
  last.insert(last.end(), image.begin() + 256, image.end());
  EXPECT_EQ(hex(s[7].userData), hex(last));
  // The 1000 ms pause lies between validate and the block status request.
  EXPECT_EQ(s[9].pausedMsBefore, 0);
  EXPECT_EQ(s[10].pausedMsBefore, 1000);
  EXPECT_EQ(h.pump.pausedMs, 1000);

  EXPECT_EQ(sentHeadings(h.console),
            (std::vector<std::string>{">>> FW upgrade request for readout status report.\n",
                                      ">>> FW upgrade send start.\n", ">>> REQ_UD2\n",
                                      blockLine(0, 300, bitwiseCrc32(image.data(), 128)), ">>> REQ_UD2\n",
                                      blockLine(128, 300, bitwiseCrc32(image.data(), 256)), ">>> REQ_UD2\n",
                                      blockLine(256, 300, bitwiseCrc32(image.data(), 300)), ">>> REQ_UD2\n",
                                      ">>> FW upgrade send validate.\n",
                                      ">>> FW upgrade request for readout block status report.\n",
                                      ">>> REQ_UD2\n", ">>> REQ_UD2\n", ">>> FW upgrade send activate.\n"}));
  EXPECT_EQ(consoleLines(h.console, STYLE_SENT).back(),
            "Dongle is now reprogramming, please reselect Dongle and check result.\n");
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS),
            std::vector<std::string>{"Starting firmware update, unencrypted QOR protocol.\n"});
  EXPECT_EQ(h.fields.status, "Connected to serial [/dev/ttyFAKE0] baudrate 9600");  // REQ_UD2 leaves it
}

TEST_F(BlockUpdate, BlocksCarryEveryImageSizeWithTheirCrc) {
  for (uint32_t length : {0u, 7u, 200u, 300u, 384u, 2048u, 131104u}) {
    SCOPED_TRACE(length);
    Harness harness;
    DongleModel model(harness);
    const std::vector<uint8_t> bytes = prepareUpdate(length);
    encryptionOn = 0;
    ASSERT_EQ(runBlockUpdate(harness.ctx), UpdateResult::Finished);

    const std::vector<const SeenTelegram*> sent = model.of(SeenTelegram::BlockCommand, 0x32);
    ASSERT_EQ(sent.size(), (length + 127) / 128);
    std::vector<std::string> lines;
    uint32_t crc = 0;
    for (size_t k = 0; k < sent.size(); ++k) {
      const uint32_t offset = (uint32_t)(128 * k), n = std::min(128u, length - offset);
      EXPECT_EQ(sent[k]->block, (int)k);
      EXPECT_EQ(sent[k]->userData.size(), 12 + n);
      EXPECT_EQ(sent[k]->params.size(), n + 2);  // LVAR
      crc = bitwiseCrc32(bytes.data() + offset, n, crc);
      lines.push_back(blockLine(offset, length, crc));
    }
    std::vector<std::string> data;
    for (const std::string& line : sentHeadings(harness.console))
      if (line.rfind(">>> Send FW data", 0) == 0) data.push_back(line);
    EXPECT_EQ(data, lines);
    EXPECT_EQ(model.image, bytes);
    const SeenTelegram& start = model.seen[1];
    EXPECT_EQ(hex(std::vector<uint8_t>(start.params.begin(), start.params.begin() + 4)),
              hex({(uint8_t)length, (uint8_t)(length >> 8), (uint8_t)(length >> 16), 0}));
    if (length == 0) {
      EXPECT_EQ(stepNames(model), words("31 30 REQ 33 36 REQ REQ 34"));
    }
  }
}

TEST_F(BlockUpdate, LostAcknowledgementRepeatsTheBlockAfterItsReport) {
  int blockOneSends = 0;
  dongle.policy = [&](const SeenTelegram& t, size_t) { return Reply{t.block != 1 || ++blockOneSends > 1, 20}; };
  run(300);
  ASSERT_EQ(result, UpdateResult::Finished);
  EXPECT_EQ(stepNames(dongle), words("31 30 REQ 32:0 REQ 32:1 REQ 32:1 REQ 32:2 REQ 33 36 REQ REQ 34"));
  ASSERT_EQ(blocks().size(), 4u);
  EXPECT_EQ(blocks()[2]->payload, blocks()[1]->payload);
  EXPECT_EQ(blocks()[2]->accessNumber, blocks()[1]->accessNumber + 1);
  // The repeated block enters the running CRC a second time.
  std::vector<uint8_t> fed(image.begin(), image.begin() + 256);
  fed.insert(fed.end(), image.begin() + 128, image.begin() + 256);
  const std::vector<std::string> headings = sentHeadings(h.console);
  EXPECT_EQ(headings[5], blockLine(128, 300, bitwiseCrc32(fed.data(), 256)));
  EXPECT_EQ(headings[7], blockLine(128, 300, bitwiseCrc32(fed.data(), 384)));
  EXPECT_EQ(dongle.image, image);
}

TEST_F(BlockUpdate, SilentDongleEndsAtTheFirstStepAfterTheBound) {
  dongle.silent = true;
  run(300);
  EXPECT_EQ(result, UpdateResult::NoAnswer);
  EXPECT_EQ(stepNames(dongle), std::vector<std::string>(COMMAND_SEND_LIMIT, "31"));
  EXPECT_EQ(h.pump.polls, (long)COMMAND_SEND_LIMIT * ANSWER_BUDGET);
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS).back(),
            "No answer from the dongle at status report request; update stopped.\n");
}

TEST_F(BlockUpdate, NeverAcknowledgedBlockEndsAtTheBound) {
  dongle.policy = [](const SeenTelegram& t, size_t) { return Reply{t.block != 2, 20}; };
  run(300);
  EXPECT_EQ(result, UpdateResult::NoAnswer);
  std::vector<std::string> expected = words("31 30 REQ 32:0 REQ 32:1 REQ");
  for (int i = 0; i < CHUNK_SEND_LIMIT; ++i) {
    expected.push_back("32:2");
    if (i + 1 < CHUNK_SEND_LIMIT) expected.push_back("REQ");
  }
  EXPECT_EQ(stepNames(dongle), expected);
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS).back(),
            "No answer from the dongle at block 3 of 3; update stopped.\n");
}

TEST_F(BlockUpdate, UnansweredReportNamesTheBlockBefore) {
  dongle.policy = [](const SeenTelegram& t, size_t index) {
    return Reply{t.kind != SeenTelegram::ReqUd2 || index < 3, 20};
  };
  run(300);
  EXPECT_EQ(result, UpdateResult::NoAnswer);
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS).back(),
            "No answer from the dongle at REQ_UD2 after block 1 of 3; update stopped.\n");
}

TEST_F(BlockUpdate, CancelDuringABlockStopsThere) {
  dongle.onPoll = [&](long) {
    if (blocks().size() == 2) progress.cancel = true;
  };
  run(2048);
  EXPECT_EQ(result, UpdateResult::Cancelled);
  EXPECT_EQ(stepNames(dongle), words("31 30 REQ 32:0 REQ 32:1"));
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS).back(), "Firmware update cancelled at block 2 of 16.\n");
  EXPECT_EQ(progress.started, std::vector<std::string>{"unencrypted QOR protocol/16"});
  EXPECT_EQ(progress.lastDone, 1u);
  EXPECT_EQ(progress.finished, 1);
}

}  // namespace
