// The virtual-dongle program as a child process, reached through a symlink
// to its pseudo-terminal; shared by the GUI tests and the update benchmark.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> readBytes(const std::string& path);

// Runs virtual-dongle --link LINK --output LINK-received.bin --summary-file
// LINK-summary.txt plus `options`, in the working folder.
class DongleLauncher {
 public:
  DongleLauncher(const std::string& link, const std::vector<std::string>& options);
  ~DongleLauncher() { stop(); }
  DongleLauncher(const DongleLauncher&) = delete;
  DongleLauncher& operator=(const DongleLauncher&) = delete;

  bool started() const { return started_; }
  // The next output line starting with prefix within ms; "" if none came.
  std::string waitForLine(const std::string& prefix, int ms);
  // SIGTERM and wait; the program writes its files before it ends. Exit status.
  int stop();

  const std::string link, outputPath, summaryPath;

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool started_ = false;
  std::string partial_;
};
