// mbus-fwupdate: its command line, progress texts and pump as tables, then
// the program itself against the virtual dongle over a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <nlohmann/json.hpp>
#include <set>
#include <fstream>
#include <sstream>

#include "app/cli/child_process.h"
#include "app/cli/cli_options.h"
#include "app/cli/terminal_front.h"
#include "app/cli/wait_notice.h"
#include "tests/support/fakes.h"
#include "virtual-dongle/dongle_launcher.h"

namespace {

std::string lastLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') + 1);
}

// Accepted lines give the fields, then baud index, protocol, command and log.
// withConfig 2: MBUS_KEY is set too, to 32 "1"s.
TEST(CliOptions, EveryValueIsCheckedAndEveryFieldHasItsSource) {
  const std::vector<std::string> config = {"ABC", "11223344", "01", "2", "000102030405060708090A0B0C0D0E0F"};
  const std::string ones(32, '1');
  CliSources sources;
  sources.readFile = [](const std::string& path, size_t, std::string& text) {
    text = path == "k.txt" ? "FFEEDDCCBBAA99887766554433221100\r\nsecond line\n"
           : path == "missing.txt" ? "cannot read it" : "5A17";
    return path != "missing.txt";
  };
  const struct { const char* behaviour; std::vector<std::string> args; int withConfig; const char* expected; } cases[] = {
      {"UnknownOptionIsRefused", {"--bogus", "a.cfw"}, 0, "unknown option --bogus"},
      {"OptionWithoutValueIsRefused", {"a.cfw", "--port"}, 0, "--port needs a value"},
      {"ShortKeyIsRefused", {"--key", "5A17C3E9", "a.cfw"}, 0, "--key must be 32 hex digits"},
      {"NonHexKeyIsRefused", {"--key=5A17C3E90B4D62F8A1C07E3B9D2F4A6G", "a.cfw"}, 0, "--key must be 32 hex"},
      {"LowercaseManufacturerIsRefused", {"--manufacturer", "brv", "--req-ud2"}, 0, "must be 3 capital letters"},
      {"FlagWithAValueIsRefused", {"--json=false", "a.cfw"}, 0, "--json takes no value"},
      {"OddBaudIsRefused", {"-b", "4800", "a.cfw"}, 0, "--baud must be 2400 or 9600"},
      {"UnknownProtocolIsRefused", {"--protocol", "fast", "a.cfw"}, 0, "--protocol must be encrypted, block or"},
      {"UpdateNeedsAnImage", {}, 0, "no firmware image given"},
      {"TwoRequestsExcludeEachOther", {"--snd-nke", "--req-ud2"}, 0, "exclude each other"},
      {"DecodeOpensNoPort", {"--decode", "68"}, 0, "--decode opens no port"},
      {"SecondImageIsRefused", {"a.cfw", "b.cfw"}, 0, "one image at a time: b.cfw"},
      {"BadConfigLineIsNamed", {"a.cfw"}, 1, "QORconfig.txt line 4: device type must be 2 hex"},
      {"KeyFileGivesTheKeyFromItsFirstLine", {"--key-file", "k.txt", "--device-type", "02", "-q", "a.cfw"}, 2,
       "ABC 11223344 01 02 FFEEDDCCBBAA99887766554433221100 00000001"},
      {"KeyVariableWinsOverTheConfigFile", {"--device-type", "02", "-q", "a.cfw"}, 2,
       "ABC 11223344 01 02 11111111111111111111111111111111 00000001"},
      {"KeyOptionWinsOverKeyFile", {"--key-file", "k.txt", "--key", std::string(32, 'A'), "--device-type=02", "x.cfw"},
       1, "ABC 11223344 01 02 AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA 00000001"},
      {"UnreadableKeyFileIsRefused", {"--key-file", "missing.txt", "a.cfw"}, 0, "--key-file missing.txt: cannot"},
      {"ShortKeyFileIsRefusedWithoutTheKey", {"--key-file", "short.txt", "a.cfw"}, 0,
       "--key-file short.txt: must be 32 hex digits"},
      {"HelpIsAccepted", {"--help", "--bogus"}, 0, "help"},
      {"VersionIsTheProgramsNotTheMeters", {"-V", "40", "a.cfw"}, 0, "version"},
      {"MeterVersionIsChecked", {"--meter-version", "4", "a.cfw"}, 0, "--meter-version must be 2 hex digits"},
      {"FieldsDefaultToTheWindowsTexts", {"-q", "a.cfw"}, 0,
       "BRV 01020304 40 03 5A17C3E90B4D62F8A1C07E3B9D2F4A68 00000001 1 0 0 QORFW.log"},
      {"OptionsWinOverTheConfigFile", {"--req-ud2", "--id", "99999999", "--device-type=02", "-b", "2400", "--log",
                                       "x.log", "--counter", "0000000C", "--protocol=simple", "--meter-version=7F"}, 1,
       "ABC 99999999 7F 02 000102030405060708090A0B0C0D0E0F 0000000C 0 2 1 x.log"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), {"-p", "P"});
    CliOptions o;
    std::string error;
    sources.config = [&] { return c.withConfig ? &config : nullptr; };
    sources.keyVariable = c.withConfig == 2 ? ones.c_str() : nullptr;
    std::string got = parseCommandLine(args, sources, o, error) == CliParse::Ok ? "" : error;
    if (error.empty() && o.command >= CliCommand::Help)
      got = o.command == CliCommand::Help ? "help" : "version";
    else if (error.empty())
      for (const std::string& part : {o.fields[0], o.fields[1], o.fields[2], o.fields[3], o.fields[4], o.fields[5],
                                      std::to_string(o.baudIndex), std::to_string((int)o.protocol),
                                      std::to_string((int)o.command), o.logPath})
        got += (got.empty() ? "" : " ") + part;
    EXPECT_TRUE(*c.expected ? has(got, c.expected) : got.empty()) << c.behaviour << ": " << got;
  }
}

