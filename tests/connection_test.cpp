// Connect, Disconnect and a lost device, through the real termios port over
// pseudo-terminal pairs; configuration failures through a scripted port.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "link/connection.h"
#include "tests/support/fakes.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The test plays the device on the master side; the tool opens `path`.
struct Pty {
  int master = -1;
  std::string path;

  Pty() {
    int slave = -1;
    char name[64];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
      path = name;
      ::close(slave);
      fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
  }
  ~Pty() { closeMaster(); }
  void closeMaster() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  std::vector<uint8_t> receive(size_t want, int ms = 500) const {
    std::vector<uint8_t> got;
    const auto start = Clock::now();
    uint8_t buffer[512];
    while (got.size() < want && msSince(start) < ms) {
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
      if (n < 0 && errno != EAGAIN) break;  // EIO: the tool's side is closed
    }
    return got;
  }
};

struct Tool {
  FakeConsole console;
  Output out{&console};
  FakeFields fields;
  Connection link{createSerialPort(), out, fields};
};

int lines(const std::string& text) { return (int)std::count(text.begin(), text.end(), '\n'); }

TEST(Connection, ConnectShowsPortAndRateInStatusOnly) {
  Pty pty;
  Tool tool;
  EXPECT_EQ("", tool.link.connect(pty.path, 1));
  EXPECT_TRUE(tool.link.connected());
  EXPECT_EQ("Connected to serial [" + pty.path + "] baudrate 9600", tool.fields.status);
  EXPECT_EQ("", tool.link.connect(pty.path, 0));
  EXPECT_EQ("Connected to serial [" + pty.path + "] baudrate 2400", tool.fields.status);
  EXPECT_EQ("", tool.console.text());
}

TEST(Connection, FramesTravelBothWaysUnchanged) {
  Pty pty;
  Tool tool;
  ASSERT_EQ("", tool.link.connect(pty.path, 1));
  const std::vector<uint8_t> reqUd2{0x10, 0x5B, 0xFB, 0x56, 0x16};
  tool.link.writeFrame(reqUd2.data(), (int)reqUd2.size());
  EXPECT_EQ(hex(reqUd2), hex(pty.receive(reqUd2.size() + 1, 200)));

  // The longest frame the link buffer takes; the link does not look inside.
  std::vector<uint8_t> answer(264);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = (uint8_t)(i * 7);
  ASSERT_EQ((ssize_t)answer.size(), ::write(pty.master, answer.data(), answer.size()));
  std::vector<uint8_t> got;
  uint8_t buffer[256];
  int reads = 0;
  for (const auto start = Clock::now(); got.size() < answer.size() && msSince(start) < 1000;) {
    const int n = tool.link.readBlock(buffer, 256);
    if (n > 0) ++reads;
    got.insert(got.end(), buffer, buffer + n);
  }
  EXPECT_EQ(hex(answer), hex(got));
  EXPECT_GE(reads, 2);
  EXPECT_TRUE(tool.link.connected());
}

TEST(Connection, DeviceGoneWhileReadingDisconnectsOnce) {
  Pty pty;
  Tool tool;
  ASSERT_EQ("", tool.link.connect(pty.path, 1));
  uint8_t buffer[256];
  EXPECT_EQ(0, tool.link.readBlock(buffer, 256));
  EXPECT_TRUE(tool.link.connected());

  pty.closeMaster();
  const auto start = Clock::now();
  EXPECT_EQ(0, tool.link.readBlock(buffer, 256));
  EXPECT_FALSE(tool.link.connected());
  EXPECT_EQ("Serial not connected.", tool.fields.status);
  EXPECT_EQ(1, lines(tool.console.text())) << tool.console.text();
  EXPECT_NE(std::string::npos, tool.console.text().find(pty.path));

  // Later polls and sends find nothing to do: no further line, no waiting.
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(0, tool.link.readBlock(buffer, 256));
  tool.link.writeFrame(buffer, 5);
  EXPECT_LT(msSince(start), 100);
  EXPECT_EQ(1, lines(tool.console.text()));
  tool.link.disconnect();
  EXPECT_EQ(1, lines(tool.console.text()));
}

TEST(Connection, DeviceGoneWhileWritingDisconnectsOnce) {
  Pty pty;
  Tool tool;
  ASSERT_EQ("", tool.link.connect(pty.path, 0));
  pty.closeMaster();
  const uint8_t sndNke[] = {0x10, 0x40, 0xFB, 0x3B, 0x16};
  tool.link.writeFrame(sndNke, 5);
  EXPECT_FALSE(tool.link.connected());
  EXPECT_EQ("Serial not connected.", tool.fields.status);
  tool.link.writeFrame(sndNke, 5);
  EXPECT_EQ(1, lines(tool.console.text()));
}

TEST(Connection, PortInUseIsRefusedAndLeftToItsHolder) {
  Pty pty;
  Tool holder, other;
  ASSERT_EQ("", holder.link.connect(pty.path, 1));
  other.fields.status = "before";
  EXPECT_EQ("Serial Error\nError opening COM port " + pty.path, other.link.connect(pty.path, 1));
  EXPECT_FALSE(other.link.connected());
  EXPECT_EQ("before", other.fields.status);
  EXPECT_EQ("", other.console.text());

  const uint8_t ack = 0xE5;
  holder.link.writeFrame(&ack, 1);
  EXPECT_EQ("E5 ", hex(pty.receive(1)));

  holder.link.disconnect();
  EXPECT_EQ("", other.link.connect(pty.path, 1));
}

