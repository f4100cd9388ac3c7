// Timing of a serial line at a given baud rate, 11 bits a character (8E1):
// when bytes written in a burst have really arrived, and when each byte of
// the dongle's transmissions is due. Baud 0 means no pacing. Times are in
// microseconds on any monotonic clock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace vdongle {

constexpr uint64_t kNever = UINT64_MAX;

class LinePacer {
 public:
  explicit LinePacer(int baud) : baud_(baud < 0 ? 0 : baud) {}

  // A new rate, taken only between transmissions so none changes pace midway.
  void setBaud(int baud) {
    if (idle()) baud_ = baud < 0 ? 0 : baud;
  }
  int baud() const { return baud_; }
  uint64_t byteTimeUs() const { return baud_ ? 11000000ull / (uint64_t)baud_ : 0; }
  // The moment the next incoming byte, handed over at nowUs, has fully arrived.
  uint64_t arrival(uint64_t nowUs);

  // Queues a transmission that may start at earliestUs. Transmissions go out
  // whole, one after the other, earliest first (ties in queueing order).
  void schedule(std::vector<uint8_t> bytes, uint64_t earliestUs);
  // Appends every byte due by nowUs to `out`.
  void takeDue(uint64_t nowUs, std::vector<uint8_t>& out);
  uint64_t nextDueUs() const;
  bool idle() const { return current_.empty() && pending_.empty(); }

 private:
  struct Item {
    uint64_t earliestUs;
    uint64_t seq;
    std::vector<uint8_t> bytes;
  };
  uint64_t dueOf(uint64_t startUs, size_t index) const;
  uint64_t startOfNext() const;

  int baud_;
  uint64_t inputFreeUs_ = 0;
  uint64_t lineFreeUs_ = 0;
  uint64_t seq_ = 0;
  std::deque<Item> pending_;  // sorted by (earliestUs, seq)
  std::vector<uint8_t> current_;
  size_t currentIndex_ = 0;
  uint64_t currentStartUs_ = 0;
};

}  // namespace vdongle
