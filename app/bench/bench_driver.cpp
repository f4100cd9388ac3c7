// One firmware update through the real window against the virtual dongle,
// timed: bench_driver simple|block|encrypted default|fast IMAGE [BAUD]. Run
// by tools/bench-update under Xvfb in a folder of its own. Its last line is
// "result: protocol=... mode=... wall=... floor=... line=... ...".
//
// The floor is what the protocol cannot beat with the receive poll: every
// exchange puts its bytes on the line both ways (11 bits a character), and
// its answer is only seen by the poll, which runs every 200 ms; a send
// follows the poll that saw the previous answer, so an exchange whose bytes
// need L ms on the line costs ceil(L / 200) polls of 200 ms. The block
// protocol adds its fixed 1000 ms pause. The line time is what fast answers
// cannot beat: each exchange's bytes, the dongle's reply delay and the
// line's minimum pause of 11 bit times before the next telegram. The
// exchanges are read back from the tool's own log.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "firmware/firmware_update.h"
#include "interfaces/log_file.h"
#include "virtual-dongle/dongle_launcher.h"

namespace {

constexpr double BITS_PER_CHARACTER = 11;  // start, 8 data, parity, stop
constexpr double BLOCK_PROTOCOL_PAUSE_MS = 1000;
constexpr int REPLY_DELAY_MS = 3;  // the virtual dongle's default, given explicitly

struct Exchange {
  std::string kind;
  int out = 0;
  int in = 0;
};

int dumpCount(const std::string& line) {
  int n = 0;
  for (size_t at = line.find("0x"); at != std::string::npos; at = line.find("0x", at + 4)) ++n;
  return n;
}

// Every ">>> " heading with its frame dump starts an exchange; the dumps of
// "<<< " headings that follow are its incoming bytes. Other dumps (security
// traces, decrypted frames) are not on the line.
std::vector<Exchange> readExchanges(const std::string& logPath) {
  std::vector<Exchange> exchanges;
  std::ifstream in(logPath);
  std::string line;
  enum { Other, SentDump, ReceivedDump } state = Other;
  while (std::getline(in, line)) {
    if (line.rfind("0x", 0) == 0) {
      if (state == SentDump) exchanges.back().out += dumpCount(line);
      if (state == ReceivedDump && !exchanges.empty()) exchanges.back().in += dumpCount(line);
      continue;
    }
    state = Other;
    if (line.rfind(">>> ", 0) == 0) {
      Exchange e;
      // The heading up to its first number: "Send FW data 128 from ..." is a "Send FW data".
      size_t end = 4;
      while (end < line.size() && !(line[end - 1] == ' ' && line[end] >= '0' && line[end] <= '9')) ++end;
      e.kind = line.substr(4, end - 4);
      while (!e.kind.empty() && (e.kind.back() == ' ' || e.kind.back() == '.')) e.kind.pop_back();
      exchanges.push_back(e);
      state = SentDump;
    } else if (line == "<<< Answer single byte ACK.") {
      if (!exchanges.empty()) exchanges.back().in += 1;
    } else if (line.rfind("<<< ", 0) == 0) {
      state = ReceivedDump;
    }
  }
  // Closing lines such as ">>> Upgrade process finished." put nothing on the line.
  std::vector<Exchange> sent;
  for (const Exchange& e : exchanges)
    if (e.out > 0) sent.push_back(e);
  return sent;
}

double seconds(const timeval& t) { return (double)t.tv_sec + (double)t.tv_usec / 1e6; }

// Pending events and due timers for ms, as the loop would run them.
void runFor(FXApp& app, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    app.runWhileEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

long send(DongleToolWindow* window, FXSelector id) { return window->handle(nullptr, FXSEL(SEL_COMMAND, id), nullptr); }

int fail(const std::string& why) {
  std::fprintf(stderr, "bench_driver: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return fail("usage: bench_driver simple|block|encrypted default|fast IMAGE [BAUD]");
  const std::string protocol = argv[1], mode = argv[2], image = argv[3], baud = argc > 4 ? argv[4] : "9600";
  if (protocol != "simple" && protocol != "block" && protocol != "encrypted") return fail("unknown protocol " + protocol);
  if (mode != "default" && mode != "fast") return fail("unknown mode " + mode);
  const double baudRate = std::atof(baud.c_str());
  if (baudRate <= 0) return fail("the floor needs a paced line");
  const double intervalMs = DongleToolWindow::RECEIVE_INTERVAL_MS;

  DongleLauncher dongle("bench-dongle", {"--baud", baud, "--reply-delay-ms", std::to_string(REPLY_DELAY_MS)});
  if (!dongle.started()) return fail("the virtual dongle did not start");
  if (openLogFile("QORFW.log") != OwnFileResult::Opened) return fail("cannot create QORFW.log");
  FXApp app(DongleToolWindow::TITLE, "Brovanel");
  app.init(argc, argv, TRUE);
  DongleToolWindow* window = new DongleToolWindow(&app);
  app.create();
  FXListBox* ports = window->getPortList();
  ports->setCurrentItem(ports->appendItem(dongle.link.c_str()));
  window->getBaudList()->setCurrentItem(1);  // 9600
  send(window, DongleToolWindow::ID_CONNECT);
  if (!window->getConnection().connected()) return fail("cannot connect to " + dongle.link);
  // Through the menu command, as a user would, on an open port.
  if (updateOption(UpdateOption::FastAnswers) != (mode == "fast")) send(window, DongleToolWindow::ID_FAST_ANSWERS);
  if (updateOption(UpdateOption::FastAnswers) != (mode == "fast")) return fail("fast answers did not follow");
  window->chooseFirmwarePath = [&] { return image; };
  if (send(window, DongleToolWindow::ID_OPEN_FIRMWARE) != 1) return fail("cannot load " + image);
  if (updateOption(UpdateOption::SimpleProtocol) != (protocol == "simple"))
    send(window, DongleToolWindow::ID_SIMPLE_PROTOCOL);
  if (updateOption(UpdateOption::Encryption) != (protocol == "encrypted")) send(window, DongleToolWindow::ID_ENCRYPTION);
  runFor(app, 300);

  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  send(window, DongleToolWindow::ID_FIRMWARE_UPDATE);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  getrusage(RUSAGE_SELF, &after);
  const size_t consoleBytes = (size_t)window->getConsole()->getLength();

  const std::string received = dongle.waitForLine("firmware received: ", 10000);
  const bool equal = readBytes(dongle.outputPath) == readBytes(image);
  dongle.stop();

  const std::vector<Exchange> exchanges = readExchanges("QORFW.log");
  struct Row {
    int count = 0;
    double lineMs = 0;
    int polls = 0;
  };
  std::map<std::string, Row> rows;  // kind, bytes out, bytes in
  double bytesTotal = 0, floorTotal = protocol == "block" ? BLOCK_PROTOCOL_PAUSE_MS / 1000 : 0;
  int pollTotal = 0;
  for (const Exchange& e : exchanges) {
    const double lineMs = (e.out + e.in) * BITS_PER_CHARACTER * 1000 / baudRate;
    const int polls = std::max(1, (int)std::ceil(lineMs / intervalMs));
    char key[160];
    std::snprintf(key, sizeof key, "%-52.52s %4d %4d", e.kind.c_str(), e.out, e.in);
    Row& row = rows[key];
    ++row.count;
    row.lineMs = lineMs;
    row.polls = polls;
    bytesTotal += lineMs / 1000;
    floorTotal += polls * intervalMs / 1000;
    pollTotal += polls;
  }
  const double pauseMs = BITS_PER_CHARACTER * 1000 / baudRate;
  const double lineTotal = bytesTotal + exchanges.size() * (REPLY_DELAY_MS + pauseMs) / 1000;

  std::printf("== %s protocol, %s mode: %s, %d exchanges\n", protocol.c_str(), mode.c_str(), image.c_str(),
              (int)exchanges.size());
  std::printf("dongle: %s\n", received.empty() ? "(no transfer ended)" : received.c_str());
  std::printf("received image equals the file: %s\n", equal ? "yes" : "NO");
  std::printf("line: %s baud, %.0f bits a character = %.4f ms a byte; receive poll every %.0f ms\n", baud.c_str(),
              BITS_PER_CHARACTER, BITS_PER_CHARACTER * 1000 / baudRate, intervalMs);
  std::printf("%-52s %4s %4s %6s %8s %6s %10s\n", "exchange (sent heading)", "out", "in", "count", "line ms",
              "polls", "floor s");
  for (const auto& [key, row] : rows)
    std::printf("%s %6d %8.1f %6d %10.1f\n", key.c_str(), row.count, row.lineMs, row.polls,
                row.count * row.polls * intervalMs / 1000);
  if (protocol == "block") std::printf("%-52s %30s %10.1f\n", "pause after validate", "", BLOCK_PROTOCOL_PAUSE_MS / 1000);
  std::printf("bytes on the line: %.1f s (sum of (out + in) x %.0f bits / %s baud)\n", bytesTotal, BITS_PER_CHARACTER,
              baud.c_str());
  std::printf("line: %.1f s (the bytes + %d exchanges x (%d ms reply delay + %.3f ms pause))\n", lineTotal,
              (int)exchanges.size(), REPLY_DELAY_MS, pauseMs);
  std::printf("floor: %.1f s (%d polls x %.0f ms%s)\n", floorTotal, pollTotal, intervalMs,
              protocol == "block" ? " + the 1 s pause" : "");
  std::printf("wall time: %.1f s\n", wall);
  std::printf("wall / floor: %.4f (tool overhead %+.2f %%)\n", wall / floorTotal, (wall / floorTotal - 1) * 100);
  const double user = seconds(after.ru_utime) - seconds(before.ru_utime);
  const double system = seconds(after.ru_stime) - seconds(before.ru_stime);
  std::printf("tool CPU time during the update: %.1f s user + %.1f s system = %.1f s (%.1f %% of wall)\n", user,
              system, user + system, (user + system) / wall * 100);
  std::printf("tool peak memory (max RSS of the process): %.1f MiB; console text %.2f MB\n",
              after.ru_maxrss / 1024.0, consoleBytes / 1e6);
  std::printf("result: protocol=%s mode=%s wall=%.1fs floor=%.1fs line=%.1fs wall/floor=%.3f wall/line=%.3f "
              "cpu=%.1f%% rss=%.1fMiB image=%s\n",
              protocol.c_str(), mode.c_str(), wall, floorTotal, lineTotal, wall / floorTotal, wall / lineTotal,
              (user + system) / wall * 100, after.ru_maxrss / 1024.0, equal ? "equal" : "DIFFERENT");
  return equal && !received.empty() ? 0 : 1;
}
