#include "virtual-dongle/usb_latency.h"

#include "virtual-dongle/line_pacer.h"

namespace vdongle {

void UsbLatencyTimer::holdBytes(std::vector<uint8_t>& bytes, uint64_t nowUs) {
  if (bytes.empty()) return;
  if (held_.empty()) firstUs_ = nowUs;  // the timer starts with the first byte after a burst
  held_.insert(held_.end(), bytes.begin(), bytes.end());
  bytes.clear();
}

void UsbLatencyTimer::releaseBurst(uint64_t nowUs, std::vector<uint8_t>& out) {
  if (held_.empty() || nowUs < burstDueUs()) return;
  out.insert(out.end(), held_.begin(), held_.end());
  held_.clear();
}

uint64_t UsbLatencyTimer::burstDueUs() const { return held_.empty() ? kNever : firstUs_ + latencyUs_; }

}  // namespace vdongle
