#include "virtual-dongle/dongle_launcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

DongleLauncher::DongleLauncher(const std::string& linkPath, const std::vector<std::string>& options)
    : link(linkPath), outputPath(linkPath + "-received.bin"), summaryPath(linkPath + "-summary.txt") {
  unlink(outputPath.c_str());  // a file left by an earlier run would pass for this run's image
  std::vector<std::string> args{VIRTUAL_DONGLE_PATH, "--link", link, "--output", outputPath,
                                "--summary-file", summaryPath};
  args.insert(args.end(), options.begin(), options.end());
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crashed test leaves no dongle behind
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  out_ = fds[0];
  // The identity line comes once the link is in place.
  started_ = pid_ > 0 && !waitForLine("identity ", 10000).empty();
}

std::string DongleLauncher::waitForLine(const std::string& prefix, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    for (size_t end; (end = partial_.find('\n')) != std::string::npos;) {
      const std::string line = partial_.substr(0, end);
      partial_.erase(0, end + 1);
      if (line.rfind(prefix, 0) == 0) return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{out_, POLLIN, 0};
    if (out_ < 0 || left.count() <= 0 || poll(&p, 1, (int)left.count()) <= 0) return "";
    char buffer[512];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return "";
    partial_.append(buffer, (size_t)n);
  }
}

int DongleLauncher::stop() {
  int status = -1;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (out_ >= 0) close(out_);
  out_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
