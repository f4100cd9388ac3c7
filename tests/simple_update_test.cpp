#include "firmware/simple_update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/firmware_image.h"
#include "firmware/update_wait.h"
#include "tests/support/dongle_model.h"
#include "tests/support/fakes.h"

namespace {

std::string chunkLine(uint32_t offset, uint32_t length, uint32_t address) {
  char text[128];
  std::snprintf(text, sizeof text, ">>> Send FW data %d from %d to 0x%08X\n", (int)offset, (int)length, address);
  return text;
}

// For every image size: chunks of 192 bytes to 0x4800 onwards with their
// exact user data (the 200-byte image's second chunk is the worked example),
// signature and start, every heading followed by its frame's dump, progress,
// and the image as the dongle reassembles it. Each wait ends at the receive
// poll (every 100 polls) that brings the acknowledgement.
TEST(SimpleUpdate, EveryImageSizeGoesOutInChunksToConsecutiveAddresses) {
  for (uint32_t length : kImageSizes) {
    SCOPED_TRACE(length);
    UpdateRig rig;
    ASSERT_EQ(rig.run(length, runSimpleUpdate), UpdateResult::Finished);
    const uint32_t count = (length + 191) / 192;
    const std::vector<SeenTelegram>& seen = rig.dongle.seen;
    ASSERT_EQ(seen.size(), count + 2);
    std::vector<std::string> headings, steps;
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t offset = 192 * k, n = std::min(192u, length - offset), address = 0x4800 + offset;
      std::vector<uint8_t> expected{0x5A, (uint8_t)k, 0, 0, 0, 0x0F, 0x35, 0x88, (uint8_t)n,
                                    (uint8_t)address, (uint8_t)(address >> 8), (uint8_t)(address >> 16), 0};
      expected.insert(expected.end(), rig.image.begin() + offset, rig.image.begin() + offset + n);
      ASSERT_EQ(hex(seen[k].userData), hex(expected)) << "chunk " << k;
      headings.push_back(chunkLine(offset, length, address));
      steps.push_back("chunk " + std::to_string(k + 1) + " of " + std::to_string(count));
    }
    EXPECT_EQ(hex(seen[count].userData), hex({0x5A, (uint8_t)count, 0, 0, 0, 0x0F, 0x35, 0x8D}));
    EXPECT_EQ(hex(seen[count + 1].userData), hex({0x5A, (uint8_t)(count + 1), 0, 0, 0, 0x0F, 0x35, 0x8E}));
    headings.push_back(">>> Send FW upgrade signature\n");
    headings.push_back(">>> Send FW upgrade start\n");
    EXPECT_EQ(styledText(rig.h.console, STYLE_SENT), transcript(headings, rig.dongle));
    EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS),
              (std::vector<std::string>{"Starting firmware update, unencrypted simple Brovanel protocol.\n",
                                        ">>> Upgrade process finished.\n"}));
    EXPECT_EQ(rig.dongle.image, rig.image);
    EXPECT_EQ(transferOffset, length);
    EXPECT_EQ(chunkSize, 192);
    // The last partial chunk's address, or one chunk beyond the last full one.
    EXPECT_EQ(transferAddress, 0x4800 + 192 * (length / 192));
    EXPECT_LE(rig.h.pump.polls, 100L * (long)seen.size());

    steps.push_back("upgrade signature");
    steps.push_back("upgrade start");
    EXPECT_EQ(rig.progress.started, std::vector<std::string>{"simple Brovanel protocol/" + std::to_string(count)});
    EXPECT_EQ(rig.progress.steps, steps);
    EXPECT_EQ(rig.progress.lastDone, count);
    EXPECT_EQ(rig.progress.finished, 1);
  }
}

TEST(SimpleUpdate, LateAcknowledgementConfirmsTheRepetition) {
  // The first chunk's acknowledgement comes after the 1000-poll wait; the
  // repetition's own is lost, so the late one must carry it.
  UpdateRig rig;
  rig.dongle.policy = [](const SeenTelegram&, size_t index) {
    if (index == 0) return Reply{true, 2100};
    if (index == 1) return Reply{false, 0};
    return Reply{};
  };
  EXPECT_EQ(rig.run(400, runSimpleUpdate), UpdateResult::Finished);
  const std::vector<const SeenTelegram*> chunks = rig.dongle.of(SeenTelegram::SimpleChunk);
  ASSERT_EQ(chunks.size(), 4u);
  EXPECT_EQ(chunks[1]->address, 0x4800u);
  EXPECT_EQ(chunks[1]->payload, chunks[0]->payload);
  EXPECT_EQ(chunks[1]->accessNumber, chunks[0]->accessNumber + 1);
  EXPECT_EQ(chunks[2]->address, 0x48C0u);
  EXPECT_EQ(sentHeadings(rig.h.console)[1], chunkLine(0, 400, 0x4800));
  EXPECT_EQ(rig.dongle.image, rig.image);
}

