// A child process of ours with its stdout and stderr read line by line on
// reader threads: fork and exec on POSIX, CreateProcess on Windows.
#pragma once
#include <functional>
#include <string>
#include <thread>
#include <vector>

using LineSink = std::function<void(const std::string& line)>;  // without its line end

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // argv[0] is the program's path. False when it could not be started.
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
#ifdef _WIN32
  void* process_ = nullptr;
#else
  int pid_ = -1;
#endif
};

// This program's own path, to start it again.
std::string ownProgramPath(const char* argv0);
