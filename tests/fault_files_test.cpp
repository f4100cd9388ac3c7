// Working files that misbehave: a firmware file that changes or vanishes
// after loading, a configuration file that is a directory or a dangling link,
// a log or configuration file that permissions keep out. Each must give a
// clear result and no crash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/shell/config_file.h"
#include "app/shell/log_file.h"
#include "commands/identity_fields.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"
#include "security/telegram_protection.h"
#include "tests/support/dongle_model.h"
#include "tests/support/fakes.h"

namespace {

// A fresh folder under the test's working directory for each test.
class FaultFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::string("fault-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }
  void TearDown() override {
    closeLogFile();
    std::filesystem::remove_all(dir);
  }
  std::string path(const char* name) const { return dir + "/" + name; }
  static void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  static std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = (uint8_t)(i * 31 + seed + (i >> 8));
    return bytes;
  }
  std::string dir;
};

// A firmware file written and loaded, with a dongle ready to take the update.
class FirmwareFileFault : public FaultFiles {
 protected:
  std::vector<uint8_t> writeAndLoad(size_t n, uint8_t seed) {
    const std::vector<uint8_t> original = pattern(n, seed);
    writeFile(path("fw.cfw"), original);
    prepareUpdate(0);
    EXPECT_TRUE(loadFirmwareFile(path("fw.cfw").c_str(), h.out));
    return original;
  }
  // The update sends what was loaded, whatever happens to the file afterwards.
  void expectUpdateSends(const std::vector<uint8_t>& loaded) {
    useSimpleProtocol = 0;
    encryptionOn = 0;
    ASSERT_EQ(runFirmwareUpdate(h.ctx), UpdateResult::Finished);
    ASSERT_EQ(dongle.image.size(), loaded.size());
    EXPECT_EQ(hex(dongle.image), hex(loaded));
  }
  Harness h;
  DongleModel dongle{h};
};

TEST_F(FirmwareFileFault, OverwrittenAfterLoadingStillSendsTheLoadedImage) {
  const std::vector<uint8_t> original = writeAndLoad(700, 1);
  writeFile(path("fw.cfw"), pattern(300, 99));  // shorter and different
  expectUpdateSends(original);
}

TEST_F(FirmwareFileFault, DeletedAfterLoadingStillSendsTheLoadedImage) {
  const std::vector<uint8_t> original = writeAndLoad(1000, 7);
  ASSERT_EQ(std::remove(path("fw.cfw").c_str()), 0);
  expectUpdateSends(original);
}

TEST_F(FirmwareFileFault, ReplacedByADirectoryAfterLoadingCannotBeLoadedAgain) {
  writeAndLoad(260, 3);
  ASSERT_EQ(std::remove(path("fw.cfw").c_str()), 0);
  ASSERT_EQ(mkdir(path("fw.cfw").c_str(), 0755), 0);
  // Loading the directory fails and says so; the update then refuses rather
  // than sending an image the user no longer has selected.
  EXPECT_FALSE(loadFirmwareFile(path("fw.cfw").c_str(), h.out));
  EXPECT_EQ(firmwareLoaded, 0);
  EXPECT_EQ(runFirmwareUpdate(h.ctx), UpdateResult::NoFirmware);
  EXPECT_TRUE(dongle.seen.empty());
}

// A directory opens on Linux but cannot be read: it counts as absent, so
// the window keeps its defaults rather than five empty fields.
TEST_F(FaultFiles, ConfigFileThatIsADirectoryLeavesTheDefaults) {
  ASSERT_EQ(mkdir(path("QORconfig.txt").c_str(), 0755), 0);
  std::strcpy(configLines[0], "stale");
  EXPECT_EQ(readConfigFile(path("QORconfig.txt").c_str()), 0);
  EXPECT_EQ(configLoaded, 0);
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) EXPECT_STREQ(configLines[i], "") << "line " << i + 1;
}

TEST_F(FaultFiles, ConfigFileThatIsADanglingLinkLeavesTheDefaults) {
  ASSERT_EQ(symlink("no-such-target", path("QORconfig.txt").c_str()), 0);
  EXPECT_EQ(readConfigFile(path("QORconfig.txt").c_str()), 0);
  EXPECT_EQ(configLoaded, 0);
  EXPECT_STREQ(configLines[0], "");
}

