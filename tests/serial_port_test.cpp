// The termios line: its settings and the reasons of a refused open as pure
// functions (a pseudo-terminal drops parity, so only this sees a lost PARENB;
// root is never refused for permission), and the port over a real
// pseudo-terminal pair for what a pty can show: raw bytes, a held port, a
// missing one, a path that is no terminal and a far end that hangs up; low
// latency on a real UART, and the virtual dongle's bursts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "link/connection.h"
#include "link/platform/line_settings_posix.h"
#include "link/platform/uucp_lock_posix.h"
#include "link/serial_port.h"
#include "tests/support/fakes.h"
#include "virtual-dongle/dongle_launcher.h"

namespace {

TEST(LineSettings, EightDataBitsEvenParityOneStopRawAtBothRates) {
  for (const auto& rate : {std::pair<int, speed_t>{2400, B2400}, {9600, B9600}}) {
    SCOPED_TRACE(rate.first);
    termios tio{};
    tio.c_cflag = CS7 | PARODD | CSTOPB | CRTSCTS;  // what another program may have left
    tio.c_iflag = IXON | IXOFF | INPCK | ICRNL;
    tio.c_lflag = ICANON | ECHO | ISIG;
    tio.c_oflag = OPOST;
    ASSERT_TRUE(makeLineSettings(rate.first, tio));
    EXPECT_EQ(cfgetospeed(&tio), rate.second);
    EXPECT_EQ(cfgetispeed(&tio), rate.second);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), (tcflag_t)(CS8 | PARENB));
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
  termios tio{};
  EXPECT_FALSE(makeLineSettings(4800, tio));
}

TEST(OpenFailure, EachStepsErrnoTellsItsReason) {
  using R = SerialOpenResult;
  const struct { OpenStep step; int error; R expected; } rows[] = {
      {OpenStep::Open, EACCES, R::NoPermission}, {OpenStep::Open, EPERM, R::NoPermission},
      {OpenStep::Open, EBUSY, R::Busy},          {OpenStep::Open, EINVAL, R::OpenFailed},
      {OpenStep::Flock, ENOLCK, R::OpenFailed},  {OpenStep::GetParams, EINVAL, R::NotSerial},
      {OpenStep::GetParams, EIO, R::GetParamsFailed},
  };
  for (const auto& row : rows)
    EXPECT_EQ(openFailure(row.step, row.error), row.expected)
        << "step " << (int)row.step << ", " << strerror(row.error);
}

struct PtyPair {
  int master = -1, slave = -1;
  std::string path;
  PtyPair() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
  }
  ~PtyPair() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
};

// More than the pty holds, to a far end that reads slowly: the write waits for
// room within its bound (10 ms a byte) and the frame goes out whole.
TEST(SerialPortPosix, AFrameLargerThanTheLineBufferGoesOutWhole) {
  PtyPair pty;
  auto port = createSerialPort();
  ASSERT_EQ(port->open(pty.path.c_str(), 9600), SerialOpenResult::Ok);
  std::vector<uint8_t> frame(64 * 1024, 0x55);
  size_t drained = 0;
  std::thread reader([&] {
    uint8_t chunk[4096];
    pollfd p{pty.master, POLLIN, 0};
    while (drained < frame.size() && poll(&p, 1, 1000) > 0) {  // a writer that gave up sends no more
      usleep(20000);
      const ssize_t n = read(pty.master, chunk, sizeof chunk);
      if (n <= 0) break;
      drained += (size_t)n;
    }
  });
  int count = 0;
  EXPECT_EQ(port->write(frame.data(), (int)frame.size(), count), SerialIo::Ok);
  EXPECT_EQ(count, (int)frame.size());
  reader.join();
}

// Fast answers on the command line ask this count at every pass.
TEST(SerialPortPosix, BytesWaitingCountsWhatArrivedUntilARead) {
  PtyPair pty;
  auto port = createSerialPort();
  EXPECT_EQ(port->bytesWaiting(), 0) << "not open";
  ASSERT_EQ(port->open(pty.path.c_str(), 9600), SerialOpenResult::Ok);
  EXPECT_EQ(port->bytesWaiting(), 0);
  const uint8_t answer[] = {0xE5, 0x10, 0x5B, 0xFE, 0x59, 0x16};
  for (size_t sent = 1; sent <= sizeof answer; sent += 5) {
    ASSERT_EQ(write(pty.master, answer, sent), (ssize_t)sent);
    for (int i = 0; i < 100 && port->bytesWaiting() < (int)sent; ++i) usleep(1000);
    EXPECT_EQ(port->bytesWaiting(), (int)sent);
    uint8_t buffer[16];
    int count = 0;
    ASSERT_EQ(port->read(buffer, sizeof buffer, count), SerialIo::Ok);
    EXPECT_EQ(count, (int)sent);
    EXPECT_EQ(port->bytesWaiting(), 0) << "after the read";
  }
}

