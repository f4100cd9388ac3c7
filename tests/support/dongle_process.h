// The virtual-dongle program as a child process on its own pseudo-terminal,
// reached through a link in the working folder, its output read line by line.
// No FOX: the headless tests, the e2e tests and the benchmark share it.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// MBUS_BUILD_DIR, else the build folder this program was built in (the one
// holding virtual-dongle, up to three levels above the program).
std::string buildDir();
std::vector<uint8_t> readBytes(const std::string& path);
// key=value lines; later keys win.
std::map<std::string, std::string> readKeyValues(const std::string& path);

// build/virtual-dongle with --link, --output and --summary-file in the
// working folder (names derived from the link), plus the options given.
class DongleProcess {
 public:
  DongleProcess(const std::string& link, const std::vector<std::string>& options);
  ~DongleProcess();  // SIGTERM, then SIGKILL if it does not end
  DongleProcess(const DongleProcess&) = delete;
  DongleProcess& operator=(const DongleProcess&) = delete;

  // The program runs and its link leads to its pty.
  bool started() const { return started_; }
  // The next output line beginning with prefix within ms; "" when none came.
  std::string waitForLine(const std::string& prefix, int ms);
  // Exit status once it has ended by itself within ms, else -1.
  int waitExit(int ms);
  int stop();  // SIGTERM and wait: the exit status
  std::map<std::string, std::string> summary() const { return readKeyValues(summaryPath); }

  const std::string link, outputPath, summaryPath;
  std::vector<std::string> lines;  // every output line read so far

 private:
  bool readLine(std::string& line, int ms);
  pid_t pid_ = -1;
  int out_ = -1;
  bool started_ = false;
  std::string partial_;
};