TEST(SimpleUpdate, SilentDongleEndsAtTheChunkBound) {
  UpdateRig rig;
  rig.dongle.silent = true;
  EXPECT_EQ(rig.run(300, runSimpleUpdate), UpdateResult::NoAnswer);
  const std::vector<const SeenTelegram*> chunks = rig.dongle.of(SeenTelegram::SimpleChunk);
  EXPECT_EQ(chunks.size(), (size_t)CHUNK_SEND_LIMIT);
  for (const SeenTelegram* t : chunks) EXPECT_EQ(t->address, 0x4800u);
  EXPECT_EQ(rig.h.pump.polls, (long)CHUNK_SEND_LIMIT * CHUNK_ACK_BUDGET);
  EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS).back(),
            "No answer from the dongle at chunk 1 of 2; update stopped.\n");
  EXPECT_EQ(rig.progress.finished, 1);
}

TEST(SimpleUpdate, CommandStepsRideOutLostAcknowledgementsUpToTheBound) {
  for (int lost : {COMMAND_SEND_LIMIT - 1, COMMAND_SEND_LIMIT}) {
    SCOPED_TRACE(lost);
    UpdateRig rig;
    int signatures = 0;
    rig.dongle.policy = [&](const SeenTelegram& t, size_t) { return Reply{t.command != 0x8D || ++signatures > lost}; };
    const bool finishes = lost < COMMAND_SEND_LIMIT;
    EXPECT_EQ(rig.run(10, runSimpleUpdate), finishes ? UpdateResult::Finished : UpdateResult::NoAnswer);
    EXPECT_EQ(rig.dongle.of(SeenTelegram::SimpleCommand, 0x8D).size(), (size_t)(finishes ? lost + 1 : lost));
    EXPECT_EQ(rig.dongle.of(SeenTelegram::SimpleCommand, 0x8E).size(), finishes ? 1u : 0u);
    if (!finishes) {
      EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS).back(),
                "No answer from the dongle at upgrade signature; update stopped.\n");
    }
  }
}

TEST(SimpleUpdate, CancelStopsAtOnceAndTheNextUpdateStartsAfresh) {
  UpdateRig rig;
  rig.dongle.onPoll = [&](long) {
    if (rig.dongle.seen.size() == 3) rig.progress.cancel = true;
  };
  EXPECT_EQ(rig.run(2048, runSimpleUpdate), UpdateResult::Cancelled);
  EXPECT_EQ(rig.dongle.seen.size(), 3u);
  EXPECT_EQ(consoleLines(rig.h.console, STYLE_PROGRESS).back(), "Firmware update cancelled at chunk 3 of 11.\n");
  EXPECT_EQ(rig.progress.finished, 1);

  rig.dongle.onPoll = nullptr;
  rig.progress.cancel = false;
  rig.dongle.seen.clear();
  EXPECT_EQ(runSimpleUpdate(rig.h.ctx), UpdateResult::Finished);
  const std::vector<const SeenTelegram*> chunks = rig.dongle.of(SeenTelegram::SimpleChunk);
  EXPECT_EQ(chunks.at(0)->address, 0x4800u);
  EXPECT_EQ(chunks.size(), 11u);
}

TEST(SimpleUpdate, LostPortEndsTheSequenceWithTheConnectionsLine) {
  UpdateRig rig;
  rig.dongle.onPoll = [&](long) {
    if (rig.dongle.seen.size() == 2) rig.h.port->lost = true;
  };
  EXPECT_EQ(rig.run(1000, runSimpleUpdate), UpdateResult::PortLost);
  EXPECT_EQ(rig.dongle.seen.size(), 2u);
  EXPECT_NE(rig.h.console.text().find("Serial port /dev/ttyFAKE0 lost.\n"), std::string::npos);
  EXPECT_EQ(rig.h.console.text().find("No answer"), std::string::npos);
}

TEST(SimpleUpdate, WithoutAConnectionTheFirstChunkRepeatsUpToTheBound) {
  UpdateRig rig;
  rig.h.link.disconnect();
  EXPECT_EQ(rig.run(100, runSimpleUpdate), UpdateResult::NoAnswer);
  EXPECT_TRUE(rig.h.port->written.empty());
  EXPECT_EQ(sentHeadings(rig.h.console), std::vector<std::string>(CHUNK_SEND_LIMIT, chunkLine(0, 100, 0x4800)));
}

}  // namespace
