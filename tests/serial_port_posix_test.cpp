// The termios port itself over pseudo-terminal pairs (and /dev/ttyS0 when the
// machine has one we may open). What Connect makes of its results, and a
// device that hangs up, are tested one level up in connection_test.
#include <fcntl.h>
#include <gtest/gtest.h>
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
#include "tests/support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

termios lineSettings(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  return t;
}

// Every byte value, in an order no line discipline would leave alone.
std::vector<uint8_t> allByteValues(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = (uint8_t)(i * 37 + 11);
  const uint8_t specials[] = {0x0D, 0x11, 0x13, 0x03, 0x7F, 0x0A, 0x00, 0x04};  // CR XON XOFF ^C DEL LF NUL ^D
  for (size_t i = 0; i < sizeof specials && i < count; ++i) bytes[i] = specials[i];
  return bytes;
}

TEST(SerialPortPosix, OpensRawWithoutFlowControlAndReopensAtAnotherRate) {
  PtyPair pty;
  ASSERT_FALSE(pty.path.empty());
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 9600));
  EXPECT_TRUE(port->isOpen());
  termios t = lineSettings(pty.slave);
  EXPECT_EQ(B9600, cfgetospeed(&t));
  // (The pty driver drops PARENB: parity is checked on a real UART below.)
  EXPECT_EQ((tcflag_t)(CS8 | CLOCAL | CREAD), t.c_cflag & (CSIZE | CSTOPB | CRTSCTS | CLOCAL | CREAD));
  EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP));
  EXPECT_EQ(0u, (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) | (t.c_oflag & OPOST));
  EXPECT_EQ(0, t.c_cc[VMIN] | t.c_cc[VTIME]);

  // Open while open moves to the new rate. The pty refuses a repeated
  // identical tcsetattr with EINVAL: the second 2400 open must still succeed.
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 2400));
  t = lineSettings(pty.slave);
  EXPECT_EQ(B2400, cfgetospeed(&t));
  port->close();
  EXPECT_FALSE(port->isOpen());
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 2400));
}

TEST(SerialPortPosix, OpenFailuresAreClassified) {
  FILE* f = std::fopen("plain-file", "w");
  ASSERT_NE(nullptr, f);
  std::fclose(f);
  PtyPair pty;
  const struct {
    std::string path;
    int baud;
    SerialOpenResult result;
  } cases[] = {
      {"/dev/ttyNoSuchPort99", 9600, SerialOpenResult::NotFound},
      {"no-such-dir/ttyS0", 9600, SerialOpenResult::NotFound},
      {"plain-file/ttyS0", 9600, SerialOpenResult::NotFound},  // ENOTDIR
      {".", 9600, SerialOpenResult::OpenFailed},  // a directory: EISDIR
      // Not a terminal, twice: the lock taken before tcgetattr must be
      // released, or the second attempt would find the port busy.
      {"plain-file", 9600, SerialOpenResult::GetParamsFailed},
      {"plain-file", 9600, SerialOpenResult::GetParamsFailed},
      {pty.path, 12345, SerialOpenResult::SetParamsFailed},
      {pty.path, 9600, SerialOpenResult::Ok},  // and the failed attempt left it free
  };
  auto port = createSerialPort();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " at " + std::to_string(c.baud));
    EXPECT_EQ(c.result, port->open(c.path.c_str(), c.baud));
    EXPECT_EQ(c.result == SerialOpenResult::Ok, port->isOpen());
  }
  ::unlink("plain-file");
}

