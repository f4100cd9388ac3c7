// A child process of ours with its stdout and stderr read line by line on
// reader threads. One file per system: platform/child_process_posix.cpp
// (fork and exec) and platform/child_process_windows.cpp (CreateProcess).
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using LineSink = std::function<void(const std::string& line)>;  // without its line end

// Whole lines to the sink, a CR before the line feed dropped; end() gives a
// last line without its end too.
class LineSplitter {
 public:
  explicit LineSplitter(LineSink sink) : sink_(std::move(sink)) {}
  void take(const char* bytes, size_t n);
  void end();

 private:
  LineSink sink_;
  std::string line_;
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // argv[0] is the program's path. False when it could not be started.
  // The child inherits none of our other pipes.
  [[nodiscard]] bool start(const std::vector<std::string>& argv, LineSink out, LineSink err);
  // Asks it to stop as SIGTERM does (POSIX). On Windows Ctrl-C reaches every
  // process of the console by itself.
  void interrupt();
  // Whether it still runs; never blocks.
  bool running();
  // The exit code once it has ended and both streams are read; -1 when it died by a signal.
  int wait();

 private:
  static constexpr int NOT_ENDED = -2;
  int exitCode_ = NOT_ENDED;
  std::thread readers_[2];
  std::intptr_t process_ = 0;  // its pid, or its process handle; 0: none
};

// This program's own path, to start it again.
std::string ownProgramPath(const char* argv0);
