#include "tests/e2e/e2e_harness.h"

#include <fcntl.h>
#include <fxkeys.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/shell/com_ports.h"
#include "app/shell/config_file.h"
#include "app/shell/log_file.h"
#include "commands/identity_fields.h"
#include "firmware/firmware_image.h"

FXDEFMAP(E2eTimer) E2eTimerMap[] = {FXMAPFUNC(SEL_TIMEOUT, E2eTimer::ID_TICK, E2eTimer::onTimeout)};
FXIMPLEMENT(E2eTimer, FXObject, E2eTimerMap, ARRAYNUMBER(E2eTimerMap))

long E2eTimer::onTimeout(FXObject*, FXSelector, void*) {
  if (onTick) onTick();
  return 1;
}

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int msSince(Clock::time_point start) {
  return (int)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

std::string buildDir() {
  if (const char* dir = std::getenv("MBUS_BUILD_DIR")) return dir;
  // <build>/tests/e2e/<program> or <build>/tools-bench/<program>
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

FXApp& app() {
  static FXApp* application = [] {
    static int argc = 1;
    static char name[] = "mbus-fwtool-e2e";
    static char* argv[] = {name, nullptr};
    FXApp* a = new FXApp(DongleToolWindow::TITLE, "Brovanel");
    a->init(argc, argv, TRUE);
    a->create();
    return a;
  }();
  return *application;
}

void runFor(unsigned ms) {
  E2eTimer timer;
  FXuint done = 0;
  timer.onTick = [&] { done = 1; };
  app().addTimeout(&timer, E2eTimer::ID_TICK, ms);
  app().runUntil(done);
  app().removeTimeout(&timer, E2eTimer::ID_TICK);
}

bool runUntil(const std::function<bool()>& done, unsigned ms) {
  const Clock::time_point start = Clock::now();
  while (!done() && msSince(start) < (int)ms) runFor(20);
  return done();
}

Every::Every(unsigned ms, std::function<void()> tick) : ms_(ms), tick_(std::move(tick)) {
  timer_.onTick = [this] {
    app().addTimeout(&timer_, E2eTimer::ID_TICK, ms_);
    tick_();
  };
  app().addTimeout(&timer_, E2eTimer::ID_TICK, ms_);
}

Every::~Every() { app().removeTimeout(&timer_, E2eTimer::ID_TICK); }

// ---- the dongle program ----

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
    const int left = ms - msSince(start);
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
  while (readLine(line, ms - msSince(start)))
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
  } while (msSince(start) < ms);
  return -1;
}

int DongleProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  return waitExit(5000);
}

// ---- the window ----

Tool::Tool(const std::string& port) {
  // What the program's start leaves behind.
  encryptionOn = 1;
  useSimpleProtocol = 0;
  doubleBlock42 = 0;
  skipBlock15 = 0;
  firmwareLoaded = 0;
  firmwareLength = 0;
  std::memset(meterAddress, 0, sizeof meterAddress);
  std::memset(meterIdBytes, 0, sizeof meterIdBytes);
  std::memset(communicationKey, 0, sizeof communicationKey);
  invocationCounter = 0;
  std::memset(configLines, 0, sizeof configLines);
  configLoaded = 0;
  setenv("MBUS_FWTOOL_PORTS", port.c_str(), 1);
  enumerateComPorts();
  openLogFile("QORFW.log");
  window = new DongleToolWindow(&app());
  window->create();
  app().forceRefresh();
  app().flush(true);
  FXListBox* ports = window->getPortList();
  const FXint index = ports->findItem(port.c_str());
  if (index >= 0) ports->setCurrentItem(index);
  window->getBaudList()->setCurrentItem(1);
}

Tool::~Tool() {
  delete window;
  app().flush(true);
  closeLogFile();
}

bool Tool::connect(int baudIndex) {
  window->getBaudList()->setCurrentItem(baudIndex);
  send(DongleToolWindow::ID_CONNECT);
  return window->getConnection().connected();
}

long Tool::openFirmware(const std::string& path) {
  window->chooseFirmwarePath = [path] { return path; };
  return send(DongleToolWindow::ID_OPEN_FIRMWARE);
}

void Tool::setOption(FXMenuCheck* check, bool on) {
  if ((check->getCheck() != FALSE) == on) return;
  FXEvent press;
  press.type = SEL_KEYPRESS;
  press.code = KEY_Return;
  check->handle(check, FXSEL(SEL_KEYPRESS, 0), &press);
  FXEvent release = press;
  release.type = SEL_KEYRELEASE;
  check->handle(check, FXSEL(SEL_KEYRELEASE, 0), &release);
}

void Tool::chooseProtocol(const std::string& name) {
  setOption(window->getSimpleProtocolCheck(), name == "simple");
  setOption(window->getEncryptionCheck(), name == "encrypted");
}

std::vector<uint8_t> dumpAfter(const std::string& text, const std::string& heading, size_t from) {
  std::vector<uint8_t> bytes;
  size_t at = text.find(heading, from);
  if (at == std::string::npos) return bytes;
  at += heading.size();
  // Dump lines follow one another; an empty line or another text ends it.
  while (at + 4 < text.size() && text.compare(at, 2, "0x") == 0) {
    bytes.push_back((uint8_t)std::strtoul(text.substr(at + 2, 2).c_str(), nullptr, 16));
    at += 5;
    if (at < text.size() && text[at] == '\n') ++at;
  }
  return bytes;
}

FXButton* findButton(FXWindow* root, const char* label) {
  for (FXWindow* child = root->getFirst(); child; child = child->getNext()) {
    if (FXButton* button = dynamic_cast<FXButton*>(child))
      if (button->getText() == label) return button;
    if (FXButton* found = findButton(child, label)) return found;
  }
  return nullptr;
}

bool clickWidget(FXWindow* widget) {
  FXint x = 0, y = 0;
  widget->translateCoordinatesTo(x, y, app().getRootWindow(), widget->getWidth() / 2, widget->getHeight() / 2);
  char command[160];
  std::snprintf(command, sizeof command, "xdotool mousemove --sync %d %d click 1 >/dev/null 2>&1", x, y);
  return std::system(command) == 0;
}

bool screenshot(FXWindow* window, const std::string& path) {
  app().forceRefresh();
  app().flush(true);
  const std::string command =
      "import -window " + std::to_string((unsigned long)window->id()) + " '" + path + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

}  // namespace e2e
