#include "virtual-dongle/firmware_receiver.h"

#include <algorithm>
#include <cstring>

namespace vdongle {

namespace {

struct CrcTable {
  uint32_t t[256];
  CrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[i] = c;
    }
  }
};
const CrcTable kCrc;

}  // namespace

const char* protocolName(FwProtocol p) {
  switch (p) {
    case FwProtocol::Simple:
      return "simple";
    case FwProtocol::Block:
      return "block";
    case FwProtocol::EncryptedBlock:
      return "encrypted-block";
    default:
      return "none";
  }
}

uint32_t crc32Plain(uint32_t crc, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ kCrc.t[(crc ^ bytes[i]) & 0xFF];
  return crc;
}

uint32_t crc32Standard(const uint8_t* bytes, size_t n) { return ~crc32Plain(0xFFFFFFFFu, bytes, n); }

void FirmwareReceiver::reset(FwProtocol protocol) {
  protocol_ = protocol;
  state_ = FwState::Receiving;
  announced_ = false;
  length_ = 0;
  blockSize_ = 128;
  image_.clear();
  covered_.clear();
  units_.clear();
  repeats_ = 0;
  rejected_ = 0;
}

uint32_t FirmwareReceiver::blockCount() const {
  if (protocol_ == FwProtocol::Simple) return (length_ + kSimpleChunkSize - 1) / kSimpleChunkSize;
  return (length_ + blockSize_ - 1) / blockSize_;
}

bool FirmwareReceiver::storeAt(uint32_t offset, const uint8_t* data, size_t n) {
  if (offset > maxImage_ || n > maxImage_ - offset) return false;
  size_t end = offset + n;
  if (image_.size() < end) {
    image_.resize(end, 0xFF);
    covered_.resize(end, 0);
  }
  if (n) {
    std::memcpy(image_.data() + offset, data, n);
    std::memset(covered_.data() + offset, 1, n);
  }
  return true;
}

bool FirmwareReceiver::start(FwProtocol protocol, uint32_t length, uint8_t blockSize) {
  if (blockSize == 0 || length > maxImage_) {
    ++rejected_;
    return false;
  }
  reset(protocol);
  announced_ = true;
  length_ = length;
  blockSize_ = blockSize;
  image_.assign(length, 0xFF);
  covered_.assign(length, 0);
  return true;
}

// With a start, a block must be exactly the size its place in the image calls
// for; a zero-length block just past the end is harmless and ignored. Without
// one, blocks of up to 128 bytes are taken and the image grows with them.
bool FirmwareReceiver::block(FwProtocol protocol, uint16_t number, const uint8_t* data, size_t n) {
  if (protocol_ == FwProtocol::Simple || state_ == FwState::Idle) reset(protocol);
  uint64_t offset = (uint64_t)number * blockSize_;
  if (announced_) {
    if (offset >= length_) {
      if (offset == length_ && n == 0) return true;
      ++rejected_;
      return false;
    }
    if (n != std::min<uint64_t>(blockSize_, length_ - offset)) {
      ++rejected_;
      return false;
    }
  } else if (n > blockSize_ || offset > maxImage_) {
    ++rejected_;
    return false;
  }
  if (!storeAt((uint32_t)offset, data, n)) {
    ++rejected_;
    return false;
  }
  if (!announced_) length_ = std::max<uint32_t>(length_, (uint32_t)(offset + n));
  if (!units_.insert(number).second) ++repeats_;
  return true;
}

void FirmwareReceiver::validate() {
  if (state_ == FwState::Receiving) state_ = FwState::Validated;
}

bool FirmwareReceiver::chunk(uint32_t address, const uint8_t* data, size_t n) {
  if (protocol_ != FwProtocol::Simple || state_ == FwState::Idle) reset(FwProtocol::Simple);
  if (address < kSimpleBaseAddress || n == 0 || !storeAt(address - kSimpleBaseAddress, data, n)) {
    ++rejected_;
    return false;
  }
  length_ = std::max<uint32_t>(length_, (uint32_t)(address - kSimpleBaseAddress + n));
  if (!units_.insert(address).second) ++repeats_;
  return true;
}

TransferSummary FirmwareReceiver::summary() const {
  TransferSummary s;
  s.protocol = protocol_;
  s.announced = announced_;
  s.units = (uint32_t)units_.size();
  s.repeats = repeats_;
  s.rejected = rejected_;
  s.length = length_;
  s.expected = blockCount();
  uint32_t unit = protocol_ == FwProtocol::Simple ? kSimpleChunkSize : blockSize_;
  for (uint32_t b = 0; b < s.expected; ++b) {
    size_t from = (size_t)b * unit, to = std::min<size_t>(from + unit, length_);
    bool whole = to <= covered_.size() &&
                 std::all_of(covered_.begin() + (long)from, covered_.begin() + (long)to, [](uint8_t c) { return c; });
    if (!whole) {
      if (s.firstMissing < 0) s.firstMissing = (int32_t)b;
      ++s.missing;
    }
  }
  const uint8_t* bytes = image_.data();
  size_t n = std::min<size_t>(length_, image_.size());
  s.crc32 = crc32Plain(0, bytes, n);
  s.crc32Std = crc32Standard(bytes, n);
  s.complete = protocol_ != FwProtocol::None && s.missing == 0;
  return s;
}

CompletedTransfer FirmwareReceiver::finish() {
  CompletedTransfer done;
  done.summary = summary();
  done.image = image_;
  done.image.resize(done.summary.length, 0xFF);
  *this = FirmwareReceiver(maxImage_);
  return done;
}

}  // namespace vdongle
