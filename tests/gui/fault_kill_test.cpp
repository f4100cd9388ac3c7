// The tool killed with SIGKILL in the middle of a firmware update. The window
// runs in a child process; the parent plays the dongle on a pseudo-terminal,
// records every frame and reply, and kills the child after a few data blocks.
// The log is unbuffered, so it must hold, in order, everything the tool had
// written before the kill: each frame it sent (all but the last, whose dump
// the kill may cut) and each reply it took in before sending the next frame.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/gui_fixture.h"

namespace {

using namespace guitest;

std::string dumpText(const Bytes& bytes) {
  std::string s;
  char item[8];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(item, sizeof item, "0x%02X ", bytes[i]);
    s += item;
    if (i % 16 == 15) s += "\n";
  }
  return s + "\n";
}

// The child: the real window, connected to the pty, updating the firmware
// until it is killed. Never returns into the test framework.
[[noreturn]] void runTool(const std::string& dir, const std::string& port) {
  if (chdir(dir.c_str()) != 0) _exit(10);
  ToolWindow tool;
  if (!tool.openLog()) _exit(11);
  tool.buildListing(port);
  tool.connect(port, 1);
  if (!tool.window->getConnection().connected()) _exit(13);
  tool.window->chooseFirmwarePath = [] { return std::string("image.cfw"); };
  tool.send(DongleToolWindow::ID_OPEN_FIRMWARE);
  if (!firmwareLoaded) _exit(14);
  tool.send(DongleToolWindow::ID_FIRMWARE_UPDATE);
  _exit(15);  // the update finished: the kill came too late
}

struct Exchange {
  Bytes frame;
  Bytes reply;
};

TEST(FaultKill, KilledDuringAnUpdateTheLogHoldsEverythingWrittenBeforeTheKill) {
  const std::string dir = "kill-run";
  std::filesystem::remove_all(dir);
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  {
    Bytes image(6000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 7 + i / 128);
    std::ofstream(dir + "/image.cfw", std::ios::binary).write((const char*)image.data(), (long)image.size());
  }
  PtyPair pty;
  ASSERT_FALSE(pty.path.empty());
  const int master = pty.master;

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) runTool(dir, pty.path);

  // The dongle: acknowledge every long frame, answer every REQ_UD2 with a
  // report; kill the tool once it has sent eight data blocks.
  std::vector<Exchange> exchanges;
  Bytes pending;
  int dataBlocks = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (dataBlocks < 8 && std::chrono::steady_clock::now() < deadline) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
    uint8_t buffer[512];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    pending.insert(pending.end(), buffer, buffer + n);
    for (const Bytes& frame : takeFrames(pending)) {
      Exchange e;
      e.frame = frame;
      if (e.frame[0] == 0x10) {
        e.reply = longFrame(0x08, 0xFB, {0x78, 0x01, 0xFD, 0x17, 0x00});
      } else {
        e.reply = {0xE5};
        // Encrypted data blocks are 183-byte frames.
        if (e.frame.size() == 183) ++dataBlocks;
      }
      exchanges.push_back(e);
      if (dataBlocks == 8) break;
      ASSERT_EQ(write(master, e.reply.data(), e.reply.size()), (ssize_t)e.reply.size());
    }
  }
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the tool ended by itself with " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  ASSERT_EQ(dataBlocks, 8);

  const std::string log = readFile(dir + "/" + ToolWindow::LOG_PATH);
  EXPECT_EQ(log.find("Dongle is now reprogramming"), std::string::npos);
  // Every exchange but the last one was finished before the next frame went
  // out: its frame and the reply the tool took in are in the log, in order.
  size_t at = 0;
  for (size_t i = 0; i + 1 < exchanges.size(); ++i) {
    const Exchange& e = exchanges[i];
    const size_t frame = log.find(">>> ", at);
    ASSERT_NE(frame, std::string::npos) << "heading of frame " << i;
    at = log.find(dumpText(e.frame), frame);
    ASSERT_NE(at, std::string::npos) << "frame " << i << ": " << hex(e.frame);
    at += dumpText(e.frame).size();
    const std::string reply = e.reply.size() == 1 ? "<<< Answer single byte ACK.\n"
                                                  : "<<< Answer\n" + dumpText(e.reply);
    at = log.find(reply, at);
    ASSERT_NE(at, std::string::npos) << "reply to frame " << i << ": " << hex(e.frame);
    at += reply.size();
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
