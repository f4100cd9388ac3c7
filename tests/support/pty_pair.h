// A pseudo-terminal standing in for a serial port: the tool opens `path`,
// the test plays the device on `master` (non-blocking) and may keep `slave`
// open to look at the line settings. The line stays as openpty left it
// until the tool's port configures it. Header-only and without FOX, for the
// headless tests; link with libutil (openpty).
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

inline long millisecondsSince(std::chrono::steady_clock::time_point start) {
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

struct PtyPair {
  PtyPair() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    path = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    closeSlave();
    closeMaster();
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Closing the master hangs the line up for the tool's side.
  void closeMaster() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  void closeSlave() {
    if (slave >= 0) ::close(slave);
    slave = -1;
  }
  bool write(const std::vector<uint8_t>& bytes) const {
    return ::write(master, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
  }
  // What the tool wrote within `ms`, stopping once `want` bytes came.
  std::vector<uint8_t> receive(size_t want, int ms = 500) const {
    std::vector<uint8_t> got;
    const auto start = std::chrono::steady_clock::now();
    uint8_t buffer[512];
    while (got.size() < want && millisecondsSince(start) < ms) {
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
      if (n < 0 && errno != EAGAIN) break;  // EIO: nobody holds the tool's side
    }
    return got;
  }

  int master = -1;
  int slave = -1;
  std::string path;
};
