// The termios port over real pseudo-terminal pairs (and /dev/ttyS0 when the
// machine has one we may open).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "tests/support/fakes.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A pty pair: the port opens `path` (the slave); the test plays the device on
// the master and keeps its own slave descriptor to look at the line settings.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;

  Pty() {
    char name[64];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
      path = name;
      fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
  }
  ~Pty() {
    closeMaster();
    if (slave >= 0) ::close(slave);
  }
  void closeMaster() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  void send(const std::vector<uint8_t>& bytes) const {
    ASSERT_EQ((ssize_t)bytes.size(), ::write(master, bytes.data(), bytes.size()));
  }
  // What the master receives within `ms`, stopping at `want` bytes.
  std::vector<uint8_t> receive(size_t want, int ms = 1000) const {
    std::vector<uint8_t> got;
    const auto start = Clock::now();
    uint8_t buffer[512];
    while (got.size() < want && msSince(start) < ms) {
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  termios lineSettings() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
};

// Reads through the port until `want` bytes came or `ms` passed; counts the reads.
std::vector<uint8_t> readAll(SerialPort& port, size_t want, int* reads, int ms = 1000) {
  std::vector<uint8_t> got;
  uint8_t buffer[256];
  const auto start = Clock::now();
  while (got.size() < want && msSince(start) < ms) {
    const int n = port.read(buffer, 256);
    if (n < 0) break;
    if (n > 0) {
      ++*reads;
      got.insert(got.end(), buffer, buffer + n);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return got;
}

std::vector<uint8_t> allByteValues(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = (uint8_t)(i * 37 + 11);
  return bytes;
}

TEST(SerialPortPosix, PtyIsConfiguredRawWithoutFlowControl) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 9600));
  EXPECT_TRUE(port->isOpen());

  const termios t = pty.lineSettings();
  EXPECT_EQ(B9600, cfgetospeed(&t));
  EXPECT_EQ((tcflag_t)CS8, t.c_cflag & CSIZE);
  EXPECT_EQ(0u, t.c_cflag & (CSTOPB | CRTSCTS));
  EXPECT_EQ((tcflag_t)(CLOCAL | CREAD), t.c_cflag & (CLOCAL | CREAD));
  EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP));
  EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_EQ(0u, t.c_oflag & OPOST);
  EXPECT_EQ(0, t.c_cc[VMIN]);
  EXPECT_EQ(0, t.c_cc[VTIME]);
}

// The pty refuses a repeated identical tcsetattr with EINVAL; reopening must
// still succeed and apply a new rate.
TEST(SerialPortPosix, PtyReopensAtAnotherRate) {
  Pty pty;
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 9600));
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 2400));
  termios t = pty.lineSettings();
  EXPECT_EQ(B2400, cfgetospeed(&t));
  port->close();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 2400));
  t = pty.lineSettings();
  EXPECT_EQ(B2400, cfgetospeed(&t));
}

TEST(SerialPortPosix, PtyOpensThroughSymlink) {
  Pty pty;
  const std::string link = "pty-link";
  ::unlink(link.c_str());
  ASSERT_EQ(0, ::symlink(pty.path.c_str(), link.c_str()));
  auto port = createSerialPort();
  EXPECT_EQ(SerialOpenResult::Ok, port->open(link.c_str(), 9600));
  // The same device under its own name is the same port, and busy.
  auto other = createSerialPort();
  EXPECT_EQ(SerialOpenResult::OpenFailed, other->open(pty.path.c_str(), 9600));
  ::unlink(link.c_str());
}

TEST(SerialPortPosix, OpenFailuresAreClassified) {
  auto port = createSerialPort();
  EXPECT_EQ(SerialOpenResult::NotFound, port->open("/dev/ttyNoSuchPort99", 9600));
  EXPECT_EQ(SerialOpenResult::NotFound, port->open("no-such-dir/ttyS0", 9600));
  EXPECT_EQ(SerialOpenResult::OpenFailed, port->open(".", 9600));  // a directory: EISDIR
  EXPECT_FALSE(port->isOpen());

  // Not a terminal: the line settings cannot be read. The lock taken before
  // must be released, or the second attempt would report a busy port.
  const char* file = "plain-file";
  FILE* f = std::fopen(file, "w");
  ASSERT_NE(nullptr, f);
  std::fclose(f);
  EXPECT_EQ(SerialOpenResult::GetParamsFailed, port->open(file, 9600));
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(SerialOpenResult::GetParamsFailed, port->open(file, 9600));
  ::unlink(file);

  Pty pty;
  EXPECT_EQ(SerialOpenResult::SetParamsFailed, port->open(pty.path.c_str(), 12345));
  EXPECT_FALSE(port->isOpen());
}

TEST(SerialPortPosix, SecondOpenerIsRefusedUntilFirstCloses) {
  Pty pty;
  auto first = createSerialPort();
  auto second = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, first->open(pty.path.c_str(), 9600));
  EXPECT_EQ(SerialOpenResult::OpenFailed, second->open(pty.path.c_str(), 9600));
  EXPECT_FALSE(second->isOpen());
  // The refused opener must not have dropped the first one's exclusive mode.
  int exclusive = 0;
  ASSERT_EQ(0, ioctl(pty.slave, TIOCGEXCL, &exclusive));
  EXPECT_EQ(1, exclusive);

  first->close();
  ASSERT_EQ(0, ioctl(pty.slave, TIOCGEXCL, &exclusive));
  EXPECT_EQ(0, exclusive);
  EXPECT_EQ(SerialOpenResult::Ok, second->open(pty.path.c_str(), 9600));
  second.reset();  // the destructor releases the port as well
  EXPECT_EQ(SerialOpenResult::Ok, first->open(pty.path.c_str(), 9600));
}