TEST(SerialPortPosix, HeldPortsAreBusyAndAHungUpOneIsGone) {
  auto port = createSerialPort();
  PtyPair pty;
  ASSERT_EQ(port->open(pty.path.c_str(), 9600), SerialOpenResult::Ok);
  auto second = createSerialPort();
  EXPECT_EQ(second->open(pty.path.c_str(), 9600), SerialOpenResult::Busy);
  EXPECT_FALSE(second->isOpen());
  port->close();  // nothing of ours may hold the tty after close
  EXPECT_EQ(second->open(pty.path.c_str(), 9600), SerialOpenResult::Ok);
  second->close();
  const int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY);  // a program that only flocks
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  EXPECT_EQ(port->open(pty.path.c_str(), 9600), SerialOpenResult::Busy);
  close(other);
  ASSERT_EQ(port->open(pty.path.c_str(), 9600), SerialOpenResult::Ok);
  uint8_t buffer[8];
  int count = -1;
  EXPECT_EQ(port->read(buffer, 8, count), SerialIo::Ok);
  EXPECT_EQ(count, 0);
  close(pty.master);
  pty.master = -1;
  EXPECT_EQ(port->read(buffer, 8, count), SerialIo::Gone);
  EXPECT_EQ(port->write(buffer, 8, count), SerialIo::Gone);
}

TEST(SerialPortPosix, MissingPathsAreNotFoundAndNonTerminalsNotSerial) {
  char dir[] = "/tmp/mbus-paths-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("MBUS_LOCK_DIR", dir, 1);  // where a refused port must leave no lock file
  const std::string plain = std::string(dir) + "/plain";
  std::ofstream(plain) << "no terminal";
  const struct { const char* behaviour; std::string path; SerialOpenResult expected; } rows[] = {
      {"missing path", "/dev/no-such-port", SerialOpenResult::NotFound},
      {"path through a plain file", plain + "/tty", SerialOpenResult::NotFound},
      {"plain file", plain, SerialOpenResult::NotSerial},
      {"device that is no terminal", "/dev/null", SerialOpenResult::NotSerial},
  };
  auto port = createSerialPort();
  for (const auto& row : rows) {
    EXPECT_EQ(port->open(row.path.c_str(), 9600), row.expected) << row.behaviour;
    EXPECT_FALSE(port->isOpen()) << row.behaviour;
  }
  unlink(plain.c_str());
  unsetenv("MBUS_LOCK_DIR");
  EXPECT_EQ(rmdir(dir), 0) << "a refused port left its lock file";
}

std::string slurp(const std::string& path) { return access(path.c_str(), F_OK) == 0 ? readText(path) : "(none)"; }

std::string lockText(pid_t pid) {
  char text[16];
  snprintf(text, sizeof text, "%10d\n", (int)pid);
  return text;
}

TEST(SerialPortPosix, UucpLockOfALiveProgramRefusesADeadOnesIsReplacedByOursUntilClose) {
  char dir[] = "/tmp/mbus-lock-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("MBUS_LOCK_DIR", dir, 1);
  const std::string link = std::string(dir) + "/dongle";
  for (const bool alive : {true, false}) {
    SCOPED_TRACE(alive ? "live holder" : "dead holder");
    PtyPair pty;
    ASSERT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);
    const std::string lock = std::string(dir) + "/LCK.." + pty.path.substr(pty.path.rfind('/') + 1);
    const pid_t holder = fork();
    if (holder == 0) {
      if (alive) sleep(60);
      _exit(0);
    }
    if (!alive) waitpid(holder, nullptr, 0);
    std::ofstream(lock) << lockText(holder);
    auto port = createSerialPort();
    const SerialOpenResult result = port->open(link.c_str(), 9600);
    const std::string whileOpen = slurp(lock);
    port->close();
    EXPECT_EQ(result, alive ? SerialOpenResult::Busy : SerialOpenResult::Ok);
    EXPECT_EQ(whileOpen, lockText(alive ? holder : getpid()));
    EXPECT_EQ(slurp(lock), alive ? lockText(holder) : "(none)");
    if (alive) {
      kill(holder, SIGKILL);
      waitpid(holder, nullptr, 0);
    }
    unlink(lock.c_str());
    unlink(link.c_str());
  }
  unsetenv("MBUS_LOCK_DIR");
  rmdir(dir);
}