TEST(CliOptions, UsageNamesEveryOptionTheParserKnows) {
  for (const std::string& name : cliOptionNames())
    EXPECT_TRUE(has(cliUsage(), name + (name.size() == 2 ? ", " : " "))) << name;
}

// A console without escapes (older Windows) must not show "[K", and a
// shorter line must not leave the tail of the longer one before it.
TEST(TerminalFront, RedrawClearsTheRestWithEscapesOrWithSpaces) {
  const struct {
    const char* line;
    size_t shown;
    bool escapes;
    std::string expected;
  } rows[] = {
      {"abc", 5, true, "\rabc\033[K"},
      {"abc", 5, false, "\rabc  "},
      {"abcdef", 3, false, "\rabcdef"},
      {"", 4, false, "\r    "},
      {"", 0, true, "\r\033[K"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(redrawnLine(row.line, row.shown, row.escapes), row.expected) << row.line << " over " << row.shown;
}

TEST(TerminalFront, ProgressShowsShareRateAndTimeLeftAndPollsOncePerInterval) {
  EXPECT_EQ(progressLine("encrypted QOR protocol", "block 4 of 6", 3, 6, 2.0),
            "encrypted QOR protocol  50%  block 4 of 6  1.5 blocks/s  0:02 left");
  EXPECT_EQ(progressLine("simple Brovanel protocol", "chunk 1 of 4", 0, 4, 0.5),
            "simple Brovanel protocol   0%  chunk 1 of 4  0.0 chunks/s  -:-- left");
  EXPECT_EQ(closingLine("encrypted QOR protocol", 47, 47, 95.04), "encrypted QOR protocol: 47 of 47 blocks in 95.0 s");
  int polls = 0;
  std::chrono::steady_clock::time_point now{};  // virtual time: it moves only by the pump's sleeps
  PumpClock clock{[&] { return now; }, [&](int ms) { now += std::chrono::milliseconds(ms); }};
  TerminalPump pump([&] { ++polls; }, 300, clock);
  for (int i = 0; i < 150; ++i) pump.pumpEvents();  // polls at 0 ms, then sleeps until 300 ms
  EXPECT_EQ(polls, 1);
  pump.pumpEvents();
  EXPECT_EQ(polls, 2) << "the second poll comes 300 ms after the first";
  pump.watch([] { return true; });  // fast answers: bytes waiting mean a poll at once
  pump.pumpEvents();
  EXPECT_EQ(polls, 3);
}

// Virtual seconds: each row moves the clock to `at`, then sends its event.
TEST(WaitNotice, SaysOnceEveryTenSecondsWhatAStepWaitsForUntilTheNextStep) {
  char* text = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&text, &size), *closing = std::fopen("/dev/null", "w");
  double now = 0;
  TerminalProgress inner(nullptr, closing);  // no bar: its closing line goes nowhere
  WaitNotice notice(inner, out, [&] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds((long)(now * 1000))); });
  const struct { double at; const char* event; } rows[] = {
      {0, "tick"}, {0, "update chunk 1"}, {9.9, "tick"}, {10, "tick"}, {10.2, "tick"}, {25, "tick"}, {29, "tick"},
      {30, "update chunk 2"}, {39, "tick"}, {41, "tick"}, {42, "finish"}, {60, "tick"},
  };
  for (const auto& row : rows) {
    now = row.at;
    const std::string event = row.event;
    if (event == "tick") notice.tick();
    if (event == "finish") notice.finish();
    if (event.rfind("update ", 0) == 0) notice.update(event.substr(7), 0);
  }
  std::fclose(out), std::fclose(closing);
  EXPECT_EQ(std::string(text, size), waitingLine("chunk 1", 10) + "\n" + waitingLine("chunk 1", 20) + "\n" +
                                         waitingLine("chunk 2", 10) + "\n");
  std::free(text);
}

