#include "virtual-dongle/line_pacer.h"

#include <algorithm>

namespace vdongle {

uint64_t LinePacer::arrival(uint64_t nowUs) {
  inputFreeUs_ = std::max(nowUs, inputFreeUs_) + byteTimeUs();
  return inputFreeUs_;
}

// Byte i of a transmission is due when its last bit has left the line.
uint64_t LinePacer::dueOf(uint64_t startUs, size_t index) const {
  if (!baud_) return startUs;
  return startUs + ((uint64_t)(index + 1) * 11000000ull) / (uint64_t)baud_;
}

void LinePacer::schedule(std::vector<uint8_t> bytes, uint64_t earliestUs) {
  if (bytes.empty()) return;
  Item item{earliestUs, seq_++, std::move(bytes)};
  auto at = std::upper_bound(pending_.begin(), pending_.end(), item, [](const Item& a, const Item& b) {
    return a.earliestUs < b.earliestUs || (a.earliestUs == b.earliestUs && a.seq < b.seq);
  });
  pending_.insert(at, std::move(item));
}

uint64_t LinePacer::startOfNext() const {
  return pending_.empty() ? kNever : std::max(pending_.front().earliestUs, lineFreeUs_);
}

void LinePacer::takeDue(uint64_t nowUs, std::vector<uint8_t>& out) {
  for (;;) {
    if (currentIndex_ >= current_.size()) {
      current_.clear();
      currentIndex_ = 0;
      uint64_t start = startOfNext();
      if (start == kNever || start > nowUs) return;
      current_ = std::move(pending_.front().bytes);
      pending_.pop_front();
      currentStartUs_ = start;
      lineFreeUs_ = dueOf(start, current_.size() - 1);
    }
    while (currentIndex_ < current_.size() && dueOf(currentStartUs_, currentIndex_) <= nowUs)
      out.push_back(current_[currentIndex_++]);
    if (currentIndex_ < current_.size()) return;
  }
}

uint64_t LinePacer::nextDueUs() const {
  if (currentIndex_ < current_.size()) return dueOf(currentStartUs_, currentIndex_);
  uint64_t start = startOfNext();
  return start == kNever ? kNever : dueOf(start, 0);
}

}  // namespace vdongle
