// Reassembles a firmware image sent by one of the three update protocols:
// numbered blocks after a start that announces length and block size, or
// simple-protocol chunks addressed from 0x4800. Counts repeats and refusals,
// reports progress, and hands the image over on activate / upgrade start.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vdongle {

enum class FwProtocol : uint8_t { None = 0, Simple = 1, Block = 2, EncryptedBlock = 3 };
const char* protocolName(FwProtocol p);

enum class FwState : uint8_t { Idle = 0, Receiving = 1, Validated = 2 };

constexpr uint32_t kSimpleBaseAddress = 0x4800;
constexpr uint32_t kSimpleChunkSize = 192;

// The tool's CRC: reflected, polynomial 0xEDB88320, no inversions ("abc" from 0
// gives 0xCA6598D0).
uint32_t crc32Plain(uint32_t crc, const uint8_t* bytes, size_t n);
// The common CRC-32 (inverted before and after; "123456789" gives 0xCBF43926).
uint32_t crc32Standard(const uint8_t* bytes, size_t n);

struct TransferSummary {
  FwProtocol protocol = FwProtocol::None;
  bool announced = false;  // a start gave the length (block protocols)
  uint32_t units = 0;      // distinct blocks or chunks received
  uint32_t expected = 0;   // blocks or chunk slots the image needs
  uint32_t missing = 0;    // of those, not (fully) received
  uint32_t repeats = 0;    // blocks or chunks received again
  uint32_t rejected = 0;   // commands refused: out of range, malformed
  uint32_t length = 0;     // image length in bytes
  uint32_t crc32 = 0;      // crc32Plain from 0 over the image
  uint32_t crc32Std = 0;
  bool complete = false;
  int32_t firstMissing = -1;
};

struct CompletedTransfer {
  TransferSummary summary;
  std::vector<uint8_t> image;  // bytes never received are 0xFF (erased flash)
};

class FirmwareReceiver {
 public:
  explicit FirmwareReceiver(uint32_t maxImage) : maxImage_(maxImage) {}

  // Block protocols. false: refused (counted in `rejected`).
  bool start(FwProtocol protocol, uint32_t length, uint8_t blockSize);
  bool block(FwProtocol protocol, uint16_t number, const uint8_t* data, size_t n);
  void validate();
  // Simple protocol.
  bool chunk(uint32_t address, const uint8_t* data, size_t n);
  void noteRejected() { ++rejected_; }

  TransferSummary summary() const;
  FwState state() const { return state_; }
  uint32_t announcedLength() const { return announced_ ? length_ : 0; }
  uint8_t blockSize() const { return blockSize_; }
  // Hands over the image and starts afresh.
  CompletedTransfer finish();

 private:
  void reset(FwProtocol protocol);
  uint32_t blockCount() const;
  bool storeAt(uint32_t offset, const uint8_t* data, size_t n);

  uint32_t maxImage_;
  FwProtocol protocol_ = FwProtocol::None;
  FwState state_ = FwState::Idle;
  bool announced_ = false;
  uint32_t length_ = 0;
  uint8_t blockSize_ = 128;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> covered_;  // per byte: received
  std::set<uint32_t> units_;      // block numbers or chunk addresses seen
  uint32_t repeats_ = 0;
  uint32_t rejected_ = 0;
};

}  // namespace vdongle
