// A USB serial adapter's latency timer on the way to the host: bytes wait
// from the first one until the timer runs out, then go on in one burst.
#pragma once
#include <cstdint>
#include <vector>

namespace vdongle {

// An FTDI adapter also sends as soon as a 62-byte packet is full; that is
// left out: at 9600 baud 62 bytes take 71 ms, longer than its 16 ms default.
// Times in microseconds on any monotonic clock; a latency of 0 holds nothing.
class UsbLatencyTimer {
 public:
  explicit UsbLatencyTimer(uint64_t latencyUs) : latencyUs_(latencyUs) {}

  // bytes: what left the dongle's line by nowUs; moved into the hold.
  void holdBytes(std::vector<uint8_t>& bytes, uint64_t nowUs);
  // Appends the whole burst to out once the timer has run out.
  void releaseBurst(uint64_t nowUs, std::vector<uint8_t>& out);
  uint64_t burstDueUs() const;  // kNever while nothing is held
  bool holding() const { return !held_.empty(); }

 private:
  uint64_t latencyUs_;
  uint64_t firstUs_ = 0;
  std::vector<uint8_t> held_;
};

}  // namespace vdongle
