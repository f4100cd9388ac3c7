// Asks a Linux serial driver to hand over received bytes at once
// (ASYNC_LOW_LATENCY) and puts its flag back as it found it.
#pragma once

class DriverLatency {
 public:
  // Quietly nothing where the driver has no such setting (a pseudo-terminal).
  void applyLowLatency(int fd, bool on);
  // Before the port closes: other programs share the adapter.
  void restoreLatency(int fd);

 private:
  bool setByUs_ = false;
};
