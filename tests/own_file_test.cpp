// The working files in a shared folder: a symlink, FIFO, folder or another
// user's file is refused, never followed, emptied or waited on (a log in use:
// cli_test).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "app/front/config_file.h"
#include "interfaces/log_file.h"
#include "tests/support/fakes.h"

namespace {

namespace fs = std::filesystem;

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
    chmod("victim.txt", 0644);  // whatever the umask
    if (!c.plant()) continue;  // another user's file needs root
    EXPECT_EQ(openLogFile("work", WriteMode::Empty), c.log);
    closeLogFile();
    fs::remove_all("work");
    c.plant();
    EXPECT_EQ(readConfigFile("work"), c.config);
    EXPECT_EQ(configFieldLines(), nullptr);
    struct stat info = {};
    EXPECT_TRUE(readText("victim.txt") == "precious\n" && stat("victim.txt", &info) == 0 && (info.st_mode & 0777) != 0600);
  }
  fs::remove_all("work");
}

TEST(ConfigFile, LinesLoseTheirLineEndOnlyAndCrLfCountsAsOne) {
  // A last line without its end (a key's last digit) keeps every character.
  writeFile("QORconfig.txt", "ABC\r\n01020304\n40\n03\nKEY\nx");
  ASSERT_EQ(readConfigFile("QORconfig.txt"), OwnFileResult::Opened);
  const char* expected[] = {"ABC", "01020304", "40", "03", "KEY", "x", ""};
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) EXPECT_STREQ(configLines[i], expected[i]) << i;
  // The fields take the first five; the counter never comes from the file.
  ASSERT_NE(configFieldLines(), nullptr);
  EXPECT_EQ(*configFieldLines(), (std::vector<std::string>{"ABC", "01020304", "40", "03", "KEY"}));
}

}  // namespace
