// Every update protocol against a dongle that misbehaves, in virtual time:
// lost, late and corrupted answers and stray bytes are ridden out and the
// dongle ends with the very image; a silent dongle, a lost line and Cancel
// stop the update with one closing line and nothing sent after it.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "commands/identity_fields.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"
#include "firmware/update_sequence.h"
#include "tests/support/virtual_line.h"

namespace {

// The first data telegram the tool moved on from without an acknowledgement
// before its next telegram (a stale one raised before it was sent), or "".
std::string movedOnUnacknowledged(const std::string& console) {
  std::string previous;
  bool acked = true, waiting = false;
  std::istringstream lines(console);
  for (std::string line; std::getline(lines, line);) {
    if (line == "<<< Answer single byte ACK.") acked = acked || waiting;
    if (line.rfind(">>> ", 0) == 0) waiting = false;
    if (line.rfind(">>> Send FW data ", 0) != 0) continue;
    const std::string data = line.substr(0, line.find(" CRC32"));  // a resend's running CRC differs
    if (!acked && data != previous) return previous;
    previous = data;
    acked = false;
    waiting = true;
  }
  return "";
}

enum class Ends { Finished, NoAnswer, PortLost, Cancelled };

struct Fault {
  const char* name;
  std::function<void(vdongle::DongleConfig&)> configure;
  Ends ends;
  uint64_t (*happened)(const vdongle::DongleStats&);  // evidence the row took place; 0: it did not
  long cancelAfterPolls = -1;
  size_t imageBytes = 640;
};

// Every telegram acknowledged or answered; after silence, those ignored.
uint64_t served(const vdongle::DongleStats& s) { return s.acksSent + s.answersSent == s.telegrams ? s.telegrams : 0; }
uint64_t ignored(const vdongle::DongleStats& s) { return s.telegrams - s.acksSent - s.answersSent; }
uint64_t lateAcks(const vdongle::DongleStats& s) { return s.acksLate; }

// 10 ms past a wait of `polls`, an acknowledgement arrives during the next exchange.
std::function<void(vdongle::DongleConfig&)> justPast(int polls) {
  return [polls](vdongle::DongleConfig& c) {
    c.faults.lateAck = 0.3;
    c.faults.lateAckUs = (uint64_t)polls * VirtualLine::POLL_US + 10000;
  };
}

const Fault kFaults[] = {
    {"clean line", [](vdongle::DongleConfig&) {}, Ends::Finished, served},
    // 64 blocks: in all more lost acknowledgements than one block may go without, never that many in a row.
    {"lost acknowledgements", [](vdongle::DongleConfig& c) { c.faults.dropAck = 0.3; }, Ends::Finished,
     [](const vdongle::DongleStats& s) -> uint64_t { return s.acksDropped > CHUNK_SEND_LIMIT; }, -1, 64 * 128},
    {"corrupted answers", [](vdongle::DongleConfig& c) { c.faults.corrupt = 0.4; }, Ends::Finished,
     // The simple protocol asks for no answers.
     [](const vdongle::DongleStats& s) { return s.answersSent ? s.answersCorrupted : 1; }},
    {"acknowledgements just past a plain block's wait", justPast(CHUNK_ACK_BUDGET), Ends::Finished, lateAcks},
    {"acknowledgements just past an encrypted block's wait", justPast(ENCRYPTED_BLOCK_ACK_BUDGET), Ends::Finished, lateAcks},
    {"stray bytes", [](vdongle::DongleConfig& c) { c.faults.stray = 0.4; }, Ends::Finished,
     [](const vdongle::DongleStats& s) { return s.strayBytes; }},
    {"dongle falls silent", [](vdongle::DongleConfig& c) { c.faults.silentAfter = 4; }, Ends::NoAnswer, ignored},
    {"line closed", [](vdongle::DongleConfig& c) { c.faults.closeAfter = 4; }, Ends::PortLost,
     [](const vdongle::DongleStats& s) -> uint64_t { return s.telegrams == 4; }},
    {"cancelled", [](vdongle::DongleConfig&) {}, Ends::Cancelled,  // under way, never finished
     [](const vdongle::DongleStats& s) { return s.transfersFinished ? 0 : s.telegrams; }, 300},
};

// 640 bytes, unless a row says otherwise: five whole blocks, three chunks and a short fourth.
const struct {
  const char* name;
  UpdateOption option;
  bool on;
  unsigned unitBytes;  // of a block or a chunk, as the progress view counts them
} kProtocols[] = {
    {"encrypted", UpdateOption::Encryption, true, 128},
    {"block", UpdateOption::Encryption, false, 128},
    {"simple", UpdateOption::SimpleProtocol, true, 192},
};

// The longest any protocol may wait before it gives up: 5 sends of 11000
// polls of 2 ms per step, plus the steps already done.
constexpr uint64_t kGiveUpBoundUs = 5ull * 11000 * 2000 + 60000000;

// Both ways of reading answers: the 200 ms receive poll, and fast answers.
TEST(UpdateFaults, EveryProtocolRidesOutABadLineAndStopsCleanlyOnADeadOne) {
  for (const auto& protocol : kProtocols) {
    uint64_t cleanUs[2] = {};  // a clean update's time without and with fast answers
    for (const bool fast : {false, true})
    for (const Fault& fault : kFaults) {
      SCOPED_TRACE(std::string(protocol.name) + ", " + fault.name + (fast ? ", fast answers" : ""));
      vdongle::DongleConfig config = VirtualLine::dongleConfig();
      config.faults.seed = 11;
      fault.configure(config);
      VirtualLine line(config);
      std::vector<uint8_t> lastTelegram;  // a write is one telegram
      line.port->onWrite = [&, toDongle = line.port->onWrite](const uint8_t* bytes, int n) {
        lastTelegram.assign(bytes, bytes + n), toDongle(bytes, n);
      };
      line.afterPoll = [&](VirtualLine& l) {
        if (l.engine.closeRequested()) l.port->lost = true;
        if (fault.cancelAfterPolls >= 0 && l.polls >= fault.cancelAfterPolls) l.progress.cancel = true;
      };
      setUpdateOption(protocol.option, protocol.on);
      setUpdateOption(UpdateOption::FastAnswers, fast);
      const std::vector<uint8_t> image = line.loadImage(fault.imageBytes);
      const UpdateOutcome outcome = runFirmwareUpdate(line.ctx);
      const UpdateResult result = outcome.result;
      const size_t writtenAtEnd = line.port->written.size();
      // The typed outcome tells the closing line: the last one, or the lost port's.
      const size_t closing = line.console.text().rfind(outcome.line + "\n");
      EXPECT_TRUE(!outcome.line.empty() && closing != std::string::npos) << outcome.line;
      if (result != UpdateResult::PortLost) {
        EXPECT_EQ(closing + outcome.line.size() + 1, line.console.text().size());
      }
      EXPECT_EQ(outcome.counter, invocationCounter);
      EXPECT_EQ(outcome.step.empty(), result == UpdateResult::Finished) << outcome.step;
      line.idle();
      const std::string& text = line.console.text();
      EXPECT_TRUE(line.progress.finished);
      EXPECT_EQ(line.progress.total, (fault.imageBytes + protocol.unitBytes - 1) / protocol.unitBytes);
      EXPECT_GT(fault.happened(line.engine.stats()), 0u) << "the fault never happened";
      EXPECT_EQ(line.port->written.size(), writtenAtEnd) << "sent after the end";
      switch (fault.ends) {
        case Ends::Finished: {
          EXPECT_EQ(result, UpdateResult::Finished);
          // The closing step once more, as when its acknowledgement is lost: the image stands.
          line.engine.receive(lastTelegram.data(), lastTelegram.size(), line.nowUs);
          const auto done = line.engine.takeCompleted();
          ASSERT_EQ(done.size(), 1u);
          EXPECT_TRUE(done.front().image == image) << done.front().image.size() << " bytes received";
          EXPECT_EQ(movedOnUnacknowledged(text), "");
          if (!cleanUs[fast]) cleanUs[fast] = line.nowUs;
          break;
        }
        case Ends::NoAnswer:
          EXPECT_EQ(result, UpdateResult::NoAnswer);
          EXPECT_NE(text.find("No answer from the dongle at "), std::string::npos);
          EXPECT_LT(line.nowUs, kGiveUpBoundUs);
          break;
        case Ends::PortLost: {
          EXPECT_EQ(result, UpdateResult::PortLost);
          const std::string lost = "Serial port /dev/ttyFAKE0 lost.\n";
          EXPECT_NE(text.find(lost), std::string::npos);
          EXPECT_EQ(text.find(lost), text.rfind(lost)) << "a lost port is told once";
          break;
        }
        case Ends::Cancelled:
          EXPECT_EQ(result, UpdateResult::Cancelled);
          EXPECT_NE(text.find("Firmware update cancelled at "), std::string::npos);
          break;
      }
      if (fast) {
        EXPECT_GE(line.shortestRestUs, 11000000u / 9600) << "less than 11 bit times after an answer";
      }
      if (fault.ends != Ends::Finished) {
        EXPECT_TRUE(line.engine.takeCompleted().empty());
      }
    }
    EXPECT_LT(cleanUs[1] * 4, cleanUs[0] * 3) << protocol.name << ": fast answers are not faster";
  }
}

TEST(UpdateFaults, WithoutImageOrPortNothingIsSentAndNothingChanges) {
  const struct {
    const char* name;
    size_t image;
    void (*breakLine)(VirtualLine&);
    UpdateResult result;
  } cases[] = {
      {"no image", 0, [](VirtualLine&) {}, UpdateResult::NoFirmware},
      {"no port", 700, [](VirtualLine& l) { l.link.disconnect(); }, UpdateResult::NotConnected},
      {"port lost before the first telegram", 700,
       [](VirtualLine& l) {
         l.port->lost = true;
         l.nowUs = l.nextReceiveUs;  // the receive poll is due and sees it
       },
       UpdateResult::NotConnected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualLine line;
    if (c.image) line.loadImage(c.image);
    const std::string loaded = line.console.text();
    c.breakLine(line);
    EXPECT_EQ(runFirmwareUpdate(line.ctx).result, c.result);
    EXPECT_TRUE(line.port->written.empty());
    EXPECT_EQ(line.console.text().find(">>>"), std::string::npos) << line.console.text();
    EXPECT_EQ(firmwareLoaded, c.image ? ImageState::Loaded : ImageState::Empty);
    EXPECT_EQ(accessNumber, 0);
  }
}

}  // namespace