TEST(SerialPortPosix, PortHeldByAnotherOpenerIsRefused) {
  PtyPair pty;
  auto first = createSerialPort();
  auto second = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, first->open(pty.path.c_str(), 9600));
  EXPECT_EQ(SerialOpenResult::OpenFailed, second->open(pty.path.c_str(), 9600));
  EXPECT_FALSE(second->isOpen());
  // Under another name (a symlink, as a virtual device offers) it is the same port.
  const std::string link = "pty-link";
  ::unlink(link.c_str());
  ASSERT_EQ(0, ::symlink(pty.path.c_str(), link.c_str()));
  EXPECT_EQ(SerialOpenResult::OpenFailed, second->open(link.c_str(), 9600));
  // The refused opener must not have dropped the holder's exclusive mode.
  int exclusive = 0;
  ASSERT_EQ(0, ioctl(pty.slave, TIOCGEXCL, &exclusive));
  EXPECT_EQ(1, exclusive);

  first->close();
  ASSERT_EQ(0, ioctl(pty.slave, TIOCGEXCL, &exclusive));
  EXPECT_EQ(0, exclusive);
  EXPECT_EQ(SerialOpenResult::Ok, second->open(link.c_str(), 9600));
  second.reset();  // the destructor releases the port as well
  ::unlink(link.c_str());

  // Other programs: exclusive mode on the tty, or only a lock on the device file.
  ASSERT_EQ(0, ioctl(pty.slave, TIOCEXCL));
  EXPECT_EQ(SerialOpenResult::OpenFailed, first->open(pty.path.c_str(), 9600));
  ASSERT_EQ(0, ioctl(pty.slave, TIOCNXCL));
  const int locker = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(locker, 0);
  ASSERT_EQ(0, flock(locker, LOCK_EX | LOCK_NB));
  EXPECT_EQ(SerialOpenResult::OpenFailed, first->open(pty.path.c_str(), 9600));
  ::close(locker);
  EXPECT_EQ(SerialOpenResult::Ok, first->open(pty.path.c_str(), 9600));
}

TEST(SerialPortPosix, BytesPassUnchangedAndReadsNeverWait) {
  PtyPair pty;
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 2400));
  uint8_t buffer[256];
  const auto start = Clock::now();
  EXPECT_EQ(0, port->read(buffer, 256));
  EXPECT_LT(millisecondsSince(start), 20);

  const std::vector<uint8_t> frame = allByteValues(208);  // a frame with 200 data bytes
  ASSERT_EQ((int)frame.size(), port->write(frame.data(), (int)frame.size()));
  EXPECT_EQ(hex(frame), hex(pty.receive(frame.size() + 1, 300)));

  const std::vector<uint8_t> sent = allByteValues(300);
  ASSERT_TRUE(pty.write(sent));
  std::vector<uint8_t> got;
  int reads = 0;
  for (const auto begin = Clock::now(); got.size() < sent.size() && millisecondsSince(begin) < 1000;) {
    const int n = port->read(buffer, 256);
    ASSERT_GE(n, 0);
    if (n > 0) ++reads;
    got.insert(got.end(), buffer, buffer + n);
  }
  EXPECT_EQ(hex(sent), hex(got));
  EXPECT_GE(reads, 2);  // 300 bytes do not fit one 256-byte read
  EXPECT_EQ(0, port->read(buffer, 256));
}

// With nobody reading the far end the write gives up at 50 ms + 10 ms a byte.
TEST(SerialPortPosix, WriteIsBoundedWhenTheLineStalls) {
  PtyPair pty;
  auto port = createSerialPort();
  ASSERT_EQ(SerialOpenResult::Ok, port->open(pty.path.c_str(), 9600));
  fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
  // The pty moves queued bytes on in the background: fill until a refill
  // after a pause takes nothing.
  const std::vector<uint8_t> filler(4096, 0x55);
  for (long added = 1; added > 0; std::this_thread::sleep_for(std::chrono::milliseconds(30))) {
    added = 0;
    for (ssize_t n; (n = ::write(pty.slave, filler.data(), filler.size())) > 0;) added += n;
  }
  const std::vector<uint8_t> frame = allByteValues(20);
  const auto start = Clock::now();
  const int written = port->write(frame.data(), (int)frame.size());
  const long ms = millisecondsSince(start);
  EXPECT_GE(written, 0);
  EXPECT_LT(written, (int)frame.size());
  EXPECT_GE(ms, 250 - 10);
  EXPECT_LT(ms, 250 + 100);
}

// A real UART keeps parity, so here 8E1 can be read back.
TEST(SerialPortPosix, RealPortReadsBack8E1) {
  const char* path = "/dev/ttyS0";
  for (int baud : {9600, 2400}) {
    auto port = createSerialPort();
    const SerialOpenResult result = port->open(path, baud);
    if (result == SerialOpenResult::NotFound || result == SerialOpenResult::OpenFailed)
      GTEST_SKIP() << path << " absent, busy, not ours or no UART";
    ASSERT_EQ(SerialOpenResult::Ok, result);
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const termios t = lineSettings(fd);
    ::close(fd);
    EXPECT_EQ(baud == 9600 ? B9600 : B2400, cfgetospeed(&t));
    EXPECT_EQ((tcflag_t)(CS8 | PARENB), t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS));
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF));
  }
}

}  // namespace
