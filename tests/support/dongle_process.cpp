#include "tests/support/dongle_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/pty_pair.h"

using Clock = std::chrono::steady_clock;

std::string buildDir() {
  if (const char* dir = std::getenv("MBUS_BUILD_DIR")) return dir;
  // <build>/<test>, <build>/tests/e2e/<program> or <build>/tools-bench/<program>
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return ".";
  std::string path = self;
  for (int up = 0; up < 3 && path.find('/') != std::string::npos; ++up) {
    path.erase(path.rfind('/'));
    if (access((path + "/virtual-dongle").c_str(), X_OK) == 0) return path;
  }
  return ".";
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::map<std::string, std::string> readKeyValues(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

DongleProcess::DongleProcess(const std::string& linkPath, const std::vector<std::string>& options)
    : link(linkPath), outputPath(linkPath + "-received.bin"), summaryPath(linkPath + "-summary.txt") {
  unlink(outputPath.c_str());
  unlink(summaryPath.c_str());
  const std::string exe = buildDir() + "/virtual-dongle";
  std::vector<std::string> args{exe, "--link", link, "--output", outputPath, "--summary-file", summaryPath};
  args.insert(args.end(), options.begin(), options.end());
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies leaves no dongle behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  out_ = fds[0];
  if (pid_ < 0) return;
  // The identity line comes after the link is in place.
  started_ = !waitForLine("identity ", 10000).empty();
  struct stat st;
  started_ = started_ && stat(link.c_str(), &st) == 0;
}

DongleProcess::~DongleProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (waitExit(3000) < 0 && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (out_ >= 0) close(out_);
}

bool DongleProcess::readLine(std::string& line, int ms) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    const size_t end = partial_.find('\n');
    if (end != std::string::npos) {
      line = partial_.substr(0, end);
      partial_.erase(0, end + 1);
      lines.push_back(line);
      return true;
    }
    const int left = ms - (int)millisecondsSince(start);
    if (out_ < 0 || left <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return false;
    char buffer[512];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;  // the program has ended
    partial_.append(buffer, (size_t)n);
  }
}

std::string DongleProcess::waitForLine(const std::string& prefix, int ms) {
  const Clock::time_point start = Clock::now();
  std::string line;
  while (readLine(line, ms - (int)millisecondsSince(start)))
    if (line.rfind(prefix, 0) == 0) return line;
  return "";
}

int DongleProcess::waitExit(int ms) {
  if (pid_ <= 0) return -1;
  const Clock::time_point start = Clock::now();
  do {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      std::string line;
      while (readLine(line, 200)) {
      }
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (millisecondsSince(start) < ms);
  return -1;
}

int DongleProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  return waitExit(5000);
}
