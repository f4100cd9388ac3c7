#include "link/platform/low_latency_posix.h"

#include <sys/ioctl.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

// The driver's flags to write for `on`, given its flags now and whether the
// bit is there because we set it; equal to `flags`: nothing to write.
int lowLatencyFlags(bool on, int flags, bool setByUs) {
#ifdef ASYNC_LOW_LATENCY
  if (on) return flags | ASYNC_LOW_LATENCY;
  if (setByUs) return flags & ~ASYNC_LOW_LATENCY;
#else
  (void)on;
  (void)setByUs;
#endif
  return flags;
}

}  // namespace

// A flag that was set before we asked stays when we stop asking.
void DriverLatency::applyLowLatency(int fd, bool on) {
#ifdef TIOCGSERIAL
  serial_struct serial;
  if (fd < 0 || ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  const int flags = lowLatencyFlags(on, serial.flags, setByUs_);
  if (flags == serial.flags) return;
  serial.flags = flags;
  if (ioctl(fd, TIOCSSERIAL, &serial) == 0) setByUs_ = on;
#else
  (void)fd;
  (void)on;
#endif
}

void DriverLatency::restoreLatency(int fd) {
  applyLowLatency(fd, false);
  setByUs_ = false;  // a device already gone keeps nothing of ours
}