struct ToolRun { int code; std::string out, err; double seconds; };

// `signal` goes once `interrupt` turns true: to the tool, or twice to its own
// process group. stdoutPipe: stdout is a pipe closed after its first line.
struct Stop { int signal = SIGINT; bool toGroupTwice = false; };
ToolRun runTool(std::vector<std::string> args, bool (*interrupt)() = nullptr, Stop stop = {}, bool stdoutPipe = false,
                const char* program = "mbus-fwupdate") {
  args.insert(args.begin(), buildPath(program));
  const auto start = std::chrono::steady_clock::now();
  int pipeEnds[2] = {-1, -1};
  if (stdoutPipe && pipe(pipeEnds) != 0) return {-1, "", "", 0};
  const pid_t pid = fork();
  if (pid == 0) {
    if (stop.toGroupTwice) setsid();
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (stdoutPipe) dup2(pipeEnds[1], 1), close(pipeEnds[0]), close(pipeEnds[1]);
    if ((stdoutPipe || freopen("out.txt", "w", stdout)) && freopen("err.txt", "w", stderr)) execv(argv[0], argv.data());
    _exit(127);
  }
  std::string firstLine;
  if (stdoutPipe) {  // as `| head -n 1`: one line read, then the pipe closed
    close(pipeEnds[1]);
    for (char c = 0; read(pipeEnds[0], &c, 1) == 1 && c != '\n';) firstLine += c;
    close(pipeEnds[0]);
  }
  int status = 0;
  for (bool sent = false; waitpid(pid, &status, WNOHANG) == 0; usleep(20000))
    if (interrupt && !sent && interrupt()) {
      sent = kill(stop.toGroupTwice ? -pid : pid, stop.signal) == 0;
      if (stop.toGroupTwice) usleep(100000), kill(-pid, stop.signal);
    }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, stdoutPipe ? firstLine : readText("out.txt"),
          readText("err.txt"), took.count()};
}

class FwUpdate : public ::testing::Test {
 protected:
  void SetUp() override {  // nothing from an earlier run may pass for this one's
    for (const auto& entry : std::filesystem::directory_iterator("."))
      if (entry.path().filename().string().rfind("QORFW", 0) == 0) std::filesystem::remove(entry.path());
    std::filesystem::remove_all("locks");
    std::filesystem::create_directory("locks");
    setenv("MBUS_LOCK_DIR", "locks", 1);
  }
  void startDongle(const std::vector<std::string>& options = {}) {
    dongle = std::make_unique<DongleLauncher>("port", options);
    ASSERT_TRUE(dongle->started());
  }
  std::string summary() { return dongle->stop(), readText(dongle->summaryPath); }
  const std::string small = buildPath("sample-firmware-small.cfw");
  std::unique_ptr<DongleLauncher> dongle;
};

TEST_F(FwUpdate, EveryProtocolDeliversTheWholeImage) {
  const std::pair<std::string, std::string> protocols[] = {{"encrypted", "encrypted QOR protocol: 6 of 6 blocks"},
                                                            {"block", "unencrypted QOR protocol: 6 of 6 blocks"},
                                                            {"simple", "simple Brovanel protocol: 4 of 4 chunks"}};
  for (const auto& [protocol, closing] : protocols) {
    std::filesystem::remove("QORFW.log");  // runs append
    startDongle();
    const ToolRun run = runTool({"-p", "port", "--protocol", protocol, small});
    EXPECT_EQ(run.code, 0) << protocol << run.err;
    EXPECT_EQ(readBytes(dongle->outputPath), readBytes(small)) << protocol;
    std::string log = readText("QORFW.log");
    // One header line, then the window's text.
    EXPECT_TRUE(has(log.substr(0, log.find('\n')), " port port: update " + small + " by the " + protocol)) << log;
    log = log.substr(log.find('\n') + 1);
    EXPECT_EQ(log.rfind("Read 700 bytes from file " + small + "\n", 0), 0u) << protocol;
    EXPECT_EQ(run.out.rfind(closing + " in ", 0), 0u) << run.out;
    // The window's closing line stays in the log; the terminal gets what it means.
    EXPECT_TRUE(has(lastLine(log), protocol == "simple" ? ">>> Upgrade process finished." : "please reselect Dongle"));
    EXPECT_EQ(lastLine(run.out), "firmware sent: the dongle is now reprogramming itself; when it is back, check it "
                                 "with mbus-fwupdate -p port --req-ud2") << protocol;
    const size_t at = run.out.find("--counter ");  // the printed counter starts the next run
    ASSERT_EQ(at == std::string::npos, protocol != "encrypted") << "only the encrypted protocol sends one: " << run.out;
    if (protocol != "encrypted") continue;
    EXPECT_EQ(runTool({"-p", "port", "-q", "--fast", "--counter", run.out.substr(at + 10, 8), small}).code, 0);
    EXPECT_TRUE(has(summary(), "transfers=2\n"));
  }
}

