#include "firmware/simple_update.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "firmware/firmware_image.h"
#include "firmware/update_wait.h"
#include "tests/support/dongle_model.h"
#include "tests/support/fakes.h"

namespace {

std::string dumpText(const std::vector<uint8_t>& bytes) {
  std::string s;
  char item[8];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(item, sizeof item, "0x%02X ", bytes[i]);
    s += item;
    if (i % 16 == 15) s += "\n";
  }
  return s + "\n";
}

std::string format(const char* pattern, unsigned a, unsigned b, unsigned c) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

class SimpleUpdate : public ::testing::Test {
 protected:
  std::vector<uint8_t> run(uint32_t length) {
    image = prepareUpdate(length);
    useSimpleProtocol = 1;
    h.ctx.progress = &progress;
    result = runSimpleUpdate(h.ctx);
    return image;
  }
  std::vector<const SeenTelegram*> chunks() const { return dongle.of(SeenTelegram::SimpleChunk); }

  Harness h;
  DongleModel dongle{h};
  RecordingProgress progress;
  std::vector<uint8_t> image;
  UpdateResult result = UpdateResult::NoFirmware;
};

TEST_F(SimpleUpdate, ChunksCarryTheImageToConsecutiveAddresses) {
  for (uint32_t length : {0u, 7u, 200u, 300u, 384u, 2048u, 131104u}) {
    SCOPED_TRACE(length);
    Harness harness;
    DongleModel model(harness);
    const std::vector<uint8_t> bytes = prepareUpdate(length);
    ASSERT_EQ(runSimpleUpdate(harness.ctx), UpdateResult::Finished);

    const size_t count = (length + 191) / 192;
    const std::vector<const SeenTelegram*> sent = model.of(SeenTelegram::SimpleChunk);
    ASSERT_EQ(sent.size(), count);
    ASSERT_EQ(model.seen.size(), count + 2);
    std::vector<std::string> expected;
    for (size_t k = 0; k < count; ++k) {
      const SeenTelegram& t = *sent[k];
      const uint32_t offset = (uint32_t)(192 * k), n = std::min(192u, length - offset);
      const uint32_t address = 0x4800 + offset;
      const std::vector<uint8_t> header{0x5A, (uint8_t)k, 0, 0, 0, 0x0F, 0x35, 0x88, (uint8_t)n,
                                        (uint8_t)address, (uint8_t)(address >> 8), (uint8_t)(address >> 16), 0};
      ASSERT_EQ(t.userData.size(), 13 + n);
      EXPECT_EQ(hex(std::vector<uint8_t>(t.userData.begin(), t.userData.begin() + 13)), hex(header));
      EXPECT_TRUE(std::equal(t.payload.begin(), t.payload.end(), bytes.begin() + offset));
      expected.push_back(format(">>> Send FW data %d from %d to 0x%08X\n", offset, length, address));
    }
    const SeenTelegram& signature = model.seen[count];
    const SeenTelegram& start = model.seen[count + 1];
    EXPECT_EQ(hex(signature.userData), hex({0x5A, (uint8_t)count, 0, 0, 0, 0x0F, 0x35, 0x8D}));
    EXPECT_EQ(hex(start.userData), hex({0x5A, (uint8_t)(count + 1), 0, 0, 0, 0x0F, 0x35, 0x8E}));
    expected.push_back(">>> Send FW upgrade signature\n");
    expected.push_back(">>> Send FW upgrade start\n");
    EXPECT_EQ(sentHeadings(harness.console), expected);
    EXPECT_EQ(consoleLines(harness.console, STYLE_PROGRESS),
              (std::vector<std::string>{"Starting firmware update, unencrypted simple Brovanel protocol.\n",
                                        ">>> Upgrade process finished.\n"}));
    EXPECT_EQ(model.image, bytes);
    EXPECT_EQ(transferOffset, length);
    EXPECT_EQ(chunkSize, 192);
  }
}

TEST_F(SimpleUpdate, EveryHeadingIsFollowedByTheDumpOfItsFrame) {
  run(200);
  const std::string& text = h.console.text();
  size_t at = 0;
  for (const SeenTelegram& t : dongle.seen) {
    at = text.find(dumpText(t.frame), at);
    ASSERT_NE(at, std::string::npos) << hex(t.frame);
  }
  EXPECT_NE(text.find(">>> Send FW data 192 from 200 to 0x000048C0\n" + dumpText(dongle.seen[1].frame)),
            std::string::npos);
}

TEST_F(SimpleUpdate, SecondChunkOf200BytesMatchesTheWorkedExample) {
  run(200);
  std::vector<uint8_t> expected{0x5A, 0x01, 0x00, 0x00, 0x00, 0x0F, 0x35, 0x88, 0x08, 0xC0, 0x48, 0x00, 0x00};
  expected.insert(expected.end(), image.begin() + 192, image.end());
  EXPECT_EQ(hex(chunks().at(1)->userData), hex(expected));
  EXPECT_EQ(transferAddress, 0x48C0u);
}

TEST_F(SimpleUpdate, TwoFullChunksLeaveTheAddressOneChunkBeyond) {
  run(384);
  ASSERT_EQ(chunks().size(), 2u);
  EXPECT_EQ(chunks()[1]->address, 0x48C0u);
  EXPECT_EQ(transferAddress, 0x4980u);
}

TEST_F(SimpleUpdate, ProgressFollowsChunksAndSteps) {
  run(300);
  EXPECT_EQ(progress.started, std::vector<std::string>{"simple Brovanel protocol/2"});
  EXPECT_EQ(progress.steps,
            (std::vector<std::string>{"chunk 1 of 2", "chunk 2 of 2", "upgrade signature", "upgrade start"}));
  EXPECT_EQ(progress.lastDone, 2u);
  EXPECT_EQ(progress.finished, 1);
}

