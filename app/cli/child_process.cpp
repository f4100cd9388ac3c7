#include "app/cli/child_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>

namespace {

// Whole lines to the sink; a last line without its end too.
class LineSplitter {
 public:
  explicit LineSplitter(LineSink sink) : sink_(std::move(sink)) {}
  void take(const char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (bytes[i] != '\n') {
        line_ += bytes[i];
        continue;
      }
      if (!line_.empty() && line_.back() == '\r') line_.pop_back();
      sink_(line_);
      line_.clear();
    }
  }
  void end() {
    if (!line_.empty()) sink_(line_);
  }

 private:
  LineSink sink_;
  std::string line_;
};

#ifdef _WIN32
// The quoting CommandLineToArgvW and the C runtime undo.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string q = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    q.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    q += c;
  }
  q.append(2 * slashes, '\\');
  return q + "\"";
}

void readAll(HANDLE from, LineSink sink) {
  LineSplitter lines(std::move(sink));
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(from, buffer, sizeof buffer, &n, NULL) && n > 0) lines.take(buffer, n);
  lines.end();
  CloseHandle(from);
}
#else
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
#endif

}  // namespace

ChildProcess::~ChildProcess() { wait(); }

#ifdef _WIN32

bool ChildProcess::start(const std::vector<std::string>& argv, LineSink out, LineSink err) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE read[2] = {}, write[2] = {};
  for (int i = 0; i < 2; ++i) {
    if (!CreatePipe(&read[i], &write[i], &inherit, 0)) return false;
    SetHandleInformation(read[i], HANDLE_FLAG_INHERIT, 0);  // our ends stay ours
  }
  std::string line;
  for (const std::string& arg : argv) line += (line.empty() ? "" : " ") + quoted(arg);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write[0];
  startup.hStdError = write[1];
  PROCESS_INFORMATION info = {};
  const BOOL started =
      CreateProcessA(argv[0].c_str(), &line[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info);
  CloseHandle(write[0]);
  CloseHandle(write[1]);
  if (!started) {
    CloseHandle(read[0]);
    CloseHandle(read[1]);
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  readers_[0] = std::thread(readAll, read[0], std::move(out));
  readers_[1] = std::thread(readAll, read[1], std::move(err));
  return true;
}

void ChildProcess::interrupt() {}

bool ChildProcess::running() { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

int ChildProcess::wait() {
  for (std::thread& reader : readers_)
    if (reader.joinable()) reader.join();
  if (!process_) return exitCode_;
  WaitForSingleObject(process_, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  CloseHandle(process_);
  process_ = nullptr;
  exitCode_ = (int)code;
  return exitCode_;
}

std::string ownProgramPath(const char* argv0) {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string(argv0);
}

#else

bool ChildProcess::start(const std::vector<std::string>& argv, LineSink out, LineSink err) {
  int pipes[2][2];
  if (pipe(pipes[0]) != 0) return false;
  if (pipe(pipes[1]) != 0) {
    ::close(pipes[0][0]);
    ::close(pipes[0][1]);
    return false;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipes[0][1], 1);
    dup2(pipes[1][1], 2);
    for (auto& p : pipes) ::close(p[0]), ::close(p[1]);
    execv(args[0], args.data());
    _exit(127);
  }
  for (auto& p : pipes) ::close(p[1]);
  if (pid_ < 0) {
    for (auto& p : pipes) ::close(p[0]);
    return false;
  }
  readers_[0] = std::thread(readAll, pipes[0][0], std::move(out));
  readers_[1] = std::thread(readAll, pipes[1][0], std::move(err));
  return true;
}

// Only a child not yet reaped: its pid cannot belong to another process.
void ChildProcess::interrupt() {
  if (pid_ > 0) kill(pid_, SIGTERM);
}

bool ChildProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
  pid_ = -1;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return false;
}

int ChildProcess::wait() {
  for (std::thread& reader : readers_)
    if (reader.joinable()) reader.join();
  if (pid_ <= 0) return exitCode_;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return exitCode_;
}

std::string ownProgramPath(const char* argv0) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  return n > 0 && n < (ssize_t)sizeof path ? std::string(path, (size_t)n) : std::string(argv0);
}

#endif