TEST(SerialPortPosix, PortInExclusiveUseByAnotherProgramIsRefused) {
  Pty pty;
  ASSERT_EQ(0, ioctl(pty.slave, TIOCEXCL));
  auto port = createSerialPort();
  EXPECT_EQ(SerialOpenResult::OpenFailed, port->open(pty.path.c_str(), 9600));
  ASSERT_EQ(0, ioctl(pty.slave, TIOCNXCL));

  // Programs that only lock the device file are respected too.
  const int locker = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(locker, 0);
  ASSERT_EQ(0, flock(locker, LOCK_EX | LOCK_NB));
  EXPECT_EQ(SerialOpenResult::OpenFailed, port->open(pty.path.c_str(), 9600));
  ::close(locker);
  EXPECT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 9600));
}

TEST(SerialPortPosix, ReadReturnsAtOnceWithWhatHasArrived) {
  Pty pty;
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 9600));
  uint8_t buffer[256];
  const auto start = Clock::now();
  EXPECT_EQ(0, port->read(buffer, 256));
  EXPECT_LT(msSince(start), 20);

  // Line-discipline specials (CR, XON, XOFF, ^C, DEL) must pass unchanged.
  std::vector<uint8_t> sent = allByteValues(300);
  sent[0] = 0x0D, sent[1] = 0x11, sent[2] = 0x13, sent[3] = 0x03, sent[4] = 0x7F, sent[5] = 0x0A;
  pty.send(sent);
  int reads = 0;
  const std::vector<uint8_t> got = readAll(*port, sent.size(), &reads);
  EXPECT_EQ(hex(sent), hex(got));
  EXPECT_GE(reads, 2);  // 300 bytes do not fit one 256-byte read
  EXPECT_EQ(0, port->read(buffer, 256));
}

TEST(SerialPortPosix, WrittenFrameArrivesUnchanged) {
  Pty pty;
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 2400));
  std::vector<uint8_t> frame = allByteValues(208);  // as long as a frame with 200 data bytes
  frame[10] = 0x0A, frame[11] = 0x0D, frame[12] = 0x11, frame[13] = 0x13, frame[14] = 0x00;
  ASSERT_EQ((int)frame.size(), port->write(frame.data(), (int)frame.size()));
  EXPECT_EQ(hex(frame), hex(pty.receive(frame.size() + 1, 300)));
}

TEST(SerialPortPosix, FarEndClosingIsHangUp) {
  Pty pty;
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 9600));
  uint8_t buffer[256];
  // Another descriptor of the tty closing is not a hang-up.
  ::close(pty.slave);
  pty.slave = -1;
  EXPECT_EQ(0, port->read(buffer, 256));
  const uint8_t ack = 0xE5;
  EXPECT_EQ(1, port->write(&ack, 1));
  EXPECT_EQ("E5 ", hex(pty.receive(1)));

  pty.closeMaster();
  const auto start = Clock::now();
  EXPECT_EQ(-1, port->read(buffer, 256));
  EXPECT_EQ(-1, port->write(&ack, 1));
  EXPECT_LT(msSince(start), 20);
  port->close();
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(-1, port->read(buffer, 256));
}

// With nobody reading the far end the write gives up at 50 ms + 10 ms a byte;
// with a slow reader it finishes.
TEST(SerialPortPosix, WriteIsBoundedWhenTheLineStalls) {
  Pty pty;
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 9600));
  fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
  // The pty moves queued bytes on in the background: fill until a refill
  // after a pause takes nothing.
  std::vector<uint8_t> filler(4096, 0x55);
  long queued = 0;
  for (long added = 1; added > 0;) {
    added = 0;
    for (ssize_t n; (n = ::write(pty.slave, filler.data(), filler.size())) > 0;) added += n;
    queued += added;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_GT(queued, 0);

  const std::vector<uint8_t> frame = allByteValues(20);
  auto start = Clock::now();
  const int stalled = port->write(frame.data(), (int)frame.size());
  const long stalledMs = msSince(start);
  EXPECT_GE(stalled, 0);
  EXPECT_LT(stalled, (int)frame.size());
  EXPECT_GE(stalledMs, 250 - 10);
  EXPECT_LT(stalledMs, 250 + 100);

  // Drain slowly: a few kilobytes every 5 ms.
  std::thread reader([&] {
    uint8_t buffer[4096];
    const auto begin = Clock::now();
    long drained = 0;
    while (drained < queued + stalled + (long)frame.size() && msSince(begin) < 3000) {
      const ssize_t n = ::read(pty.master, buffer, sizeof buffer);
      if (n > 0) drained += n;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  start = Clock::now();
  const int written = port->write(frame.data(), (int)frame.size());
  const long writtenMs = msSince(start);
  reader.join();
  EXPECT_EQ((int)frame.size(), written);
  EXPECT_LE(writtenMs, 250 + 20);
}

// A real UART keeps parity, so here 8E1 can be read back.
TEST(SerialPortPosix, RealPortReadsBack8E1) {
  const char* path = "/dev/ttyS0";
  if (access(path, F_OK) != 0) GTEST_SKIP() << path << " absent";
  for (int baud : {9600, 2400}) {
    auto port = createSerialPort();
    const SerialOpenResult result = port->open(path, baud);
    if (result == SerialOpenResult::NotFound || result == SerialOpenResult::OpenFailed)
      GTEST_SKIP() << path << " cannot be opened here (busy, no permission or no UART)";
    ASSERT_EQ(SerialOpenResult::Ok, result);
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(0, tcgetattr(fd, &t));
    ::close(fd);
    EXPECT_EQ(baud == 9600 ? B9600 : B2400, cfgetospeed(&t));
    EXPECT_EQ((tcflag_t)(CS8 | PARENB), t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS));
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF));
  }
}

}  // namespace