TEST_F(FaultFiles, ConfigFileWithNulBytesAndNoLineEndsStaysInsideItsLines) {
  std::vector<uint8_t> bytes(2000, 'A');
  bytes[3] = 0;
  bytes[600] = 0;
  writeFile(path("QORconfig.txt"), bytes);
  EXPECT_EQ(readConfigFile(path("QORconfig.txt").c_str()), 1);
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i)
    EXPECT_NE(std::memchr(configLines[i], 0, CONFIG_LINE_SIZE), nullptr) << "line " << i + 1;
  // Seven pieces of 255 characters, each losing its last one.
  EXPECT_EQ(std::strlen(configLines[1]), 254u);
}

// As root, permissions do not stop a write: a log whose name is taken by a
// directory, or whose folder is a regular file, cannot be created either way.
TEST_F(FaultFiles, LogNameTakenByADirectoryIsRefusedAndEverythingStillRuns) {
  ASSERT_EQ(mkdir(path("QORFW.log").c_str(), 0755), 0);
  EXPECT_FALSE(openLogFile(path("QORFW.log").c_str()));
  EXPECT_EQ(logFile, nullptr);

  // Printing, security traces and answer handling go on without the log.
  Harness h;
  h.connect();
  h.out.outputText("to the console only\n", STYLE_SENT);
  logDump(reinterpret_cast<const uint8_t*>("0123456789abcdefXYZ"), 19);
  logFormat("%s %d\n", "trace", 5);
  std::vector<uint8_t> app(47, 0x2F);
  app[0] = 0x90;
  app[1] = 0x0F;
  app[17] = 0x5B;
  app[28] = 0x10;
  app[29] = 0x07;
  EXPECT_TRUE(telegramEncryptAndMac(app.data(), (uint32_t)app.size(), meterIdBytes, communicationKey));
  EXPECT_FALSE(telegramDecrypt(app.data(), (uint32_t)app.size(), meterIdBytes, communicationKey));
  resetReceiver();
  h.port->queue({0xE5});
  h.port->queue(longFrame(0x08, 0x01, {0x72, 0x04, 0x03, 0x02, 0x01, 0x43, 0x04, 0x40, 0x03, 0, 0, 0, 0}));
  pollAnswers(h.ctx);
  EXPECT_NE(h.console.text().find("to the console only\n<<< Answer single byte ACK.\n<<< Answer\n"),
            std::string::npos)
      << h.console.text();
  EXPECT_EQ(h.fields.fieldText(Field::Manufacturer), "ABC");
}

TEST_F(FaultFiles, LogInAFolderThatIsAFileIsRefused) {
  writeFile(path("folder"), {'x'});
  EXPECT_FALSE(openLogFile(path("folder/QORFW.log").c_str()));
  EXPECT_EQ(logFile, nullptr);
  logText("nowhere\n");  // must be harmless
}

// Permissions only bite for an ordinary user, so the checks run in a child
// that drops root (to nobody) before it touches the files. The folders live
// under /tmp so that nobody can reach them at all.
TEST(FaultPermissions, LogFolderWithoutWritePermissionAndUnreadableConfigAreRefused) {
  char base[] = "/tmp/mbus-perm-XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  const std::string dir = base, readOnly = dir + "/read-only", config = dir + "/QORconfig.txt";
  ASSERT_EQ(chmod(base, 0755), 0);
  ASSERT_EQ(mkdir(readOnly.c_str(), 0555), 0);
  FILE* f = std::fopen(config.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("SEC\n", f);
  std::fclose(f);
  ASSERT_EQ(chmod(config.c_str(), 0), 0);

  // Exit codes: 0 all refused cleanly, 10 cannot drop root, 11 folder not
  // reachable (the test would prove nothing), 1 log created, 2 config read.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    if (access(dir.c_str(), X_OK) != 0) _exit(11);
    if (openLogFile((readOnly + "/QORFW.log").c_str()) || logFile != nullptr) _exit(1);
    logText("nowhere\n");
    std::strcpy(configLines[0], "stale");
    if (readConfigFile(config.c_str()) != 0 || configLoaded != 0 || configLines[0][0] != 0) _exit(2);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == 10) GTEST_SKIP() << "cannot drop root here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(FaultFiles, LogReopenedEmptiesTheOldOneAndWritesAtOnce) {
  ASSERT_TRUE(openLogFile(path("QORFW.log").c_str()));
  logText("first run\n");
  ASSERT_TRUE(openLogFile(path("QORFW.log").c_str()));
  logText("second");
  // Unbuffered: the bytes are in the file before anything flushes or closes it.
  FILE* f = std::fopen(path("QORFW.log").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char text[64] = {0};
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  EXPECT_EQ(std::string(text, n), "second");
}

}  // namespace