// Another user's lock in a sticky folder (as /run/lock): one we cannot read
// may be a live program's, and one we cannot remove cannot be replaced by
// ours; either refuses the port.
TEST(SerialPortPosix, UucpLockOfAnotherUserThatCannotBeReadOrRemovedRefuses) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  char dir[] = "/tmp/mbus-lock-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string lock = std::string(dir) + "/LCK..ttyFAKE";
  // Folder and lock modes: unreadable; readable and stale (PID 0x7FFFFFF0 runs
  // nowhere) but not removable; unreadable in a folder where it is removable.
  for (const auto& [folder, mode] : {std::pair<mode_t, mode_t>{01777, 0600}, {01777, 0644}, {0777, 0600}}) {
    chmod(dir, folder);
    std::ofstream(lock) << lockText(0x7FFFFFF0);
    chmod(lock.c_str(), mode);
    const pid_t other = fork();
    if (other == 0) {
      setenv("MBUS_LOCK_DIR", dir, 1);
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      UucpLock uucp;
      _exit(uucp.acquire("/nowhere/ttyFAKE") == UucpLockResult::HeldByOther ? 1 : 0);
    }
    int status = 0;
    waitpid(other, &status, 0);
    EXPECT_TRUE(WEXITSTATUS(status) == 1 && slurp(lock) == lockText(0x7FFFFFF0)) << std::oct << folder << " " << mode;
    unlink(lock.c_str());
  }
  rmdir(dir);
}

// Through the connection as the fronts use it: a flag that another program
// left set stays set; one we set is cleared when fast answers go off and at close.
TEST(SerialPortPosix, LowLatencyOnARealUartComesBackAsFound) {
  const int probe = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
  serial_struct found{}, now{};
  if (probe < 0 || ioctl(probe, TIOCGSERIAL, &found) != 0) GTEST_SKIP() << "no UART at /dev/ttyS0";
  ioctl(probe, TIOCNXCL);  // a run killed while it held the port (or a deliberate fault) may have left it exclusive
  auto low = [&] { return ioctl(probe, TIOCGSERIAL, &now) == 0 && (now.flags & ASYNC_LOW_LATENCY); };
  Output out;
  FakeFields fields;
  Connection link(createSerialPort(), out, fields);
  for (const bool before : {false, true}) {
    serial_struct set = found;
    set.flags = before ? found.flags | ASYNC_LOW_LATENCY : found.flags & ~ASYNC_LOW_LATENCY;
    ASSERT_EQ(ioctl(probe, TIOCSSERIAL, &set), 0);
    link.keepLatencyLow(true);
    const bool opened = link.connect("/dev/ttyS0", 1) == SerialOpenResult::Ok, whileOn = low();
    link.keepLatencyLow(false);
    const bool afterOff = low();
    link.keepLatencyLow(true);
    link.disconnect();
    EXPECT_EQ(std::vector<bool>({opened, whileOn, afterOff, low()}), std::vector<bool>({true, true, before, before}))
        << "opened, on, off, closed; left set before: " << before;
  }
  ioctl(probe, TIOCSSERIAL, &found);
  close(probe);
}

// A REQ_UD2 answer at 9600 baud needs ~32 ms on the line; held from its
// first byte for 40 ms, it comes whole, late. The pty takes no low latency,
// and the connection goes on without a word.
TEST(SerialPortPosix, TheDongleUnderAnAdapterLatencyAnswersInOneLateBurst) {
  DongleLauncher dongle("dongle-40", {"--usb-latency-ms", "40"});
  FakeConsole console;
  Output out(&console);
  FakeFields fields;
  Connection link(createSerialPort(), out, fields);
  link.keepLatencyLow(true);
  ASSERT_EQ(link.connect(dongle.link, 1), SerialOpenResult::Ok);
  link.writeFrame((const uint8_t*)"\x10\x5B\xFB\x56\x16", 5);  // REQ_UD2
  const auto sent = std::chrono::steady_clock::now();
  pollfd p{(int)link.serialHandle().waitHandle(), POLLIN, 0};
  ASSERT_GT(poll(&p, 1, 500), 0);
  const auto first = std::chrono::steady_clock::now() - sent;
  usleep(3000);  // a paced answer would still be arriving
  std::vector<uint8_t> answer(300);
  const int got = link.readBlock(answer.data(), (int)answer.size());
  link.disconnect();
  EXPECT_EQ(got, answer[1] + 6) << "the whole long frame at once";
  EXPECT_TRUE(first >= std::chrono::milliseconds(40) && first < std::chrono::milliseconds(70))
      << std::chrono::duration_cast<std::chrono::milliseconds>(first).count() << " ms to the first byte";
  EXPECT_EQ(console.text(), "");
}

}  // namespace
