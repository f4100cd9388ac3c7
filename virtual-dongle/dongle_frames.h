// The dongle's own M-Bus link framing, independent of the tool's: builds the
// frames it sends and assembles received bytes (any split) into frames,
// resynchronising after garbage, broken frames and silent gaps.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vdongle {

constexpr uint8_t kAck = 0xE5;
constexpr uint8_t kShortStart = 0x10;
constexpr uint8_t kLongStart = 0x68;
constexpr uint8_t kStop = 0x16;
constexpr size_t kMaxFrame = 255 + 6;

uint8_t checksum(const uint8_t* bytes, size_t n);
// data: CI field to last data byte, at most 253 bytes (longer data is cut).
std::vector<uint8_t> buildLongFrame(uint8_t control, uint8_t address, const std::vector<uint8_t>& data);
std::vector<uint8_t> buildShortFrame(uint8_t control, uint8_t address);

struct Frame {
  bool isLong = false;
  uint8_t control = 0;
  uint8_t address = 0;
  std::vector<uint8_t> data;  // long frames: CI field to last data byte
};

class FrameAssembler {
 public:
  enum class Event { Frame, BadFrame };
  struct Result {
    Event event;
    Frame frame;  // valid for Event::Frame
  };

  // A partial frame is dropped when the next byte comes more than gapUs
  // after the previous one (a real receiver's inter-character time-out).
  explicit FrameAssembler(uint64_t gapUs) : gapUs_(gapUs) {}

  // One byte that finished arriving at atUs; completed frames go to `out`.
  void push(uint8_t byte, uint64_t atUs, std::vector<Result>& out);

  uint64_t garbageBytes() const { return garbage_; }
  uint64_t truncatedFrames() const { return truncated_; }

 private:
  void evaluate(std::vector<Result>& out);

  std::vector<uint8_t> buf_;
  uint64_t gapUs_;
  uint64_t lastUs_ = 0;
  uint64_t garbage_ = 0;
  uint64_t truncated_ = 0;
};

}  // namespace vdongle
