// mbus-fwupdate through a serial server: Debian's ser2net on loopback, raw
// and telnet(rfc2217), its serial side the virtual dongle's pseudo-terminal.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "link/serial_port.h"
#include "tests/support/fakes.h"
#include "virtual-dongle/dongle_launcher.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ToolRun { int code; std::string out, err; double seconds; };
ToolRun runTool(const std::vector<std::string>& args) {
  std::string line = buildPath("mbus-fwupdate");
  for (const std::string& a : args) line += " '" + a + "'";
  const Clock::time_point start = Clock::now();
  const int status = std::system((line + " >out.txt 2>err.txt").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText("out.txt"), readText("err.txt"),
          std::chrono::duration<double>(Clock::now() - start).count()};
}

// A loopback socket listening on a port the system picked.
int listenOnLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || listen(fd, 1) != 0 || getsockname(fd, (sockaddr*)&a, &size) != 0)
    return close(fd), -1;
  return port = ntohs(a.sin_port), fd;
}
std::string unusedPort() {
  int port = 0;
  return close(listenOnLoopback(port)), std::to_string(port);
}

// Read from the kernel's table: a trial connection would make ser2net open
// and close the line, and the next one could find it still closing.
bool listening(const std::string& port) {
  char local[32];  // st 0A: LISTEN
  std::snprintf(local, sizeof local, ":%04X 00000000:0000 0A", std::stoi(port));
  return has(readText("/proc/net/tcp"), local);
}

// An image where most bytes are the telnet escape 0xFF.
std::string writeFfImage(size_t n) {
  std::vector<uint8_t> image(n, 0xFF);
  for (size_t i = 0; i < n; i += 5) image[i] = (uint8_t)i;
  std::ofstream("ff.cfw", std::ios::binary).write((const char*)image.data(), (std::streamsize)n);
  return "ff.cfw";
}

// The dongle, then ser2net with a raw, a telnet(rfc2217) and a plain telnet
// port on its line.
class Ser2net : public ::testing::Test {
 protected:
  void TearDown() override { stopServer(); }
  void start() {
    dongle = std::make_unique<DongleLauncher>("port", std::vector<std::string>{});
    ASSERT_TRUE(dongle->started());
    const std::string pty = std::filesystem::read_symlink("port").string();
    std::ofstream yaml("ser2net.yaml");
    for (const std::string& accepter : {"tcp,127.0.0.1," + (rawPort = unusedPort()),
                                        "telnet(rfc2217),tcp,127.0.0.1," + (rfcPort = unusedPort()),
                                        "telnet,tcp,127.0.0.1," + (telnetPort = unusedPort())})
      yaml << "connection: &c" << accepter.size() << "\n  accepter: " << accepter << "\n  connector: serialdev," << pty
           << ",9600e81,local\n";
    yaml.close(), std::filesystem::remove("QORFW.log");  // not an earlier run's
    if ((server = fork()) == 0) {
      if (freopen("ser2net.log", "w", stdout) && freopen("ser2net.log", "a", stderr))
        execlp("ser2net", "ser2net", "-n", "-d", "-c", "ser2net.yaml", "-P", "ser2net.pid", (char*)nullptr);
      _exit(127);
    }
    auto up = [&] { return listening(rawPort) && listening(rfcPort) && listening(telnetPort); };
    for (int i = 0; i < 100 && !up(); ++i) usleep(30000);
    ASSERT_TRUE(up()) << "no ser2net (tools/setup-deps)? " << readText("ser2net.log");
  }
  void stopServer() {
    if (server > 0) kill(server, SIGTERM), waitpid(server, nullptr, 0);
    server = -1;
  }
  std::unique_ptr<DongleLauncher> dongle;
  pid_t server = -1;
  std::string rawPort, rfcPort, telnetPort;
};

