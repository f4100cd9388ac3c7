#include "virtual-dongle/dongle_frames.h"

#include <algorithm>

namespace vdongle {

uint8_t checksum(const uint8_t* bytes, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = (uint8_t)(sum + bytes[i]);
  return sum;
}

std::vector<uint8_t> buildLongFrame(uint8_t control, uint8_t address, const std::vector<uint8_t>& data) {
  size_t n = data.size() > 253 ? 253 : data.size();
  uint8_t l = (uint8_t)(n + 2);
  std::vector<uint8_t> f(n + 8);
  f[0] = f[3] = kLongStart;
  f[1] = f[2] = l;
  f[4] = control;
  f[5] = address;
  std::copy(data.begin(), data.begin() + (long)n, f.begin() + 6);
  f.resize(n + 6);
  f.push_back(checksum(f.data() + 4, f.size() - 4));
  f.push_back(kStop);
  return f;
}

std::vector<uint8_t> buildShortFrame(uint8_t control, uint8_t address) {
  return {kShortStart, control, address, (uint8_t)(control + address), kStop};
}

void FrameAssembler::push(uint8_t byte, uint64_t atUs, std::vector<Result>& out) {
  if (!buf_.empty() && atUs > lastUs_ && atUs - lastUs_ > gapUs_) {
    buf_.clear();
    ++truncated_;
  }
  lastUs_ = atUs;
  buf_.push_back(byte);
  evaluate(out);
}

// Looks at the buffer's start after every byte. A start byte that turns out
// not to begin a frame is dropped and the bytes behind it are looked at again,
// so a frame hidden behind garbage is still found. A long frame whose header
// was right but whose checksum or stop byte is wrong is dropped whole.
void FrameAssembler::evaluate(std::vector<Result>& out) {
  while (!buf_.empty()) {
    uint8_t start = buf_[0];
    if (start != kShortStart && start != kLongStart) {
      ++garbage_;
      buf_.erase(buf_.begin());
      continue;
    }
    if (start == kShortStart) {
      if (buf_.size() < 5) return;
      if (buf_[4] == kStop && buf_[3] == (uint8_t)(buf_[1] + buf_[2])) {
        Result r{Event::Frame, Frame{false, buf_[1], buf_[2], {}}};
        buf_.erase(buf_.begin(), buf_.begin() + 5);
        out.push_back(std::move(r));
        continue;
      }
      out.push_back(Result{Event::BadFrame, {}});
      buf_.erase(buf_.begin());
      continue;
    }
    // Long frame: 68 L L 68 C A data CS 16, L >= 2 (C and A).
    if (buf_.size() >= 3 && (buf_[2] != buf_[1] || buf_[1] < 2)) {
      ++garbage_;
      buf_.erase(buf_.begin());
      continue;
    }
    if (buf_.size() >= 4 && buf_[3] != kLongStart) {
      ++garbage_;
      buf_.erase(buf_.begin());
      continue;
    }
    if (buf_.size() < 4) return;
    size_t l = buf_[1];
    size_t need = l + 6;
    if (buf_.size() < need) return;
    bool ok = buf_[need - 1] == kStop && buf_[need - 2] == checksum(buf_.data() + 4, l);
    if (ok) {
      Result r{Event::Frame, Frame{true, buf_[4], buf_[5], {}}};
      r.frame.data.assign(buf_.begin() + 6, buf_.begin() + (long)(4 + l));
      out.push_back(std::move(r));
    } else {
      out.push_back(Result{Event::BadFrame, {}});
    }
    buf_.erase(buf_.begin(), buf_.begin() + (long)need);
  }
}

}  // namespace vdongle
