// ChildProcess on Windows: CreateProcess with two pipes only it inherits.
#include <windows.h>

#include "app/cli/child_process.h"

namespace {

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

}  // namespace

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
  process_ = (std::intptr_t)info.hProcess;
  readers_[0] = std::thread(readAll, read[0], std::move(out));
  readers_[1] = std::thread(readAll, read[1], std::move(err));
  return true;
}

void ChildProcess::interrupt() {}

bool ChildProcess::running() { return process_ && WaitForSingleObject((HANDLE)process_, 0) == WAIT_TIMEOUT; }

int ChildProcess::wait() {
  for (std::thread& reader : readers_)
    if (reader.joinable()) reader.join();
  if (!process_) return exitCode_;
  WaitForSingleObject((HANDLE)process_, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess((HANDLE)process_, &code);
  CloseHandle((HANDLE)process_);
  process_ = 0;
  exitCode_ = (int)code;
  return exitCode_;
}

std::string ownProgramPath(const char* argv0) {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string(argv0);
}
