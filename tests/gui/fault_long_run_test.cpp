// A long run of the real window against the virtual dongle program with its
// line faults switched on: dropped, late and damaged answers and stray bytes.
// Many REQ_UD2 exchanges with protected answers, then a whole encrypted
// update. Built with the sanitizers this is the run that must stay silent:
// any ASan, UBSan or LeakSanitizer report fails the test binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/shell/com_ports.h"
#include "app/shell/config_file.h"
#include "app/shell/log_file.h"
#include "firmware/firmware_image.h"
#include "tests/support/fakes.h"

class LongRunTimer : public FXObject {
  FXDECLARE(LongRunTimer)

 public:
  enum { ID_TICK = 1 };
  FXuint done = 0;
  long onTimeout(FXObject*, FXSelector, void*) {
    done = 1;
    return 1;
  }
};
FXDEFMAP(LongRunTimer) LongRunTimerMap[] = {FXMAPFUNC(SEL_TIMEOUT, LongRunTimer::ID_TICK, LongRunTimer::onTimeout)};
FXIMPLEMENT(LongRunTimer, FXObject, LongRunTimerMap, ARRAYNUMBER(LongRunTimerMap))

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::map<std::string, std::string> summary(const std::string& path) {
  std::map<std::string, std::string> values;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// The virtual dongle program on its own pty; stopped with SIGTERM at the end.
class DongleProcess {
 public:
  bool start(const std::vector<std::string>& options) {
    const char* build = std::getenv("MBUS_BUILD_DIR");
    const std::string program = std::string(build ? build : "..") + "/virtual-dongle";
    int out[2];
    if (access(program.c_str(), X_OK) != 0 || pipe(out) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<std::string> args{program, "--print-path-only"};
      args.insert(args.end(), options.begin(), options.end());
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[256] = {0};
    const bool ok = in && std::fgets(line, sizeof line, in);
    if (in) std::fclose(in);
    path = line;
    if (!path.empty() && path.back() == '\n') path.pop_back();
    return ok && !path.empty();
  }
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~DongleProcess() { stop(); }
  std::string path;

 private:
  pid_t pid_ = -1;
};

class FaultLongRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    static int argc = 1;
    static char name[] = "fault_long_run_test";
    static char* argv[] = {name, nullptr};
    app = new FXApp(DongleToolWindow::TITLE, "Brovanel");
    app->init(argc, argv, TRUE);
    app->create();
  }
  void TearDown() override {
    delete window;
    delete app;  // the whole toolkit goes, so LeakSanitizer sees only real leaks
    closeLogFile();
  }
  void runFor(unsigned ms) {
    LongRunTimer timer;
    app->addTimeout(&timer, LongRunTimer::ID_TICK, ms);
    app->runUntil(timer.done);
  }
  long send(FXSelector id) { return window->handle(nullptr, FXSEL(SEL_COMMAND, id), nullptr); }
  void openWindowOn(const std::string& ports, const std::string& port) {
    setenv("MBUS_FWTOOL_PORTS", ports.c_str(), 1);
    enumerateComPorts();
    std::memset(configLines, 0, sizeof configLines);
    configLoaded = 0;
    encryptionOn = 1;
    useSimpleProtocol = doubleBlock42 = skipBlock15 = 0;
    ASSERT_TRUE(openLogFile((dir + "/QORFW.log").c_str()));
    window = new DongleToolWindow(app);
    window->create();
    window->show(PLACEMENT_SCREEN);
    connectTo(port);
  }
  void connectTo(const std::string& port) {
    FXListBox* list = window->getPortList();
    const FXint index = list->findItem(port.c_str());
    ASSERT_GE(index, 0);
    list->setCurrentItem(index);
    window->getBaudList()->setCurrentItem(1);
    send(DongleToolWindow::ID_CONNECT);
    ASSERT_TRUE(window->getConnection().connected());
  }
  std::string console() const { return window->getConsole()->getText().text(); }

  const std::string dir = "long-run";
  FXApp* app = nullptr;
  DongleToolWindow* window = nullptr;
};

