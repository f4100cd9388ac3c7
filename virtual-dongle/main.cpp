// The virtual dongle on a pseudo-terminal: the tool opens the pty's slave (or
// a symlink to it) as its serial port; this program serves the master side
// with the engine until SIGINT/SIGTERM or until --close-after ends the line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "virtual-dongle/dongle_engine.h"
#include "virtual-dongle/dongle_options.h"
#include "virtual-dongle/usb_latency.h"

using namespace vdongle;

namespace {

volatile sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }

uint64_t monotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

bool writeFile(const std::string& path, const void* data, size_t n) {
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(data, 1, n, f) == n;
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Raw 8-bit line. The pty ignores the speed and clears the parity bit, but
// the settings document what a real line would carry.
void makeRaw(int fd, int baud) {
  termios t;
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD | CS8 | PARENB;
  speed_t speed = baud == 2400 ? B2400 : B9600;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
}

// A pseudo-terminal keeps the speed the tool's tcsetattr gave it (not the
// parity): pace at that rate, so either baud in the tool's list works.
int lineBaud(int fd) {
  termios t;
  if (tcgetattr(fd, &t) != 0) return 0;
  switch (cfgetospeed(&t)) {
    case B2400: return 2400;
    case B9600: return 9600;
    default: return 0;
  }
}

// An old symlink from a killed run is replaced; anything else is left alone.
bool placeLink(const std::string& link, const char* target) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "virtual-dongle: %s exists and is not a symlink\n", link.c_str());
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target, link.c_str()) != 0) {
    std::fprintf(stderr, "virtual-dongle: cannot create %s: %s\n", link.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void removeLink(const std::string& link, const char* target) {
  char buf[PATH_MAX];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return;
  buf[n] = 0;
  if (std::strcmp(buf, target) == 0) unlink(link.c_str());
}

struct Session {
  const Options& options;
  DongleEngine engine;
  bool haveLast = false;
  TransferSummary last;

  explicit Session(const Options& o) : options(o), engine(o.config) {}

  void writeSummaryFile() {
    if (options.summaryFile.empty()) return;
    std::string text = summaryFileText(haveLast ? &last : nullptr, options.output, engine.stats());
    writeFile(options.summaryFile, text.data(), text.size());
  }

  void reportFinished() {
    for (CompletedTransfer& done : engine.takeCompleted()) {
      if (!writeFile(options.output, done.image.data(), done.image.size()))
        std::fprintf(stderr, "virtual-dongle: cannot write %s\n", options.output.c_str());
      last = done.summary;
      haveLast = true;
      std::printf("%s\n", summaryLine(done.summary, options.output).c_str());
      std::fflush(stdout);
      writeSummaryFile();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!parseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "virtual-dongle: %s\n%s", error.c_str(), usage().c_str());
    return 2;
  }
  if (options.help) {
    std::printf("%s", usage().c_str());
    return 0;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  char slavePath[PATH_MAX] = {};
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, slavePath, sizeof slavePath) != 0) {
    std::fprintf(stderr, "virtual-dongle: no pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  // Held open so that the master sees no hang-up before the tool connects
  // and between two connections.
  int slave = open(slavePath, O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::fprintf(stderr, "virtual-dongle: cannot open %s: %s\n", slavePath, std::strerror(errno));
    return 1;
  }
  makeRaw(slave, options.config.baud);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  if (!options.link.empty() && !placeLink(options.link, slavePath)) return 1;

  signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);  // delivered only inside ppoll
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGHUP);
  struct sigaction sa = {};
  sa.sa_handler = onStopSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  if (options.printPathOnly) {
    std::printf("%s\n", slavePath);
  } else {
    std::printf("virtual dongle on %s\n", slavePath);
    if (!options.link.empty()) std::printf("virtual dongle link %s\n", options.link.c_str());
    const DongleConfig& c = options.config;
    uint16_t m = c.identity.manufacturer;
    const std::string delay = c.replyDelayUs ? std::to_string(c.replyDelayUs / 1000) + " ms" : "one character";
    const std::string usb =
        options.usbLatencyUs ? ", usb latency " + std::to_string(options.usbLatencyUs / 1000) + " ms" : "";
    std::printf("identity %c%c%c %02X%02X%02X%02X version %02X type %02X, %s answers, baud %d, reply delay %s, "
                "seed %llu%s\n",
                (m >> 10 & 31) + 64, (m >> 5 & 31) + 64, (m & 31) + 64, c.identity.id[3], c.identity.id[2],
                c.identity.id[1], c.identity.id[0], c.identity.version, c.identity.deviceType,
                c.protectAnswers ? "protected" : "plain", c.baud, delay.c_str(),
                (unsigned long long)c.faults.seed, usb.c_str());
  }
  std::fflush(stdout);

  Session session(options);
  session.writeSummaryFile();
  // The adapter's timer holds only what the dongle sends; what it receives
  // is not held (the timer works on the device-to-host side).
  UsbLatencyTimer adapter(options.usbLatencyUs);
  std::vector<uint8_t> sent, backlog;
  bool closedByEngine = false;
  int reportedBaud = options.config.baud;
  while (!stopRequested) {
    const uint64_t passUs = monotonicUs();
    session.engine.takeDue(passUs, sent);
    adapter.holdBytes(sent, passUs);
    adapter.releaseBurst(passUs, backlog);
    while (!backlog.empty()) {
      ssize_t n = write(master, backlog.data(), backlog.size());
      if (n <= 0) break;  // pty full (the tool reads nothing) or gone: try later
      backlog.erase(backlog.begin(), backlog.begin() + n);
    }
    session.reportFinished();
    if (session.engine.closeRequested() && backlog.empty() && !adapter.holding()) {
      closedByEngine = true;
      break;
    }

    pollfd pfd{master, (short)(POLLIN | (backlog.empty() ? 0 : POLLOUT)), 0};
    uint64_t due = backlog.empty() ? std::min(session.engine.nextDueUs(), adapter.burstDueUs()) : kNever;
    timespec timeout{}, *wait = nullptr;
    if (due != kNever) {
      uint64_t now = monotonicUs();
      uint64_t left = due > now ? due - now : 0;
      timeout.tv_sec = (time_t)(left / 1000000u);
      timeout.tv_nsec = (long)(left % 1000000u) * 1000;
      wait = &timeout;
    }
    int ready = ppoll(&pfd, 1, wait, &waitMask);
    if (ready < 0) continue;  // EINTR: the loop condition decides
    if (pfd.revents & POLLIN) {
      uint8_t buf[4096];
      ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) {
        if (const int baud = lineBaud(slave)) {
          session.engine.followBaud(baud);
          // What a serial server (RFC 2217) set reaches us as the pty's speed.
          if (baud != reportedBaud) std::printf("virtual dongle line speed %d\n", reportedBaud = baud);
        }
        session.engine.receive(buf, (size_t)n, monotonicUs());
      }
    } else if (pfd.revents & (POLLHUP | POLLERR)) {
      // Cannot happen while we hold the slave open; do not spin if it does.
      usleep(20000);
    }
  }

  if (closedByEngine) {
    // Let the tool read the last answer first: a hang-up drops what is still
    // queued. The pty moves written bytes to the slave's queue a moment
    // later, so look only after a short pause.
    for (int i = 0; i < 300; ++i) {
      usleep(10000);
      int queued = 0;
      if (ioctl(slave, FIONREAD, &queued) != 0 || queued == 0) break;
    }
    std::printf("virtual dongle closed the line after %llu telegrams\n",
                (unsigned long long)session.engine.stats().telegrams);
  }
  session.writeSummaryFile();
  close(master);
  close(slave);
  if (!options.link.empty()) removeLink(options.link, slavePath);
  return 0;
}
