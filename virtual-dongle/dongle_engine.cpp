#include "virtual-dongle/dongle_engine.h"

#include <algorithm>

#include "virtual-dongle/dongle_protection.h"

namespace vdongle {

namespace {

constexpr uint8_t kAddress = 0xFB;
constexpr uint8_t kSndNke = 0x40;
constexpr uint8_t kRspUd = 0x08;

bool isReqUd2(uint8_t c) { return c == 0x5B || c == 0x7B; }  // either frame-count bit
bool isSndUd(uint8_t c) { return c == 0x53 || c == 0x73; }

uint32_t le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
void putLe(std::vector<uint8_t>& v, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) v.push_back((uint8_t)(value >> (8 * i)));
}

}  // namespace

DongleEngine::DongleEngine(const DongleConfig& config)
    : config_(config),
      pacer_(config.baud),
      assembler_(config.frameGapUs),
      firmware_(config.maxImage),
      rng_(config.faults.seed),
      nextAnswerCounter_(config.answerCounter) {
  if (config_.faults.closeAfter == 0) closing_ = true;
  if (config_.acceptedCounter >= 0) {
    stats_.counterAccepted = true;
    stats_.lastAcceptedCounter = (uint32_t)config_.acceptedCounter;
  }
}

// splitmix64: the same faults for the same seed on every platform.
uint64_t DongleEngine::random() {
  uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool DongleEngine::chance(double p) {
  if (p <= 0) return false;
  return (double)(random() >> 11) * (1.0 / 9007199254740992.0) < p;
}

const DongleStats& DongleEngine::stats() const {
  stats_.garbageBytes = assembler_.garbageBytes();
  stats_.truncatedFrames = assembler_.truncatedFrames();
  return stats_;
}

std::vector<CompletedTransfer> DongleEngine::takeCompleted() {
  std::vector<CompletedTransfer> done;
  done.swap(completed_);
  return done;
}

void DongleEngine::receive(const uint8_t* bytes, size_t n, uint64_t nowUs) {
  std::vector<FrameAssembler::Result> results;
  for (size_t i = 0; i < n; ++i) {
    uint64_t at = pacer_.arrival(nowUs);
    results.clear();
    assembler_.push(bytes[i], at, results);
    for (const auto& r : results) {
      if (r.event == FrameAssembler::Event::BadFrame)
        ++stats_.badFrames;
      else
        handleFrame(r.frame, at);
    }
  }
}

void DongleEngine::handleFrame(const Frame& frame, uint64_t atUs) {
  bool forMe = frame.address == kAddress &&
               (frame.isLong ? isSndUd(frame.control) : (frame.control == kSndNke || isReqUd2(frame.control)));
  if (!forMe) {
    ++stats_.foreignFrames;
    return;
  }
  if (closing_) return;  // the line is about to go down
  ++stats_.telegrams;
  const FaultOptions& f = config_.faults;
  if (f.silentAfter >= 0 && stats_.telegrams > (uint64_t)f.silentAfter) return;  // a dead device
  if (f.closeAfter >= 0 && stats_.telegrams >= (uint64_t)f.closeAfter) closing_ = true;

  if (!frame.isLong) {
    if (frame.control == kSndNke)
      sendAck(atUs);
    else
      sendAnswer(atUs);
    return;
  }
  if (handleSndUd(frame.data)) sendAck(atUs);
}

// true: acknowledge. Only a protected telegram that fails its checks goes
// unacknowledged; plain telegrams the dongle cannot use are still taken at
// the link layer and counted.
bool DongleEngine::handleSndUd(const std::vector<uint8_t>& data) {
  if (data.empty()) {
    ++stats_.unknownTelegrams;
    return true;
  }
  uint8_t ci = data[0];
  if (ci == 0x90) {
    OpenedTelegram t = openToMeter(data.data(), data.size(), config_.identity.id, config_.key);
    switch (t.status) {
      case OpenStatus::Ok:
        break;
      case OpenStatus::BadMac:
        ++stats_.macFailures;
        return false;
      case OpenStatus::NotDecrypted:
        ++stats_.decryptFailures;
        return false;
      default:
        ++stats_.layoutFailures;
        return false;
    }
    // A repetition carries the same counter; anything older is a replay.
    if (stats_.counterAccepted && t.counter < stats_.lastAcceptedCounter) {
      ++stats_.staleCounters;
      return false;
    }
    stats_.counterAccepted = true;
    stats_.lastAcceptedCounter = t.counter;
    handleBlockRecord(t.app.data() + t.areaOffset, t.areaLength, FwProtocol::EncryptedBlock);
    return true;
  }
  size_t header = ci == 0x5A ? 5 : ci == 0x5B ? 13 : 0;
  if (header == 0 || data.size() < header) {
    ++stats_.unknownTelegrams;
    return true;
  }
  const uint8_t* body = data.data() + header;
  size_t n = data.size() - header;
  if (n >= 2 && body[0] == 0x0F && body[1] == 0x35)
    handleSimpleCommand(body + 2, n - 2);
  else
    handleBlockRecord(body, n, FwProtocol::Block);
  return true;
}

// DIF (0x08 readout request, 0x0D variable length), VIF 0xFD, VIFE 0xF7,
// command, and with DIF 0x0D: LVAR and its parameters. 2F fill is skipped.
void DongleEngine::handleBlockRecord(const uint8_t* p, size_t n, FwProtocol protocol) {
  while (n > 0 && *p == 0x2F) ++p, --n;
  if (n < 4 || p[1] != 0xFD || p[2] != 0xF7 || (p[0] != 0x08 && p[0] != 0x0D)) {
    ++stats_.unknownTelegrams;
    return;
  }
  uint8_t command = p[3];
  if (p[0] == 0x08) {
    if (command == 0x31 || command == 0x36)
      pendingReport_ = command;
    else
      firmware_.noteRejected();
    return;
  }
  if (n < 5 || (size_t)p[4] > n - 5) {
    firmware_.noteRejected();
    return;
  }
  const uint8_t* param = p + 5;
  size_t lvar = p[4];
  switch (command) {
    case 0x30:
      if (lvar >= 5)
        firmware_.start(protocol, le32(param), param[4]);
      else
        firmware_.noteRejected();
      break;
    case 0x32:
      if (lvar >= 2)
        firmware_.block(protocol, (uint16_t)(param[0] | param[1] << 8), param + 2, lvar - 2);
      else
        firmware_.noteRejected();
      break;
    case 0x33:
      firmware_.validate();
      break;
    case 0x34:
      finishTransfer();
      break;
    default:
      firmware_.noteRejected();
  }
}

// Command, then for write-chunk 0x88: length, address (LE), the bytes.
void DongleEngine::handleSimpleCommand(const uint8_t* p, size_t n) {
  if (n < 1) {
    firmware_.noteRejected();
    return;
  }
  switch (p[0]) {
    case 0x88:
      if (n >= 6 && (size_t)p[1] <= n - 6)
        firmware_.chunk(le32(p + 2), p + 6, p[1]);
      else
        firmware_.noteRejected();
      break;
    case 0x8D:
      break;  // signature: nothing to check it against
    case 0x8E:
      finishTransfer();
      break;
    default:
      firmware_.noteRejected();
  }
}

// With nothing received since the last one, this is the same step sent again
// because its acknowledgement was lost: the image already handed over stands.
void DongleEngine::finishTransfer() {
  if (firmware_.state() == FwState::Idle) {
    ++stats_.repeatedFinishes;
    return;
  }
  completed_.push_back(firmware_.finish());
  ++stats_.transfersFinished;
}

// Counter record, and after a report request a manufacturer-specific record
// (0F): report, state, protocol, announced length (4), block size, blocks
// expected, received, missing, repeats, first missing (FFFF: none), refused
// commands (2 bytes each), CRC-32 of the image so far (4, the tool's CRC).
std::vector<uint8_t> DongleEngine::answerData() {
  uint32_t counter = nextAnswerCounter_;
  if (stats_.counterAccepted) counter = std::max(counter, stats_.lastAcceptedCounter);
  nextAnswerCounter_ = counter + 1;

  std::vector<uint8_t> records{0x04, 0xFD, 0x08};
  putLe(records, counter, 4);
  if (pendingReport_) {
    TransferSummary s = firmware_.summary();
    auto clip = [](uint32_t v) { return std::min<uint32_t>(v, 0xFFFF); };
    records.push_back(0x0F);
    records.push_back(pendingReport_);
    records.push_back((uint8_t)firmware_.state());
    records.push_back((uint8_t)s.protocol);
    putLe(records, firmware_.announcedLength(), 4);
    records.push_back(firmware_.blockSize());
    putLe(records, clip(s.expected), 2);
    putLe(records, clip(s.units), 2);
    putLe(records, clip(s.missing), 2);
    putLe(records, clip(s.repeats), 2);
    putLe(records, s.firstMissing < 0 ? 0xFFFF : clip((uint32_t)s.firstMissing), 2);
    putLe(records, clip(s.rejected), 2);
    putLe(records, s.crc32, 4);
    pendingReport_ = 0;
  }
  const DongleIdentity& id = config_.identity;
  std::vector<uint8_t> header{0x72, id.id[0], id.id[1], id.id[2], id.id[3], (uint8_t)id.manufacturer,
                              (uint8_t)(id.manufacturer >> 8), id.version, id.deviceType, accessNumber_++, 0x00};
  if (config_.protectAnswers) return protectFromMeter(header, records, counter, id.id, config_.key);
  header.push_back(0x00);  // configuration: no encryption
  header.push_back(0x00);
  header.insert(header.end(), records.begin(), records.end());
  return header;
}

uint64_t DongleEngine::replyDelayUs() const {
  return config_.replyDelayUs ? config_.replyDelayUs : pacer_.byteTimeUs();
}

void DongleEngine::sendAck(uint64_t atUs) {
  const FaultOptions& f = config_.faults;
  if (chance(f.dropAck)) {
    ++stats_.acksDropped;
    return;
  }
  uint64_t earliest = atUs + replyDelayUs();
  if (chance(f.lateAck)) {
    ++stats_.acksLate;
    earliest = atUs + f.lateAckUs;
  }
  ++stats_.acksSent;
  transmit({kAck}, earliest);
}

void DongleEngine::sendAnswer(uint64_t atUs) {
  std::vector<uint8_t> frame = buildLongFrame(kRspUd, kAddress, answerData());
  if (chance(config_.faults.corrupt)) {
    // One byte between the C field and the checksum: the checksum no longer
    // matches, but the frame's length and stop byte stay readable.
    size_t span = frame.size() - 5;
    size_t at = 4 + (size_t)(random() % span);
    frame[at] ^= (uint8_t)(1 + random() % 255);
    ++stats_.answersCorrupted;
  }
  ++stats_.answersSent;
  transmit(std::move(frame), atUs + replyDelayUs());
}

// Stray bytes never take a frame-start or acknowledgement value, so they
// read as noise on the line and not as the start of something else.
void DongleEngine::transmit(std::vector<uint8_t> bytes, uint64_t earliestUs) {
  if (chance(config_.faults.stray)) {
    std::vector<uint8_t> noise(1 + random() % 3);
    for (auto& b : noise) {
      do b = (uint8_t)random();
      while (b == kShortStart || b == kLongStart || b == kAck);
    }
    stats_.strayBytes += noise.size();
    pacer_.schedule(std::move(noise), earliestUs);
  }
  pacer_.schedule(std::move(bytes), earliestUs);
}

}  // namespace vdongle
