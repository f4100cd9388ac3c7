// ChildProcess on POSIX: fork and exec, two close-on-exec pipes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "app/cli/child_process.h"
#include "app/cli/terminal_system.h"

namespace {

void readAll(int from, LineSink sink) {
  LineSplitter lines(std::move(sink));
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n > 0) lines.take(buffer, (size_t)n);
    else if (n == 0 || errno != EINTR) break;
  }
  lines.end();
  ::close(from);
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

bool ChildProcess::start(const std::vector<std::string>& argv, LineSink out, LineSink err) {
  // Close-on-exec: a second child must not hold the first one's ends.
  int pipes[2][2];
  if (pipe2(pipes[0], O_CLOEXEC) != 0) return false;
  if (pipe2(pipes[1], O_CLOEXEC) != 0) {
    ::close(pipes[0][0]);
    ::close(pipes[0][1]);
    return false;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // A stop signal before the child's handlers are in place would kill it
    // without its cancel line: it waits, blocked, until installStopHandlers.
    blockStopSignals();
    dup2(pipes[0][1], 1);  // dup2 clears close-on-exec on 1 and 2
    dup2(pipes[1][1], 2);
    execv(args[0], args.data());
    _exit(127);
  }
  for (auto& p : pipes) ::close(p[1]);
  if (pid < 0) {
    for (auto& p : pipes) ::close(p[0]);
    return false;
  }
  process_ = pid;
  readers_[0] = std::thread(readAll, pipes[0][0], std::move(out));
  readers_[1] = std::thread(readAll, pipes[1][0], std::move(err));
  return true;
}

// Only a child not yet reaped: its pid cannot belong to another process.
void ChildProcess::interrupt() {
  if (process_ > 0) kill((pid_t)process_, SIGTERM);
}

bool ChildProcess::running() {
  if (process_ <= 0) return false;
  int status = 0;
  if (waitpid((pid_t)process_, &status, WNOHANG) != (pid_t)process_) return true;
  process_ = 0;
  exitCode_ = exitCodeOf(status);
  return false;
}

int ChildProcess::wait() {
  for (std::thread& reader : readers_)
    if (reader.joinable()) reader.join();
  if (process_ <= 0) return exitCode_;
  int status = 0;
  while (waitpid((pid_t)process_, &status, 0) < 0 && errno == EINTR) {
  }
  process_ = 0;
  exitCode_ = exitCodeOf(status);
  return exitCode_;
}

std::string ownProgramPath(const char* argv0) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  return n > 0 && n < (ssize_t)sizeof path ? std::string(path, (size_t)n) : std::string(argv0);
}