TEST_F(FwUpdate, SilentDongleEndsWithinTheRepetitionBound) {
  startDongle({"--silent-after", "2"});
  const ToolRun run = runTool({"-p", "port", "--protocol", "simple", small});
  EXPECT_EQ(run.code, 4);
  EXPECT_TRUE(run.seconds > 20 && run.seconds < 60) << run.seconds;  // 10 sends of 1000 polls of 2 ms
  EXPECT_EQ(run.err, "mbus-fwupdate: No answer from the dongle at chunk 3 of 4; update stopped.\n");
  EXPECT_EQ(run.out.rfind("waiting for the dongle's answer to chunk 3 of 4 (10 s)\n", 0), 0u) << run.out;
  EXPECT_EQ(lastLine(readText("QORFW.log")), "No answer from the dongle at chunk 3 of 4; update stopped.");
}

bool validateAcked(const char* log) {
  const std::string text = readText(log);
  const size_t sent = text.find("send validate");
  return sent != std::string::npos && text.find("ACK", sent) != std::string::npos;
}

// However the run is stopped, every port cancels with its line in its log,
// and the port and its lock are free for the next run at once.
TEST_F(FwUpdate, StopSignalsCancelCleanlyHoweverManyArrive) {
  const std::string big = buildPath("sample-firmware.cfw");
  const struct { const char* behaviour; std::vector<std::string> args; Stop stop; bool (*when)(); } cases[] = {
      {"HangUpCancelsLikeTerm", {"-p", "a", big}, {SIGHUP, false},
       [] { return has(readText("QORFW.log"), "Send FW data 256"); }},
      {"InterruptToTheParentCancelsEveryPort", {"-p", "a", "-p", "b", big}, {SIGINT, false},
       [] { return has(readText("QORFW-a.log"), "Send FW data 256") && has(readText("QORFW-b.log"), "Send FW data 256"); }},
      // In the 1 s pause after validate's ACK, as a shell's `kill -TERM -- -PGID` typed twice.
      {"TermTwiceToTheGroupCancelsEveryChild", {"-p", "a", "-p", "b", "--protocol", "block", small}, {SIGTERM, true},
       [] { return validateAcked("QORFW-a.log") && validateAcked("QORFW-b.log"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    SetUp();
    DongleLauncher a("a", {}), b("b", {});
    const ToolRun run = runTool(c.args, c.when, c.stop);
    EXPECT_EQ(run.code, 5) << run.err;
    const bool several = c.args.size() > 3;
    for (const std::string& port : several ? std::vector<std::string>{"a", "b"} : std::vector<std::string>{""}) {
      const std::string log = port.empty() ? "QORFW.log" : "QORFW-" + port + ".log";
      EXPECT_EQ(lastLine(readText(log)).rfind("Firmware update cancelled at ", 0), 0u) << log;
      if (!several) continue;  // errors on stderr; the summary row on stdout
      EXPECT_TRUE(has(run.err, "[" + port + "] mbus-fwupdate: Firmware update cancelled at ")) << run.err;
      EXPECT_TRUE(has(run.out, port + "     cancelled" + std::string(9, ' ') + "5")) << run.out;
    }
    EXPECT_TRUE(std::filesystem::is_empty("locks")) << "the port's lock file is left";
    EXPECT_EQ(runTool({"-p", "a", "--snd-nke"}).code, 0) << "the port is free again";
  }
}

// `--json ... | head -n 1`: the closed pipe stops no update half-way.
TEST_F(FwUpdate, ClosedOutputLetsTheUpdateFinish) {
  startDongle();
  const ToolRun run = runTool({"-p", "port", "--json", "-q", "--protocol", "block", small}, nullptr, {}, true);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(has(run.out, R"("event":"start")")) << run.out;
  EXPECT_EQ(readBytes(dongle->outputPath), readBytes(small));
  EXPECT_TRUE(std::filesystem::is_empty("locks"));
}

// A second child must hold none of the first one's pipe ends, and a stop
// signal before a child's handlers are in place waits for them.
TEST(ChildProcesses, PipesStayTheirChildsAndStopSignalsWaitForTheHandlers) {
  std::set<std::string> before;  // whatever this test process was given to pass on
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) before.insert(entry.path().filename());
  ChildProcess first, second, early;
  std::vector<std::string> fds, said;
  const LineSink none = [](const std::string&) {};
  ASSERT_TRUE(first.start({"/bin/sh", "-c", "sleep 1"}, none, none));
  ASSERT_TRUE(second.start({"/bin/sh", "-c", "ls -l /proc/$$/fd"}, [&](const std::string& l) { fds.push_back(l); }, none));
  ASSERT_TRUE(early.start({"/bin/sh", "-c", "kill -TERM $$; echo alive"}, [&](const std::string& l) { said.push_back(l); }, none));
  EXPECT_EQ(second.wait() + early.wait() + first.wait(), 0);
  for (const std::string& line : fds) {  // "lr-x------ 1 root root 64 Dec  7 17:02 4 -> pipe:[81]"
    const size_t arrow = line.find(" -> "), at = line.rfind(' ', arrow - 1) + 1;
    const std::string fd = arrow == std::string::npos ? "0" : line.substr(at, arrow - at);
    EXPECT_FALSE(has(line, "pipe:") && std::stoi(fd) > 2 && !before.count(fd)) << line;
  }
  EXPECT_EQ(said, std::vector<std::string>{"alive"});
}

std::map<std::string, std::vector<nlohmann::json>> eventsByPort(const std::string& ndjson) {
  std::map<std::string, std::vector<nlohmann::json>> byPort;
  std::istringstream lines(ndjson);
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(event.is_object()) << line;
    if (event.is_object()) byPort[event.value("port", "")].push_back(event);
  }
  return byPort;
}

// Each event has exactly the keys docs/command-line.md lists for it.
void expectDocumentedKeys(const nlohmann::json& event) {
  static const std::map<std::string, std::set<std::string>> keys = {
      {"start", {"event", "port", "command", "image", "protocol"}},
      {"step", {"event", "port", "step", "done", "total"}},
      {"progress", {"event", "port", "done", "total", "percent", "seconds"}},
      {"answer", {"event", "port", "counter", "decrypt", "manufacturer", "id", "version", "device_type"}},
      {"refused answer", {"event", "port", "counter", "decrypt", "decrypt_check"}},
      {"answer with records", {"event", "port", "counter", "decrypt", "manufacturer", "id", "version", "device_type",
                               "control", "address", "ci", "access_number", "status", "signature", "records"}},
      {"result", {"event", "port", "exit", "counter", "seconds", "message"}},
  };
  const std::string kind = event.value("decrypt", "") == "error" ? "refused answer" : event.value("event", "");
  const auto known = keys.find(kind + (event.contains("records") ? " with records" : ""));
  ASSERT_NE(known, keys.end()) << event.dump();
  std::set<std::string> got;
  for (const auto& item : event.items()) got.insert(item.key());
  EXPECT_EQ(got, known->second) << event.dump();
}

// A dongle that had accepted counter 0x30 takes the learned counter; a silent
// one, one that closes its line and a missing port end with their own codes,
// and the others finish.
TEST_F(FwUpdate, SeveralPortsRunInParallelEachWithItsOwnLogAndResult) {
  DongleLauncher good("good", {"--accepted-counter", "00000030", "--counter", "00000030"});
  DongleLauncher silent("silent", {"--silent-after", "0"});
  DongleLauncher closing("closing", {"--close-after", "5"});
  ASSERT_TRUE(good.started() && silent.started() && closing.started());
  // Every way of writing a port reaches its own process as that one port.
  const ToolRun run = runTool({"-q", "--json", "-pgood", "-p", "silent", "--port=closing", "-p", "gone", small});
  EXPECT_EQ(run.code, 4) << "the largest of 0, 4, 3 and 3";
  const struct { const char* port; int exit; const char* message; } ports[] = {
      {"good", 0, "firmware sent: the dongle is now reprogramming itself; when it is back, check it with "
                  "mbus-fwupdate -p good --req-ud2"},
      {"silent", 4, "the dongle did not answer the counter request"},
      {"closing", 3, "Serial port closing lost."},
      {"gone", 3, "serial port gone not found"},
  };
  auto events = eventsByPort(run.out);
  EXPECT_EQ(events.size(), 4u);
  for (const auto& p : ports) {
    SCOPED_TRACE(p.port);
    const std::vector<nlohmann::json>& mine = events[p.port];
    ASSERT_GE(mine.size(), 2u);
    for (const auto& event : mine) expectDocumentedKeys(event);
    EXPECT_EQ(mine.front()["event"], "start");
    EXPECT_EQ(mine.back()["event"], "result");
    EXPECT_EQ(mine.back()["exit"], p.exit);
    EXPECT_EQ(mine.back()["message"], p.message);
    EXPECT_TRUE(has(run.err, p.port)) << "the summary names every port";
    if (std::string(p.port) != "gone") {
      EXPECT_TRUE(has(readText(std::string("QORFW-") + p.port + ".log"), ">>> REQ_UD2"));
    }
  }
  EXPECT_EQ(readBytes(good.outputPath), readBytes(small));
  good.stop();
  EXPECT_TRUE(has(readText(good.summaryPath), "stale_counters=0\n")) << "no counter went out twice";
  EXPECT_GT(std::stoul(events["good"].back()["counter"].get<std::string>(), nullptr, 16), 0x30u);
  const auto progress = std::count_if(events["good"].begin(), events["good"].end(),
                                      [](const nlohmann::json& e) { return e["event"] == "progress"; });
  EXPECT_LE(progress, events["good"].back()["seconds"].get<double>() + 2) << "at most one a second, and the last";
}

TEST_F(FwUpdate, BadInputSendsNothing) {
  startDongle();
  std::ofstream("big.cfw") << std::string(131105, 'x');
  std::ofstream("victim.txt") << "precious\n";
  const struct { std::vector<std::string> args; int code; std::string error; bool holdPort = false; void (*plant)() = nullptr; } cases[] = {
      {{"--bogus", small}, 1, "unknown option --bogus"},
      {{"big.cfw"}, 2, "big.cfw has 131105 bytes; a dongle takes at most 131104"},
      {{"missing.cfw"}, 2, "missing.cfw: No such file"},
      {{"-p", "nowhere", small}, 3, "serial port nowhere not found"},
      {{"-p", "a/port", "-p", "b/port", small}, 1, "would share the log QORFW-port.log"},
      {{"-p", "a/COM7", "-p", "b/com7", small}, 1, "would share the log QORFW-com7.log"},
      {{small}, 3, "serial port port is held by another program", true},
      {{"--key-file", "/dev/zero", small}, 1, "--key-file /dev/zero: it is longer than 4096 bytes"},
      {{"--log", small, small}, 8, "--log " + small + " is " + small + ", an input"},
      {{"--log", "QORFW-link.log", "--snd-nke"}, 8, "log QORFW-link.log refused: it is a symbolic link", false,
       [] { symlink("victim.txt", "QORFW-link.log"); }},
      {{"--snd-nke"}, 8, "log QORFW.log refused: it is not a regular file", false, [] { mkfifo("QORFW.log", 0600); }},
      {{"--snd-nke"}, 8, "QORconfig.txt refused: it is not a regular file", false, [] { mkfifo("QORconfig.txt", 0600); }},
  };
  for (const auto& c : cases) {
    if (c.plant) c.plant();
    std::vector<std::string> args = c.args;
    if (std::find(args.begin(), args.end(), "-p") == args.end()) args.insert(args.begin(), {"-p", "port"});
    const int held = c.holdPort ? open("port", O_RDWR | O_NOCTTY) : -1;
    if (held >= 0) flock(held, LOCK_EX);
    const ToolRun run = runTool(args);
    if (held >= 0) close(held);
    EXPECT_EQ(run.code, c.code) << c.error;
    EXPECT_TRUE(has(run.err, c.error) && std::count(run.err.begin(), run.err.end(), '\n') == 1) << c.error << ": " << run.err;
    std::filesystem::remove("QORFW.log");
  }
  EXPECT_TRUE(has(runTool({"--help"}).out, "Exit status:\n  0 done")) << "a FIFO config does not hang --help";
  std::filesystem::remove("QORconfig.txt");
  // A size that says 4096 for a file that reads nothing (a sysfs attribute): the bytes read decide.
  const std::string hollow = "/sys/kernel/slab/kmalloc-64/validate";
  if (access(hollow.c_str(), R_OK) == 0) {
    const ToolRun run = runTool({"-p", "port", hollow});
    EXPECT_TRUE(run.code == 2 && has(run.err, "read 0 of the 4096 bytes its size gives")) << run.code << run.err;
  }
  EXPECT_EQ(readText("victim.txt"), "precious\n");
  EXPECT_EQ(std::filesystem::file_size(small), 700u) << "the image is no log";
  EXPECT_TRUE(has(summary(), "telegrams=0\n"));
}

// A run in the folder of a running update must leave its log whole; each
// run adds its header line to the log.
TEST_F(FwUpdate, LogInUseIsRefusedAndEveryRunAppendsItsHeader) {
  startDongle();
  EXPECT_EQ(runTool({"-p", "port", "--snd-nke"}).code, 0);
  const int held = open("QORFW.log", O_WRONLY);  // as a running update holds it
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const ToolRun second = runTool({"-p", "port", "--snd-nke"});
  close(held);
  EXPECT_TRUE(second.code == 8 && has(second.err, "log QORFW.log refused: another run of the tool is writing it; give"))
      << second.err;
  EXPECT_EQ(runTool({"-p", "port", "--req-ud2"}).code, 0);
  const std::string log = readText("QORFW.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), 'Z'), 2) << log;  // two header lines: the UTC time's Z
  EXPECT_TRUE(has(log, " mbus-fwupdate 1.8.0 port port: SND_NKE\n>>> SND_NKE\n")) << log;
  EXPECT_TRUE(has(log, " port port: REQ_UD2\n>>> REQ_UD2\n")) << log;
}

// The learned counter's answer under a wrong key ends the update at once,
// and nothing in it becomes a counter or an identity.
TEST_F(FwUpdate, WrongKeyStopsTheCounterStepAtOnce) {
  startDongle({"--protected-answers"});
  const ToolRun run = runTool({"-q", "--json", "-p", "port", "--key", std::string(32, '0'), small});
  EXPECT_TRUE(run.code == 7 && run.seconds < 8) << run.code << " after " << run.seconds;
  EXPECT_TRUE(has(run.err, "does not verify (the MAC does not match") && has(run.err, "check the key")) << run.err;
  const std::vector<nlohmann::json> events = eventsByPort(run.out)["port"];
  ASSERT_EQ(events.size(), 3u) << run.out;
  expectDocumentedKeys(events[1]);
  EXPECT_TRUE(events[1]["counter"].is_null() && !events[1].contains("id")) << events[1].dump();
  EXPECT_TRUE(events[2]["counter"].is_null()) << events[2].dump();
  EXPECT_TRUE(has(summary(), "telegrams=0\n"));
}

// Help and version answer on stdout before a display, a log, a folder or a
// port is touched; no arguments at all get the usage.
TEST(ProgramFlags, AnswerOnStdoutBeforeAnythingIsTouched) {
  unsetenv("DISPLAY");
  setenv("XDG_DATA_HOME", (std::filesystem::current_path() / "data").c_str(), 1);
  std::filesystem::remove_all("data");
  const std::string version = " [0-9]+\\.[0-9]+\\.[0-9]+";
  // `first`: the first line as a pattern; `last`: the last line starts so.
  const struct { const char* program; std::vector<std::string> args; int code; std::string first, last; bool onStderr; } rows[] = {
      {"mbus-fwtool", {"--user-folder", "--help"}, 0, "Usage: mbus-fwtool .*", "The command-line updater", false},
      {"mbus-fwtool", {"-V", "-display", ":99"}, 0, "mbus-fwtool" + version, "mbus-fwtool ", false},
      {"mbus-fwupdate", {"--version"}, 0, "mbus-fwupdate" + version, "mbus-fwupdate ", false},
      {"mbus-fwupdate", {"-p", "nowhere", "--help"}, 0, "Usage: mbus-fwupdate .*", "  largest of theirs.", false},
      {"mbus-fwupdate", {}, 1, "Usage: mbus-fwupdate .*", "  largest of theirs.", true},
  };
  for (const auto& row : rows) {
    std::ofstream("QORFW.log") << "an earlier run\n";
    const ToolRun run = runTool(row.args, nullptr, {}, false, row.program);
    const std::string& text = row.onStderr ? run.err : run.out;
    EXPECT_EQ(run.code, row.code) << row.program << run.err;
    EXPECT_TRUE(std::regex_match(text.substr(0, text.find('\n')), std::regex(row.first))) << text;
    EXPECT_EQ(lastLine(text).rfind(row.last, 0), 0u) << text;
    EXPECT_TRUE((row.onStderr ? run.out : run.err).empty()) << run.out << run.err;
    EXPECT_EQ(readText("QORFW.log"), "an earlier run\n");
  }
  EXPECT_FALSE(std::filesystem::exists("data")) << "--help made the user folder";
}

TEST(FwUpdateDecode, AFrameFromAFileDecodesWithoutAPortAndABadOneExitsWith6) {
  std::ofstream("frame.hex") << "68 03 03 68\n08 05 78 85 16\n";  // CI 78: no header, no records
  EXPECT_EQ(runTool({"--decode", "@frame.hex"}).out, "control: 08\naddress: 05\nci: 78\n");
  EXPECT_EQ(runTool({"--decode", "68 03 03 68 08 05 78 86 16", "--json"}).code, 6);  // the checksum is 85
  const struct { std::vector<std::string> args; int code; const char* err; } cases[] = {
      {{"--decode", "@/dev/zero"}, 1, "--decode @/dev/zero: it is longer than 16384 bytes"},
      {{"--decode", "@."}, 1, "--decode @.: cannot read it"},
      {{"--decode", "@frame.hex"}, 0, ""},  // with MBUS_KEY set but empty: unset
  };
  setenv("MBUS_KEY", "", 1);
  for (const auto& c : cases) {
    const ToolRun run = runTool(c.args);
    EXPECT_TRUE(run.code == c.code && has(run.err, c.err) && (*c.err || run.err.empty())) << run.code << run.err;
  }
  unsetenv("MBUS_KEY");
}

TEST_F(FwUpdate, RequestsPrintTheAnswerDecrypted) {
  startDongle({"--protected-answers"});
  EXPECT_TRUE(has(runTool({"-p", "port", "--snd-nke"}).out, "<<< Answer single byte ACK.\n"));
  const ToolRun run = runTool({"-p", "port", "--req-ud2"});
  EXPECT_EQ(run.code, 0);
  // The window's text of the same first answer: frames, counter, "Decrypt OK." and the dump.
  std::string window = readText(std::string(getenv("MBUS_SOURCE_DIR")) + "/tests/golden/req-protected.console");
  const size_t key = window.find("Decrypting using key: ") + 22;  // the log alone shows the key
  window.replace(key, window.find('\n', key) - key, "(hidden on the terminal; the log QORFW.log holds it)");
  // Then its records: after 2F 2F the counter record 04 FD 08 01 00 00 00.
  EXPECT_EQ(run.out, window.substr(0, window.find(">>>", 1)) + "  Access number 1\n" +
                         "manufacturer: BRV\nid: 01020304\nversion: 40\ndevice type: 03\n"
                         "counter for the next update: --counter 00000002\n");
  EXPECT_TRUE(has(readText("QORFW.log"), "Decrypting using key: 0x5A 0x17 0xC3 0xE9 0x0B 0x4D 0x62 0xF8 0xA1 0xC0"));
  // A log left by someone else's umask is narrowed: its traces hold the keys.
  std::ofstream("QORFW.log") << "old";
  chmod("QORFW.log", 0644);
  std::ofstream("zero.key") << std::string(32, '0') << "\n";
  const ToolRun wrong = runTool({"-p", "port", "--req-ud2", "--key-file", "zero.key"});
  EXPECT_TRUE(has(wrong.out, "Decrypt Error.\n  Decrypt check failed: the MAC does not match"));
  EXPECT_TRUE(wrong.code == 6 && !has(wrong.out, "--counter") && !has(wrong.out, "id:")) << wrong.code << wrong.out;
  const std::vector<nlohmann::json> events = eventsByPort(runTool({"-p", "port", "--req-ud2", "--json"}).out)["port"];
  EXPECT_EQ(events.back()["message"], "the dongle answered REQ_UD2");
  const nlohmann::json answer = events.at(1);
  expectDocumentedKeys(answer);  // the third answer: the header behind the AFL, its counter record after 2F 2F
  EXPECT_EQ(answer["ci"].dump() + answer["records"][0]["raw"].dump() + answer["records"][0]["value"].dump(),
            R"("72""04FD0803000000"3)");
  struct stat info = {};
  EXPECT_TRUE(stat("QORFW.log", &info) == 0 && (info.st_mode & 0777) == 0600) << std::oct << info.st_mode;
  startDongle({"--silent-after", "0"});
  const ToolRun silent = runTool({"-p", "port", "--req-ud2"});
  EXPECT_TRUE(silent.code == 4 && silent.seconds < 7) << silent.code << " after " << silent.seconds;
}

}  // namespace
