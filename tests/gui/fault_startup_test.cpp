// The real program started where its working files cannot be used: the log
// name and the configuration name are taken by directories. It must come up,
// keep running its receive polls, and quit cleanly on ctrl-q (under the
// sanitizer build a clean exit also means no sanitizer or leak report).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  pclose(pipe);
  return out;
}

// Waits for the child's end; false when it is still running at the deadline.
bool waitFor(pid_t pid, int seconds, int& status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(FaultStartup, LogAndConfigNamesTakenByDirectoriesTheToolStillRunsAndQuits) {
  const char* build = std::getenv("MBUS_BUILD_DIR");
  const std::string program = std::string(build ? build : "..") + "/mbus-fwtool";
  ASSERT_EQ(access(program.c_str(), X_OK), 0) << program;
  const std::string dir = "startup-run";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/QORFW.log");
  std::filesystem::create_directories(dir + "/QORconfig.txt");

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(10);
    setenv("MBUS_FWTOOL_PORTS", "", 1);
    execl(program.c_str(), program.c_str(), (char*)nullptr);
    _exit(127);
  }

  // The main window appears under its title.
  std::string window;
  for (int i = 0; i < 100 && window.empty(); ++i) {
    window = run("xdotool search --name 'multiprotocol FW update tool V1.8' 2>/dev/null | head -1");
    if (window.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  int status = 0;
  if (window.empty()) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "no main window within 10 s";
  }
  while (!window.empty() && window.back() == '\n') window.pop_back();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a few receive polls
  ASSERT_EQ(waitpid(child, &status, WNOHANG), 0) << "the tool ended by itself";

  run("xdotool windowfocus --sync " + window + " key ctrl+q 2>/dev/null");
  if (!waitFor(child, 20, status)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "ctrl-q did not end the tool";
  }
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  // Nothing was written where the log should have been.
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/QORFW.log"));
  EXPECT_TRUE(std::filesystem::is_empty(dir + "/QORFW.log"));
  std::filesystem::remove_all(dir);
}

}  // namespace
