// Connect, Disconnect, a request and its answer, and a device that hangs up,
// through the real termios port over pseudo-terminal pairs; configuration
// failures through a scripted port. The port's own behaviour is tested in
// serial_port_posix_test.
#include "link/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "commands/link_requests.h"
#include "link/answer_reception.h"
#include "tests/support/fakes.h"
#include "tests/support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Tool {
  FakeConsole console;
  Output out{&console};
  FakeFields fields;
  Connection link{createSerialPort(), out, fields};
  CountingPump pump;
  ToolContext ctx{out, fields, link, pump, nullptr};
};

int lines(const std::string& text) { return (int)std::count(text.begin(), text.end(), '\n'); }

const uint8_t kAck = 0xE5;

TEST(Connection, ConnectShowsPortAndRateAndMovesToTheNewPort) {
  PtyPair first, second;
  Tool tool;
  ASSERT_EQ("", tool.link.connect(first.path, 1));
  EXPECT_TRUE(tool.link.connected());
  EXPECT_EQ("Connected to serial [" + first.path + "] baudrate 9600", tool.fields.status);
  EXPECT_EQ("", tool.link.connect(second.path, 0));
  EXPECT_EQ("Connected to serial [" + second.path + "] baudrate 2400", tool.fields.status);
  tool.link.writeFrame(&kAck, 1);
  EXPECT_EQ("E5 ", hex(second.receive(1)));
  EXPECT_EQ("", hex(first.receive(1, 50)));
  Tool other;  // the first port was released
  EXPECT_EQ("", other.link.connect(first.path, 1));

  // A failed reopen (the first port is held now) still closes the old port.
  EXPECT_EQ("Serial Error\nError opening COM port " + first.path, tool.link.connect(first.path, 1));
  EXPECT_FALSE(tool.link.connected());
  EXPECT_EQ("Serial not connected.", tool.fields.status);
  EXPECT_EQ("", other.link.connect(second.path, 1));

  // No port in the list: refused, after closing the open one as any Connect does.
  EXPECT_EQ("Serial Error\nNo COM port selected.", other.link.connect("", 1));
  EXPECT_FALSE(other.link.connected());
  EXPECT_FALSE(other.link.serialHandle().isOpen());
  EXPECT_EQ("Serial not connected.", other.fields.status);
  EXPECT_EQ("", tool.console.text() + other.console.text());  // status line only
}

TEST(Connection, DisconnectActsOnlyWhenConnected) {
  PtyPair pty;
  Tool tool;
  tool.fields.status = "untouched";
  tool.link.disconnect();
  EXPECT_EQ("untouched", tool.fields.status);

  ASSERT_EQ("", tool.link.connect(pty.path, 1));
  tool.link.disconnect();
  EXPECT_FALSE(tool.link.connected());
  EXPECT_EQ("Serial not connected.", tool.fields.status);
  tool.link.writeFrame(&kAck, 1);  // skipped while not connected
  EXPECT_EQ("", hex(pty.receive(1, 50)));
  ASSERT_TRUE(pty.write({kAck}));
  uint8_t buffer[256];
  EXPECT_EQ(0, tool.link.readBlock(buffer, 256));
  EXPECT_EQ("", tool.console.text());
  Tool other;
  EXPECT_EQ("", other.link.connect(pty.path, 1));
}

