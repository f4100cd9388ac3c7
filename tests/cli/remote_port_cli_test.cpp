// mbus-fwupdate through a serial server: Debian's ser2net on loopback, raw
// and telnet(rfc2217), its serial side the virtual dongle's pseudo-terminal;
// and small servers of our own that refuse, or record what reaches them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/cli/port_runs.h"
#include "link/serial_port.h"
#include "tests/support/fakes.h"
#include "virtual-dongle/dongle_launcher.h"

namespace {

std::string built(const std::string& name) { return std::string(getenv("MBUS_BUILD_DIR")) + "/" + name; }
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct ToolRun { int code; std::string out, err; double seconds; };

// `during` runs every 20 ms while the tool runs.
ToolRun runTool(std::vector<std::string> args, const std::function<void()>& during = {}) {
  args.insert(args.begin(), built("mbus-fwupdate"));
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (freopen("out.txt", "w", stdout) && freopen("err.txt", "w", stderr)) execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  for (; waitpid(pid, &status, WNOHANG) == 0; usleep(20000))
    if (during) during();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText("out.txt"), readText("err.txt"), took.count()};
}

// A loopback socket listening on a port the system picked.
int listenOnLoopback(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || listen(fd, 1) != 0 || getsockname(fd, (sockaddr*)&a, &size) != 0)
    return close(fd), -1;
  port = ntohs(a.sin_port);
  return fd;
}

int unusedPort() {
  int port = 0;
  close(listenOnLoopback(port));
  return port;
}

// Read from the kernel's table: a trial connection would make ser2net open
// and close the line, and the next one could find it still closing.
bool listening(int port) {
  char local[16];
  std::snprintf(local, sizeof local, ":%04X ", port);
  std::istringstream table(readText("/proc/net/tcp"));
  for (std::string line; std::getline(table, line);)
    if (line.find(local) == 14 && line.substr(34, 2) == "0A") return true;  // st 0A: LISTEN
  return false;
}

// An image where most bytes are the telnet escape 0xFF.
std::string writeFfImage(size_t n) {
  std::vector<uint8_t> image(n, 0xFF);
  for (size_t i = 0; i < n; i += 5) image[i] = (uint8_t)i;
  std::ofstream("ff.cfw", std::ios::binary).write((const char*)image.data(), (std::streamsize)n);
  return "ff.cfw";
}

class Ser2net : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& entry : std::filesystem::directory_iterator("."))
      if (entry.path().filename().string().rfind("QORFW", 0) == 0) std::filesystem::remove(entry.path());
    setenv("MBUS_LOCK_DIR", ".", 1);
  }
  void TearDown() override { stopServer(); }

  // The dongle, then ser2net with a raw and a telnet(rfc2217) port on its line.
  void start(const std::vector<std::string>& dongleOptions = {}) {
    dongle = std::make_unique<DongleLauncher>("port", dongleOptions);
    ASSERT_TRUE(dongle->started());
    const std::string pty = std::filesystem::read_symlink("port").string();
    rawPort = unusedPort(), rfcPort = unusedPort();
    std::ofstream("ser2net.yaml") << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort
                                  << "\n  connector: serialdev," << pty << ",9600e81,local\n"
                                  << "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfcPort
                                  << "\n  connector: serialdev," << pty << ",9600e81,local\n";
    server = fork();
    if (server == 0) {
      if (freopen("ser2net.log", "w", stdout) && freopen("ser2net.log", "a", stderr))
        execlp("ser2net", "ser2net", "-n", "-d", "-c", "ser2net.yaml", "-P", "ser2net.pid", (char*)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 100 && !(listening(rawPort) && listening(rfcPort)); ++i) usleep(30000);
    ASSERT_TRUE(listening(rawPort) && listening(rfcPort)) << "ser2net (tools/setup-deps) did not listen: "
                                                      << readText("ser2net.log");
  }
  void stopServer() {
    if (server <= 0) return;
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    server = -1;
  }
  std::string rfc() const { return "rfc2217://127.0.0.1:" + std::to_string(rfcPort); }
  std::string raw() const { return "socket://127.0.0.1:" + std::to_string(rawPort); }

  std::unique_ptr<DongleLauncher> dongle;
  pid_t server = -1;
  int rawPort = 0, rfcPort = 0;
};

