// The window's per-user working folder: the base the environment names, and
// making and entering it (also run under wine, where LOCALAPPDATA names it).
#include "app/front/user_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

void setVariable(const char* name, const char* value) {  // null: removed; wide on Windows, as it is read
#ifdef _WIN32
  const std::string text = std::string(name) + "=" + (value ? value : "");
  _wputenv(std::wstring(text.begin(), text.end()).c_str());
#else
  value ? setenv(name, value, 1) : unsetenv(name);
#endif
}

struct Row { const char* base; const char* home; const char* expected; };
#ifdef _WIN32
const char* const BASE = "LOCALAPPDATA";
const Row ROWS[] = {{"C:\\u\\Local", "C:\\u", "C:\\u\\Local\\mbus-fwtool"}, {"Local", "C:\\u", ""},
                    {nullptr, "C:\\u", ""}};
#else
const char* const BASE = "XDG_DATA_HOME";
const Row ROWS[] = {{"/u/data", "/u", "/u/data/mbus-fwtool"}, {"data", "/u", "/u/.local/share/mbus-fwtool"},
                    {nullptr, "/u", "/u/.local/share/mbus-fwtool"}, {"data", "u", ""}, {nullptr, nullptr, ""}};
#endif

}  // namespace

TEST(UserFolder, AnAbsoluteBaseNamesTheFolderAndARelativeOneIsIgnored) {
  for (const Row& row : ROWS) {
    setVariable(BASE, row.base);
    setVariable("HOME", row.home);
    EXPECT_EQ(userFolderPath(), fs::path(row.expected)) << (row.base ? row.base : "(none)");
  }
}

TEST(UserFolder, AMissingFolderIsMadeAndEnteredAndAFileInItsPlaceIsReported) {
  const fs::path start = fs::current_path(), folder = start / "base" / "nested" / "mbus-fwtool";
  fs::remove_all(start / "base");
  setVariable(BASE, (start / "base" / "nested").string().c_str());
  for (int pass = 0; pass < 2; ++pass) {  // missing, then there already
    ASSERT_EQ(enterUserFolder(), UserFolderResult::Entered) << pass;
    EXPECT_TRUE(fs::equivalent(fs::current_path(), folder)) << fs::current_path();
    fs::current_path(start);
  }
  fs::remove_all(folder);
  std::ofstream(folder.string()) << "a file, not a folder";
  EXPECT_EQ(enterUserFolder(), UserFolderResult::NotCreated);
  EXPECT_TRUE(fs::equivalent(fs::current_path(), start));
  EXPECT_NE(userFolderText(UserFolderResult::NotCreated, folder).find(folder.u8string() + " could not be created"),
            std::string::npos);
  setVariable(BASE, nullptr);
  setVariable("HOME", nullptr);
  EXPECT_EQ(enterUserFolder(), UserFolderResult::NoBaseFolder);
}
