// What mbus-fwupdate does not show of the Win32 serial layer, under wine
// against the virtual dongle on a pseudo-terminal mapped as a COM port.
// Prints what it saw; tools/run-windows-tests judges it.
//   list                    the port list, one name a line
//   open PORT               the result of an open at 9600 baud
//   hangup PORT read|write  the far end closes after two answers (dongle --close-after 2)
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "commands/meter_answers.h"
#include "link/answer_reception.h"
#include "link/com_ports.h"
#include "link/connection.h"
#include "tests/support/fakes.h"

namespace {

using Clock = std::chrono::steady_clock;

struct StdoutConsole : ConsoleView {
  void appendStyledText(const char* text, int length, int) override { std::fwrite(text, 1, (size_t)length, stdout); }
  void scrollToEnd() override {}
};

// The window's loop in short: the receive poll every 200 ms, 2 ms a turn.
struct PollingPump : EventPump {
  ToolContext* ctx = nullptr;
  Clock::time_point next = Clock::now();
  void runPending() override {
    if (Clock::now() < next) return;
    (void)receiveAnswers(*ctx);  // printed; no fields to show them in
    next = Clock::now() + std::chrono::milliseconds(200);
  }
  void pumpEvents() override { runPending(), pause(2); }
  void pause(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

const char* resultName(SerialOpenResult r) {
  static const char* const names[] = {"Ok", "NoPortSelected", "NotFound", "OpenFailed", "Busy", "NoPermission",
                                      "NotSerial", "GetParamsFailed", "SetParamsFailed", "SetTimeoutsFailed"};
  return names[(int)r];
}

bool waitForAnswer(ToolContext& ctx, PollingPump& pump, int ms) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
  while (!answerReceived && ctx.link.connected() && Clock::now() < end) pump.pumpEvents();
  return answerReceived != 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "list") {
    for (int i = 0, n = enumerateComPorts(); i < n; ++i) std::printf("%s\n", comPortName(i));
    return 0;
  }
  if (argc < 3) return std::fprintf(stderr, "usage: see the file's head\n"), 2;
  if (command == "open") {
    std::printf("%s\n", resultName(createSerialPort()->open(argv[2], 9600)));
    return 0;
  }

  StdoutConsole console;
  Output out(&console);
  FakeFields fields;
  Connection link(createSerialPort(), out, fields);
  PollingPump pump;
  ToolContext ctx{out, fields, link, pump};
  pump.ctx = &ctx;
  resetIdentityStores();
  readIdentityFields(fields);
  if (link.connect(argv[2], 1) != SerialOpenResult::Ok) return std::printf("connect failed\n"), 3;

  // The far end serves two telegrams, then closes; the loss must show in
  // the reads alone, or in the next write.
  if (command == "hangup" && argc > 3) {
    for (int i = 0; i < 2; ++i) {
      clearAnswerFlags();
      sendReqUd2(ctx);
      if (!waitForAnswer(ctx, pump, 2000)) return std::printf("no answer\n"), 4;
    }
    pump.pause(500);
    if (std::strcmp(argv[3], "write") == 0)
      sendReqUd2(ctx);
    else
      for (int i = 0; i < 10 && link.connected(); ++i) pump.pause(200), pump.runPending();
    std::printf(link.connected() ? "still connected\n" : "port gone\n");
    return link.connected() ? 6 : 0;
  }
  return std::fprintf(stderr, "unknown command %s\n", command.c_str()), 2;
}
