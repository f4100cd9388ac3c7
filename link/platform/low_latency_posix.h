// Asks a Linux serial driver to hand over received bytes at once
// (ASYNC_LOW_LATENCY) and puts its flag back as it found it.
#pragma once

// The driver's flags to write for `on`, given its flags now and whether the
// bit is there because we set it; equal to `flags`: nothing to write.
int lowLatencyFlags(bool on, int flags, bool setByUs);

class DriverLatency {
 public:
  // Quietly nothing where the driver has no such setting (a pseudo-terminal).
  void applyLowLatency(int fd, bool on);
  // Before the port closes: other programs share the adapter.
  void restoreLatency(int fd);

 private:
  bool setByUs_ = false;
};