TEST_F(Ser2net, EveryProtocolThroughBothModesDeliversAnFfHeavyImageByteForByte) {
  const std::string image = writeFfImage(300);
  for (bool telnet : {true, false}) {
    start();
    const std::string port = telnet ? rfc() : raw();
    for (const char* protocol : {"simple", "block", "encrypted"}) {
      std::filesystem::remove(dongle->outputPath);
      const ToolRun run = runTool({"-p", port, "-q", "--fast", "--protocol", protocol, image});
      EXPECT_EQ(run.code, 0) << port << " " << protocol << ": " << run.err;
      EXPECT_EQ(hex(readBytes(dongle->outputPath)), hex(readBytes(image))) << port << " " << protocol;
    }
    stopServer();
    dongle->stop();
  }
}

// ser2net's own setting is 9600; the tool's 2400 reaches the dongle's line.
TEST_F(Ser2net, BaudRateSetThroughRfc2217ReachesTheLine) {
  start();
  const ToolRun run = runTool({"-p", rfc(), "-b", "2400", "--snd-nke"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(has(run.out, "<<< Answer single byte ACK.")) << run.out;
  EXPECT_EQ(dongle->waitForLine("virtual dongle line speed", 2000), "virtual dongle line speed 2400");
}

// The server gone mid-update: the port is lost at the next poll, never a success.
TEST_F(Ser2net, ServerKilledMidUpdateEndsAsALostPort) {
  start();
  std::chrono::steady_clock::time_point killed{};
  const ToolRun run = runTool({"-p", rfc(), "--protocol", "block", writeFfImage(3000)}, [&] {
    if (server > 0 && has(readText("QORFW.log"), "Send FW data")) {
      stopServer();
      killed = std::chrono::steady_clock::now();
    }
  });
  ASSERT_NE(killed, std::chrono::steady_clock::time_point{}) << run.out;
  const std::chrono::duration<double> after = std::chrono::steady_clock::now() - killed;
  EXPECT_EQ(run.code, 3) << run.out;
  EXPECT_TRUE(has(run.err, "Serial port " + rfc() + " lost.")) << run.err;
  EXPECT_LT(after.count(), 2.5);
}

TEST_F(Ser2net, NothingListeningIsAnOpenErrorAndEachRemotePortLogsUnderItsHostAndPort) {
  const int free1 = unusedPort(), free2 = unusedPort();
  const std::string a = "rfc2217://127.0.0.1:" + std::to_string(free1), b = "socket://[::1]:" + std::to_string(free2);
  const ToolRun one = runTool({"-p", a, "--snd-nke"});
  EXPECT_EQ(one.code, 3);
  EXPECT_EQ(one.err, "mbus-fwupdate: connection to " + a + " refused (is the serial server running?)\n");
  EXPECT_EQ(runTool({"-p", a, "-p", b, writeFfImage(100)}).code, 3);
  EXPECT_TRUE(std::filesystem::exists("QORFW-127.0.0.1-" + std::to_string(free1) + ".log"));
  EXPECT_TRUE(std::filesystem::exists("QORFW-__1-" + std::to_string(free2) + ".log"));
  EXPECT_EQ(portLogName("socket://pi:2000"), "QORFW-pi-2000.log");
}

// A server whose queue of connections is full: SYNs go unanswered.
TEST_F(Ser2net, AServerThatDoesNotAnswerIsAnOpenErrorAfterFiveSeconds) {
  int port = 0;
  const int listener = listenOnLoopback(port);
  std::vector<int> queued;
  for (int i = 0; i < 4; ++i) {
    queued.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)!connect(queued.back(), (sockaddr*)&a, sizeof a);
  }
  const std::string name = "socket://127.0.0.1:" + std::to_string(port);
  const ToolRun run = runTool({"-p", name, "--snd-nke"});
  EXPECT_EQ(run.code, 3);
  EXPECT_EQ(run.err, "mbus-fwupdate: no connection to " + name + " within 5 s\n");
  EXPECT_TRUE(run.seconds > 4.8 && run.seconds < 7) << run.seconds;
  for (int fd : queued) close(fd);
  close(listener);
}

TEST_F(Ser2net, ARemotePortSendsEachFrameAtOnceWithNagleOff) {
  int port = 0;
  const int listener = listenOnLoopback(port);
  const std::unique_ptr<SerialPort> serial = createSerialPort();
  ASSERT_EQ(serial->open(("socket://127.0.0.1:" + std::to_string(port)).c_str(), 9600), SerialOpenResult::Ok);
  int on = 0;
  socklen_t size = sizeof on;
  ASSERT_EQ(getsockopt((int)serial->waitHandle(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
  EXPECT_NE(on, 0);
  serial->close();
  close(listener);
}

// A telnet server of our own: greets as ser2net does, then either refuses
// COM-PORT-OPTION or confirms every setting; records what it receives.
struct SmallServer {
  explicit SmallServer(bool refuse) {
    listener = listenOnLoopback(port);
    thread = std::thread([this, refuse] {
      const int fd = accept(listener, nullptr, nullptr);
      const std::vector<uint8_t> greeting = fromHex(refuse ? "FF FE 2C" : "FF FD 2C FF FD 00 FF FB 00");
      (void)!write(fd, greeting.data(), greeting.size());
      uint8_t chunk[512];
      for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        received.insert(received.end(), chunk, chunk + n);
        // Each SET (FF FA 2C n value FF F0) is answered with n + 100 and the value.
        for (size_t i = answered; i + 4 < received.size(); ++i)
          if (received[i] == 0xFF && received[i + 1] == 0xFA && received[i + 2] == 0x2C && received[i + 3] <= 5) {
            size_t end = i + 4;
            while (end + 1 < received.size() && !(received[end] == 0xFF && received[end + 1] == 0xF0)) ++end;
            if (end + 1 >= received.size()) break;
            std::vector<uint8_t> reply(received.begin() + (long)i, received.begin() + (long)end + 2);
            reply[3] += 100;
            (void)!write(fd, reply.data(), reply.size());
            answered = i = end + 1;
          }
        if (received.back() == 0x16) (void)!write(fd, "\xE5", 1);  // a frame's end: acknowledged
      }
      close(fd);
    });
  }
  ~SmallServer() {
    shutdown(listener, SHUT_RDWR);
    close(listener);
    if (thread.joinable()) thread.join();
  }
  std::string name() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
  int listener = -1, port = 0;
  size_t answered = 0;
  std::vector<uint8_t> received;
  std::thread thread;
};

TEST_F(Ser2net, AServerRefusingComPortOptionIsAnOpenError) {
  SmallServer server(true);
  const ToolRun run = runTool({"-p", server.name(), "--snd-nke"});
  EXPECT_EQ(run.code, 3);
  EXPECT_TRUE(has(run.err, "did not accept 8E1")) << run.err;
  EXPECT_LT(run.seconds, 3.0) << "a refusal needs no time-out";
}

TEST_F(Ser2net, EveryFrameGoesOutRightAfterAPurgeOfTheServersReceiveBuffer) {
  SmallServer server(false);
  const ToolRun run = runTool({"-p", server.name(), "--snd-nke"});
  EXPECT_EQ(run.code, 0) << run.err;
  server.thread.join();  // the tool has closed the connection
  // PURGE-DATA (12) of the server's receive buffer (1), then SND_NKE to 0xFB.
  EXPECT_TRUE(has(hex(server.received), "FF FA 2C 0C 01 FF F0 10 40 FB 3B 16 ")) << hex(server.received);
}

}  // namespace