// Two dongles on two ports: the first damages and delays its answers (cheap
// faults: a lost answer costs one poll slot), the second drops and delays
// acknowledgements during the update (each drop costs a whole wait).
TEST_F(FaultLongRun, ProtectedAnswersAndAFullUpdateThroughLineFaults) {
  DongleProcess noisy, lossy;
  ASSERT_TRUE(noisy.start({"--protected-answers", "--baud", "9600", "--seed", "3", "--corrupt", "0.15", "--stray",
                           "0.15", "--late-ack", "0.2", "--late-ms", "300", "--summary-file", dir + "/noisy.txt"}))
      << "virtual-dongle not found in MBUS_BUILD_DIR or it did not start";
  ASSERT_TRUE(lossy.start({"--protected-answers", "--baud", "9600", "--seed", "2", "--drop-ack", "0.2",
                           "--late-ack", "0.3", "--late-ms", "300", "--summary-file", dir + "/lossy.txt", "--output",
                           dir + "/received.bin"}));
  openWindowOn(noisy.path + ":" + lossy.path, noisy.path);

  // REQ_UD2 exchanges: protected answers verified and decrypted, some of
  // them damaged or preceded by stray bytes on the way.
  for (int i = 0; i < 40; ++i) {
    send(DongleToolWindow::ID_REQ_UD2);
    runFor(400);
  }
  EXPECT_EQ(noisy.stop(), 0);
  std::map<std::string, std::string> s = summary(dir + "/noisy.txt");
  const std::string exchanges = console();
  EXPECT_EQ(count(exchanges, ">>> REQ_UD2\n"), 40u);
  EXPECT_GE(count(exchanges, "Decrypt OK.\n"), 20u) << exchanges.substr(0, 4000);
  EXPECT_LE(count(exchanges, "Decrypt Error.\n"), (size_t)std::stoul(s["answers_corrupted"]));
  EXPECT_NE(s["answers_corrupted"], "0");
  EXPECT_NE(s["stray_bytes"], "0");

  // A whole encrypted update of 1000 bytes on the other port; every fault
  // only costs a repeat.
  ASSERT_NO_FATAL_FAILURE(connectTo(lossy.path));
  std::vector<uint8_t> image(1000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 29 + i / 128);
  std::ofstream(dir + "/image.cfw", std::ios::binary).write((const char*)image.data(), (long)image.size());
  const std::string path = dir + "/image.cfw";
  window->chooseFirmwarePath = [path] { return path; };
  ASSERT_EQ(send(DongleToolWindow::ID_OPEN_FIRMWARE), 1);
  ASSERT_EQ(send(DongleToolWindow::ID_FIRMWARE_UPDATE), 1);
  EXPECT_NE(console().find("Dongle is now reprogramming, please reselect Dongle and check result.\n"),
            std::string::npos);
  runFor(300);

  EXPECT_EQ(lossy.stop(), 0);
  s = summary(dir + "/lossy.txt");
  EXPECT_EQ(s["complete"], "yes");
  EXPECT_EQ(s["length"], "1000");
  EXPECT_EQ(s["mac_failures"], "0");
  EXPECT_EQ(readFile(dir + "/received.bin"), std::string(image.begin(), image.end()));
  // The faults did happen, so the run went through the repeat paths.
  EXPECT_NE(s["acks_dropped"], "0");
  EXPECT_NE(s["acks_late"], "0");
  // The log holds exactly what the console showed, plus the security traces.
  const std::string log = readFile(dir + "/QORFW.log");
  EXPECT_EQ(count(log, "Decrypt OK.\n"), count(console(), "Decrypt OK.\n"));
  EXPECT_EQ(count(log, ">>> "), count(console(), ">>> "));
}

}  // namespace
