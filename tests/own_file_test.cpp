// The working files in a shared folder: a symlink, FIFO, folder or another
// user's file is refused, never followed, emptied or waited on; a log in
// use is refused to a second writer and keeps its text.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "app/config_file.h"
#include "interfaces/log_file.h"
#include "tests/support/fakes.h"

namespace {

namespace fs = std::filesystem;

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(OwnFile, OnlyAnOwnRegularFileIsOpenedAndNothingElseIsTouched) {
  const struct {
    const char* behaviour;
    std::function<bool()> plant;  // false: this system cannot plant it
    OwnFileResult log, config;
  } cases[] = {
      {"MissingLogIsMadeAndMissingConfigIsAbsent", [] { return true; }, OwnFileResult::Opened, OwnFileResult::Missing},
      {"FolderIsRefused", [] { return fs::create_directory("work"); }, OwnFileResult::NotRegular,
       OwnFileResult::NotRegular},
#ifndef _WIN32
      {"SymlinkIsNeverFollowed", [] { return symlink("victim.txt", "work") == 0; }, OwnFileResult::Symlink,
       OwnFileResult::Symlink},
      {"FifoIsRefusedWithoutWaiting", [] { return mkfifo("work", 0600) == 0; }, OwnFileResult::NotRegular,
       OwnFileResult::NotRegular},
      {"AnotherUsersFileIsRefused",
       [] { return writeFile("work", "theirs\n"), chmod("work", 0666) == 0 && chown("work", 1, 1) == 0; },
       OwnFileResult::NotOwned, OwnFileResult::NotOwned},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    fs::remove_all("work");
    writeFile("victim.txt", "precious\n");
    if (!c.plant()) {
      std::cout << c.behaviour << ": cannot be planted here (not root?)\n";
      continue;
    }
    EXPECT_EQ(openLogFile("work", WriteMode::Empty), c.log);
    EXPECT_EQ(logFile != nullptr, c.log == OwnFileResult::Opened);
    closeLogFile();
    fs::remove_all("work");
    c.plant();
    EXPECT_EQ(readConfigFile("work"), c.config);
    EXPECT_EQ(configLoaded, 0);
    EXPECT_EQ(readText("victim.txt"), "precious\n");
    struct stat info = {};
    ASSERT_EQ(stat("victim.txt", &info), 0);
    EXPECT_NE(info.st_mode & 0777, 0600u) << "the victim keeps its mode";
  }
  fs::remove_all("work");
}

// A second run must neither empty nor interleave with the log of the first.
TEST(OwnFile, LogInUseIsRefusedAndKeepsItsTextAndAppendKeepsEarlierRuns) {
  writeFile("runs.log", "first run\n");
#ifndef _WIN32
  chmod("runs.log", 0644);
#endif
  ASSERT_EQ(openLogFile("runs.log", WriteMode::Append), OwnFileResult::Opened);
  logWrite("second run\n", 11);
  FILE* second = nullptr;
  EXPECT_EQ(openOwnFileForWriting("runs.log", WriteMode::Empty, &second), OwnFileResult::InUse);
  EXPECT_EQ(second, nullptr);
  closeLogFile();
  EXPECT_EQ(readText("runs.log"), "first run\nsecond run\n");
#ifndef _WIN32
  struct stat info = {};
  EXPECT_TRUE(stat("runs.log", &info) == 0 && (info.st_mode & 0777) == 0600) << std::oct << info.st_mode;
#endif
  ASSERT_EQ(openLogFile("runs.log", WriteMode::Empty), OwnFileResult::Opened) << "free again once closed";
  closeLogFile();
  EXPECT_EQ(readText("runs.log"), "");
}

TEST(ConfigFile, LinesLoseTheirLineEndOnlyAndCrLfCountsAsOne) {
  writeFile("QORconfig.txt", "ABC\r\n01020304\n40\n03\nKEY\nx");
  ASSERT_EQ(readConfigFile("QORconfig.txt"), OwnFileResult::Opened);
  const char* expected[] = {"ABC", "01020304", "40", "03", "KEY", "x", ""};
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) EXPECT_STREQ(configLines[i], expected[i]) << i;
  writeFile("QORconfig.txt", "ABC\n01020304\n40\n03\n00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(readConfigFile("QORconfig.txt"), OwnFileResult::Opened);
  EXPECT_STREQ(configLines[4], "00112233445566778899AABBCCDDEEFF") << "a last line without its end keeps every digit";
}

}  // namespace