TEST(Connection, OpenFailuresShowTheirMessageAndKeepTheStatus) {
  Tool tool;
  tool.fields.status = "before";
  EXPECT_EQ("Serial Error\nCOM port /dev/ttyNoSuchPort7 not found", tool.link.connect("/dev/ttyNoSuchPort7", 1));
  EXPECT_EQ("before", tool.fields.status);

  FILE* f = std::fopen("not-a-tty", "w");
  ASSERT_NE(nullptr, f);
  std::fclose(f);
  EXPECT_EQ("Serial Error\nError getting serial parameters.", tool.link.connect("not-a-tty", 1));
  EXPECT_FALSE(tool.link.connected());
  EXPECT_FALSE(tool.link.serialHandle().isOpen());
  EXPECT_EQ("before", tool.fields.status);
  EXPECT_EQ("", tool.console.text());
  ::unlink("not-a-tty");
}

TEST(Connection, EmptyPortNameIsRefused) {
  Tool tool;
  tool.fields.status = "before";
  const std::string message = tool.link.connect("", 1);
  EXPECT_EQ(0u, message.rfind("Serial Error\n", 0)) << message;
  EXPECT_FALSE(tool.link.connected());
  EXPECT_EQ("before", tool.fields.status);

  // While connected the old port is closed first, as on any Connect.
  Pty pty;
  ASSERT_EQ("", tool.link.connect(pty.path, 1));
  EXPECT_FALSE(tool.link.connect("", 1).empty());
  EXPECT_FALSE(tool.link.connected());
  EXPECT_FALSE(tool.link.serialHandle().isOpen());
  EXPECT_EQ("Serial not connected.", tool.fields.status);
}

TEST(Connection, ConnectWhileConnectedMovesToTheNewPort) {
  Pty first, second;
  Tool tool;
  ASSERT_EQ("", tool.link.connect(first.path, 1));
  EXPECT_EQ("", tool.link.connect(second.path, 0));
  EXPECT_EQ("Connected to serial [" + second.path + "] baudrate 2400", tool.fields.status);

  const uint8_t ack = 0xE5;
  tool.link.writeFrame(&ack, 1);
  EXPECT_EQ("E5 ", hex(second.receive(1)));
  EXPECT_EQ("", hex(first.receive(1, 50)));
  Tool next;  // the first port was released
  EXPECT_EQ("", next.link.connect(first.path, 1));

  // A failed reopen still leaves the old port closed.
  EXPECT_EQ("Serial Error\nError opening COM port " + first.path, tool.link.connect(first.path, 1));
  EXPECT_FALSE(tool.link.connected());
  EXPECT_EQ("Serial not connected.", tool.fields.status);
  EXPECT_EQ("", next.link.connect(second.path, 1));  // released too
}

TEST(Connection, DisconnectOnlyActsWhenConnected) {
  Pty pty;
  Tool tool;
  tool.fields.status = "untouched";
  tool.link.disconnect();
  EXPECT_EQ("untouched", tool.fields.status);

  ASSERT_EQ("", tool.link.connect(pty.path, 1));
  tool.link.disconnect();
  EXPECT_FALSE(tool.link.connected());
  EXPECT_EQ("Serial not connected.", tool.fields.status);
  const uint8_t ack = 0xE5;
  tool.link.writeFrame(&ack, 1);  // skipped while not connected
  EXPECT_EQ("", hex(pty.receive(1, 50)));
  uint8_t buffer[256];
  EXPECT_EQ(0, tool.link.readBlock(buffer, 256));
  EXPECT_EQ("", tool.console.text());
  Tool other;
  EXPECT_EQ("", other.link.connect(pty.path, 1));
}

// A port that opens and then fails to configure, and stays open unless closed.
class HalfOpenPort : public FakeSerialPort {
 public:
  SerialOpenResult open(const char*, int) override {
    halfOpen = true;
    return openResult;
  }
  void close() override { halfOpen = false; }
  bool isOpen() const override { return halfOpen; }
  bool halfOpen = false;
};

TEST(Connection, ConfigurationFailureClosesThePort) {
  const struct {
    SerialOpenResult result;
    const char* message;
  } cases[] = {
      {SerialOpenResult::GetParamsFailed, "Serial Error\nError getting serial parameters."},
      {SerialOpenResult::SetParamsFailed, "Serial Error\nError setting serial parameters."},
      {SerialOpenResult::SetTimeoutsFailed, "Serial Error\nError setting timeouts."},
  };
  for (const auto& c : cases) {
    FakeConsole console;
    Output out{&console};
    FakeFields fields;
    fields.status = "before";
    auto* port = new HalfOpenPort;
    port->openResult = c.result;
    Connection link{std::unique_ptr<SerialPort>(port), out, fields};
    EXPECT_EQ(c.message, link.connect("COM4", 1));
    EXPECT_FALSE(port->halfOpen) << c.message;
    EXPECT_FALSE(link.connected());
    EXPECT_EQ("before", fields.status);
    // The next Connect finds no open port, so it does not report closing one.
    link.connect("COM4", 1);
    EXPECT_EQ("before", fields.status);
  }
}

}  // namespace