// The simple protocol through RFC 2217 at 2400 baud (ser2net's own setting is
// 9600): the rate reaches the dongle's line.
TEST_F(Ser2net, EveryProtocolThroughBothModesDeliversAnFfHeavyImageByteForByte) {
  const std::string image = writeFfImage(200);
  for (bool telnet : {true, false}) {
    start();
    const std::string port = telnet ? "rfc2217://localhost:" + rfcPort : "socket://127.0.0.1:" + rawPort;
    for (const char* protocol : {"simple", "block", "encrypted"}) {
      std::filesystem::remove(dongle->outputPath), usleep(300000);  // ser2net lets go of the last connection
      const char* baud = telnet && *protocol == 's' ? "2400" : "9600";
      const ToolRun run = runTool({"-p", port, "-b", baud, "-q", "--fast", "--protocol", protocol, image});
      EXPECT_EQ(run.code, 0) << port << " " << protocol << ": " << run.err;
      EXPECT_EQ(hex(readBytes(dongle->outputPath)), hex(readBytes(image))) << port << " " << protocol;
    }
    if (telnet) { EXPECT_EQ(dongle->waitForLine("virtual dongle line speed", 2000), "virtual dongle line speed 2400"); }
    stopServer();
    dongle->stop();
  }
}

// The server gone mid-update: the port is lost at the next poll, never a success.
TEST_F(Ser2net, ServerKilledMidUpdateEndsAsALostPort) {
  start();
  Clock::time_point killed{};
  std::thread killer([&] {
    for (int i = 0; i < 500 && !has(readText("QORFW.log"), "Send FW data"); ++i) usleep(20000);
    stopServer(), killed = Clock::now();
  });
  const ToolRun run = runTool({"-p", "rfc2217://127.0.0.1:" + rfcPort, "--protocol", "block", writeFfImage(3000)});
  killer.join();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - killed).count(), 2.5);
  EXPECT_EQ(run.code, 3) << run.out;
  EXPECT_EQ(run.err, "mbus-fwupdate: Serial port rfc2217://127.0.0.1:" + rfcPort + " lost.\n");
}

// Nothing listening; a telnet server without RFC 2217 (ser2net's plain
// telnet). Each remote port logs under its host and port.
TEST_F(Ser2net, AnOpenErrorSaysWhyAndExitsWith3) {
  start();
  const std::string nobody = "rfc2217://127.0.0.1:" + unusedPort(), plain = "rfc2217://127.0.0.1:" + telnetPort;
  const struct { std::string port, reason; } rows[] = {
      {nobody, "connection to " + nobody + " refused (is the serial server running?)"},
      {plain, "the serial server at " + plain + " did not accept 8E1 at this baud rate through RFC 2217"},
  };
  for (const auto& row : rows) {
    const ToolRun run = runTool({"-p", row.port, "--snd-nke"});
    EXPECT_EQ(run.code, 3) << row.port;
    EXPECT_EQ(run.err, "mbus-fwupdate: " + row.reason + "\n");
    EXPECT_LT(run.seconds, 2) << row.port << ": a refusal needs no time-out";
  }
  const std::string v6 = unusedPort();
  EXPECT_EQ(runTool({"-p", nobody, "-p", "socket://[::1]:" + v6, writeFfImage(100)}).code, 3);
  EXPECT_TRUE(std::filesystem::exists("QORFW-127.0.0.1-" + nobody.substr(20) + ".log"));
  EXPECT_TRUE(std::filesystem::exists("QORFW-__1-" + v6 + ".log"));
}

TEST(RemotePort, SendsEachFrameAtOnceWithNagleOff) {
  int port = 0, on = 0;
  const int listener = listenOnLoopback(port);
  const std::unique_ptr<SerialPort> serial = createSerialPort();
  ASSERT_EQ(serial->open(("socket://127.0.0.1:" + std::to_string(port)).c_str(), 9600), SerialOpenResult::Ok);
  socklen_t size = sizeof on;
  EXPECT_TRUE(getsockopt((int)serial->waitHandle(), IPPROTO_TCP, TCP_NODELAY, &on, &size) == 0 && on != 0);
  close(listener);
}

}  // namespace
