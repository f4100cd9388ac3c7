// The per-user working folder: the environment names it; it is made and
// entered, or reported (also under wine, where LOCALAPPDATA names it).
#include "app/front/user_folder.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

TEST(UserFolder, TheFolderTheEnvironmentNamesIsMadeAndEnteredOrReported) {
  const fs::path start = fs::current_path(), folder = start / "local" / "mbus-fwtool";
  const std::string local = (start / "local").string(), home = (start / "home").string();
  fs::remove_all(start / "local");
  fs::remove_all(start / "home");
  using R = UserFolderResult;
  struct Row { const char* base; const char* home; fs::path folder; R result; } const rows[] = {
      {local.c_str(), nullptr, folder, R::Entered}, {local.c_str(), nullptr, folder, R::Entered},  // missing, there
      {"local", nullptr, "", R::NoBaseFolder}, {local.c_str(), nullptr, folder, R::NotCreated},  // a file in its place
#ifndef _WIN32  // HOME stands in for a missing or relative XDG_DATA_HOME
      {nullptr, home.c_str(), start / "home" / ".local" / "share" / "mbus-fwtool", R::Entered},
      {"local", "home", "", R::NoBaseFolder},
#endif
  };
  for (const Row& row : rows) {
#ifdef _WIN32
    _wputenv((L"LOCALAPPDATA=" + fs::path(row.base ? row.base : "").wstring()).c_str());  // empty: removed
#else
    row.base ? setenv("XDG_DATA_HOME", row.base, 1) : unsetenv("XDG_DATA_HOME");
    row.home ? setenv("HOME", row.home, 1) : unsetenv("HOME");
#endif
    if (row.result == R::NotCreated) fs::remove_all(folder), std::ofstream(folder.string()) << "not a folder";
    EXPECT_EQ(userFolderPath(), row.folder) << (row.base ? row.base : "-");
    EXPECT_EQ(enterUserFolder(), row.result) << (row.base ? row.base : "-");
    const fs::path now = fs::current_path();
    EXPECT_TRUE(fs::equivalent(now, row.result == R::Entered ? row.folder : start)) << now;
    fs::current_path(start);
  }
}
