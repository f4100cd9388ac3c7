// The virtual dongle without any I/O: bytes from the tool go in (any split,
// with the time they were handed over), the dongle's bytes come out with the
// time they are due on a paced line. It acknowledges, answers REQ_UD2 (plain
// CI 0x72 or protected CI 0x90), takes firmware by the three update protocols
// and injects seeded faults on demand. Times are microseconds on any
// monotonic clock; the engine never reads a clock itself.
#pragma once
#include <cstdint>
#include <vector>

#include "virtual-dongle/dongle_frames.h"
#include "virtual-dongle/firmware_receiver.h"
#include "virtual-dongle/line_pacer.h"

namespace vdongle {

struct DongleIdentity {
  uint8_t id[4] = {0x04, 0x03, 0x02, 0x01};  // 01020304, LSB first
  uint16_t manufacturer = 0x0A56;            // BRV
  uint8_t version = 0x40;
  uint8_t deviceType = 0x03;
};

struct FaultOptions {
  double dropAck = 0;   // share of acknowledgements never sent
  double corrupt = 0;   // share of long answers sent with a damaged byte
  double stray = 0;     // share of transmissions preceded by 1 to 3 stray bytes
  double lateAck = 0;   // share of acknowledgements sent lateAckUs late
  uint64_t lateAckUs = 2500000;
  int64_t silentAfter = -1;  // serve this many telegrams, then say nothing
  int64_t closeAfter = -1;   // serve this many telegrams, then close the line
  uint64_t seed = 1;
};

struct DongleConfig {
  DongleIdentity identity;
  uint8_t key[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                     0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
  bool protectAnswers = false;
  uint32_t answerCounter = 1;  // message counter of the first answer
  int64_t acceptedCounter = -1;  // a counter accepted before this run: older ones are replays
  int baud = 9600;             // 9600, 2400, or 0 for no pacing
  uint64_t frameGapUs = 50000;
  uint64_t replyDelayUs = 0;  // telegram end to reply start; 0: one character time
  uint32_t maxImage = 1u << 20;
  FaultOptions faults;
};

struct DongleStats {
  uint64_t telegrams = 0;      // good frames addressed to the dongle
  uint64_t foreignFrames = 0;  // good frames for another address or function
  uint64_t badFrames = 0;
  uint64_t garbageBytes = 0;
  uint64_t truncatedFrames = 0;
  uint64_t acksSent = 0, acksDropped = 0, acksLate = 0;
  uint64_t answersSent = 0, answersCorrupted = 0;
  uint64_t strayBytes = 0;
  uint64_t macFailures = 0, staleCounters = 0, decryptFailures = 0, layoutFailures = 0;
  uint64_t unknownTelegrams = 0;
  uint64_t transfersFinished = 0;
  uint64_t repeatedFinishes = 0;  // activate or upgrade start with no transfer in progress
  bool counterAccepted = false;
  uint32_t lastAcceptedCounter = 0;
};

class DongleEngine {
 public:
  explicit DongleEngine(const DongleConfig& config);

  void receive(const uint8_t* bytes, size_t n, uint64_t nowUs);
  void takeDue(uint64_t nowUs, std::vector<uint8_t>& out) { pacer_.takeDue(nowUs, out); }
  uint64_t nextDueUs() const { return pacer_.nextDueUs(); }
  bool idle() const { return pacer_.idle(); }
  // The line's rate as the far end set it; pacing off (baud 0) stays off.
  void followBaud(int baud) {
    if (config_.baud && baud != pacer_.baud()) pacer_.setBaud(baud);
  }
  // close-after reached and everything before it sent.
  bool closeRequested() const { return closing_ && pacer_.idle(); }

  const DongleStats& stats() const;
  const FirmwareReceiver& firmware() const { return firmware_; }
  // Transfers ended by activate or upgrade start since the last call; either
  // sent again with nothing received in between ends none.
  std::vector<CompletedTransfer> takeCompleted();

 private:
  void handleFrame(const Frame& frame, uint64_t atUs);
  bool handleSndUd(const std::vector<uint8_t>& data);
  void handleBlockRecord(const uint8_t* p, size_t n, FwProtocol protocol);
  void handleSimpleCommand(const uint8_t* p, size_t n);
  void finishTransfer();
  std::vector<uint8_t> answerData();
  uint64_t replyDelayUs() const;
  void sendAck(uint64_t atUs);
  void sendAnswer(uint64_t atUs);
  void transmit(std::vector<uint8_t> bytes, uint64_t earliestUs);
  bool chance(double p);
  uint64_t random();

  DongleConfig config_;
  LinePacer pacer_;
  FrameAssembler assembler_;
  FirmwareReceiver firmware_;
  mutable DongleStats stats_;
  std::vector<CompletedTransfer> completed_;
  uint64_t rng_;
  uint32_t nextAnswerCounter_;
  uint8_t accessNumber_ = 0;
  uint8_t pendingReport_ = 0;  // 0x31 or 0x36: the next REQ_UD2 answers with it
  bool closing_ = false;
};

}  // namespace vdongle