TEST(Connection, RequestAndAnswerTravelOverTheLine) {
  PtyPair pty;
  Tool tool;
  ASSERT_EQ("", tool.link.connect(pty.path, 1));
  sendReqUd2(tool.ctx);
  sendReqUd2(tool.ctx);
  // Exactly these bytes, the same both times: nothing more comes within the wait.
  EXPECT_EQ("10 5B FB 56 16 10 5B FB 56 16 ", hex(pty.receive(11)));

  // CI 0x72 from meter 12345678, ABC, version 01, type 07, counter record 5.
  const auto answer = longFrame(0x08, 0x01, {0x72, 0x78, 0x56, 0x34, 0x12, 0x43, 0x04, 0x01, 0x07, 0x2A, 0x00,
                                             0x00, 0x00, 0x04, 0xFD, 0x08, 0x05, 0x00, 0x00, 0x00});
  tool.console.clear();
  answerReceived = 0;
  ASSERT_TRUE(pty.write(answer));
  for (const auto start = Clock::now(); !answerReceived && millisecondsSince(start) < 1000;) pollAnswers(tool.ctx);
  for (int i = 0; i < 5; ++i) pollAnswers(tool.ctx);
  EXPECT_EQ("<<< Answer\n" + consoleDump(answer) + "Message counter found: 6\n", tool.console.text());
  EXPECT_EQ("ABC", tool.fields.fieldText(Field::Manufacturer));
  EXPECT_EQ("12345678", tool.fields.fieldText(Field::IdNumber));
  EXPECT_EQ("00000006", tool.fields.fieldText(Field::Counter));
}

TEST(Connection, FarEndClosingDisconnectsOnceWithoutSpinning) {
  for (bool byWrite : {false, true}) {
    SCOPED_TRACE(byWrite ? "noticed by a write" : "noticed by a read");
    PtyPair pty;
    Tool tool;
    ASSERT_EQ("", tool.link.connect(pty.path, byWrite ? 0 : 1));
    // An idle line, or another descriptor of the tty closing, is no hang-up.
    pty.closeSlave();
    uint8_t buffer[256];
    EXPECT_EQ(0, tool.link.readBlock(buffer, 256));
    EXPECT_TRUE(tool.link.connected());

    pty.closeMaster();
    const auto start = Clock::now();
    if (byWrite) {
      tool.link.writeFrame(&kAck, 1);
    } else {
      EXPECT_EQ(0, tool.link.readBlock(buffer, 256));
    }
    EXPECT_FALSE(tool.link.connected());
    EXPECT_EQ("Serial not connected.", tool.fields.status);
    EXPECT_EQ(1, lines(tool.console.text())) << tool.console.text();
    EXPECT_NE(std::string::npos, tool.console.text().find(pty.path));

    // Later polls and sends find nothing to do: no further line, no waiting.
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(0, tool.link.readBlock(buffer, 256));
    tool.link.writeFrame(&kAck, 1);
    tool.link.disconnect();
    EXPECT_LT(millisecondsSince(start), 100);
    EXPECT_EQ(1, lines(tool.console.text()));
  }
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

TEST(Connection, OpenFailuresGiveTheirBoxTextAndLeaveNoPortOpen) {
  PtyPair pty;
  Tool holder, tool;
  ASSERT_EQ("", holder.link.connect(pty.path, 1));
  tool.fields.status = "before";
  EXPECT_EQ("Serial Error\nCOM port /dev/ttyNoSuchPort7 not found", tool.link.connect("/dev/ttyNoSuchPort7", 1));
  EXPECT_EQ("Serial Error\nError opening COM port " + pty.path, tool.link.connect(pty.path, 1));
  EXPECT_FALSE(tool.link.connected());
  EXPECT_EQ("before", tool.fields.status);
  EXPECT_EQ("", tool.console.text());

  const struct {
    SerialOpenResult result;
    const char* message;
  } cases[] = {
      {SerialOpenResult::GetParamsFailed, "Serial Error\nError getting serial parameters."},
      {SerialOpenResult::SetParamsFailed, "Serial Error\nError setting serial parameters."},
      {SerialOpenResult::SetTimeoutsFailed, "Serial Error\nError setting timeouts."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    FakeConsole console;
    Output out{&console};
    FakeFields fields;
    fields.status = "before";
    auto* port = new HalfOpenPort;
    port->openResult = c.result;
    Connection link{std::unique_ptr<SerialPort>(port), out, fields};
    EXPECT_EQ(c.message, link.connect("COM4", 1));
    EXPECT_FALSE(port->halfOpen);
    EXPECT_FALSE(link.connected());
    // The next Connect finds no open port, so it does not report closing one.
    link.connect("COM4", 1);
    EXPECT_EQ("before", fields.status);
    EXPECT_EQ("", console.text());
  }
}

}  // namespace