TEST_F(SimpleUpdate, EachWaitEndsAtTheReceivePollThatBringsTheAcknowledgement) {
  run(7);  // chunk, signature, start: the receive poll runs every 100 polls
  EXPECT_EQ(result, UpdateResult::Finished);
  EXPECT_LE(h.pump.polls, 3 * 100);
}

TEST_F(SimpleUpdate, LateAcknowledgementConfirmsTheRepetition) {
  // The first chunk's acknowledgement comes after the 1000-poll wait; the
  // repetition's own is lost, so the late one must carry it.
  dongle.policy = [](const SeenTelegram&, size_t index) {
    if (index == 0) return Reply{true, 2100};
    if (index == 1) return Reply{false, 0};
    return Reply{};
  };
  run(400);
  EXPECT_EQ(result, UpdateResult::Finished);
  ASSERT_EQ(chunks().size(), 4u);
  EXPECT_EQ(chunks()[1]->address, 0x4800u);
  EXPECT_EQ(chunks()[1]->payload, chunks()[0]->payload);
  EXPECT_EQ(chunks()[1]->accessNumber, chunks()[0]->accessNumber + 1);
  EXPECT_EQ(chunks()[2]->address, 0x48C0u);
  const std::vector<std::string> headings = sentHeadings(h.console);
  EXPECT_EQ(headings[0], headings[1]);
  EXPECT_EQ(dongle.image, image);
}

TEST_F(SimpleUpdate, SilentDongleEndsAtTheChunkBound) {
  dongle.silent = true;
  run(300);
  EXPECT_EQ(result, UpdateResult::NoAnswer);
  EXPECT_EQ(chunks().size(), (size_t)CHUNK_SEND_LIMIT);
  for (const SeenTelegram* t : chunks()) EXPECT_EQ(t->address, 0x4800u);
  EXPECT_EQ(h.pump.polls, (long)CHUNK_SEND_LIMIT * CHUNK_ACK_BUDGET);
  const std::vector<std::string> lines = consoleLines(h.console, STYLE_PROGRESS);
  EXPECT_EQ(lines.back(), "No answer from the dongle at chunk 1 of 2; update stopped.\n");
  EXPECT_EQ(progress.finished, 1);
}

TEST_F(SimpleUpdate, CommandStepsRideOutLostAcknowledgementsUpToTheBound) {
  for (int lost : {COMMAND_SEND_LIMIT - 1, COMMAND_SEND_LIMIT}) {
    SCOPED_TRACE(lost);
    Harness harness;
    DongleModel model(harness);
    int signatures = 0;
    model.policy = [&](const SeenTelegram& t, size_t) {
      return Reply{t.command != 0x8D || ++signatures > lost, 20};
    };
    prepareUpdate(10);
    const UpdateResult r = runSimpleUpdate(harness.ctx);
    const size_t sent = model.of(SeenTelegram::SimpleCommand, 0x8D).size();
    if (lost < COMMAND_SEND_LIMIT) {
      EXPECT_EQ(r, UpdateResult::Finished);
      EXPECT_EQ(sent, (size_t)lost + 1);
    } else {
      EXPECT_EQ(r, UpdateResult::NoAnswer);
      EXPECT_EQ(sent, (size_t)COMMAND_SEND_LIMIT);
      EXPECT_TRUE(model.of(SeenTelegram::SimpleCommand, 0x8E).empty());
      EXPECT_EQ(consoleLines(harness.console, STYLE_PROGRESS).back(),
                "No answer from the dongle at upgrade signature; update stopped.\n");
    }
  }
}

TEST_F(SimpleUpdate, CancelStopsAtOnceAndTheNextUpdateStartsAfresh) {
  dongle.onPoll = [&](long) {
    if (chunks().size() == 3) progress.cancel = true;
  };
  run(2048);
  EXPECT_EQ(result, UpdateResult::Cancelled);
  EXPECT_EQ(dongle.seen.size(), 3u);
  EXPECT_EQ(consoleLines(h.console, STYLE_PROGRESS).back(), "Firmware update cancelled at chunk 3 of 11.\n");
  EXPECT_EQ(progress.finished, 1);

  dongle.onPoll = nullptr;
  progress.cancel = false;
  dongle.seen.clear();
  EXPECT_EQ(runSimpleUpdate(h.ctx), UpdateResult::Finished);
  EXPECT_EQ(chunks().at(0)->address, 0x4800u);
  EXPECT_EQ(chunks().size(), 11u);
}

TEST_F(SimpleUpdate, LostPortEndsTheSequenceWithTheConnectionsLine) {
  dongle.onPoll = [&](long) {
    if (chunks().size() == 2) h.port->lost = true;
  };
  run(1000);
  EXPECT_EQ(result, UpdateResult::PortLost);
  EXPECT_EQ(chunks().size(), 2u);
  EXPECT_NE(h.console.text().find("Serial port /dev/ttyFAKE0 lost.\n"), std::string::npos);
  EXPECT_EQ(h.console.text().find("No answer"), std::string::npos);
}

TEST_F(SimpleUpdate, WithoutAConnectionTheFirstChunkRepeatsUpToTheBound) {
  h.link.disconnect();
  run(100);
  EXPECT_EQ(result, UpdateResult::NoAnswer);
  EXPECT_TRUE(h.port->written.empty());
  EXPECT_EQ(sentHeadings(h.console),
            std::vector<std::string>(CHUNK_SEND_LIMIT, ">>> Send FW data 0 from 100 to 0x00004800\n"));
}

}  // namespace
