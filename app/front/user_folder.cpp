#include "app/front/user_folder.h"

#include <cstdlib>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Relative values are ignored, as the XDG base directory rules ask: they
// would depend on where the program happened to start.
fs::path absoluteBase(const fs::path& base) { return base.is_absolute() ? base : fs::path(); }

}  // namespace

fs::path userFolderPath() {
  fs::path base;
#ifdef _WIN32
  // Wide, so that a user name outside the ANSI code page survives.
  if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA")) base = absoluteBase(local);
#else
  if (const char* data = std::getenv("XDG_DATA_HOME")) base = absoluteBase(data);
  const char* home = std::getenv("HOME");
  if (base.empty() && home && fs::path(home).is_absolute()) base = fs::path(home) / ".local" / "share";
#endif
  return base.empty() ? base : base / "mbus-fwtool";
}

UserFolderResult enterUserFolder() {
  const fs::path folder = userFolderPath();
  if (folder.empty()) return UserFolderResult::NoBaseFolder;
  std::error_code error;
  fs::create_directories(folder, error);
  if (!fs::is_directory(folder, error)) return UserFolderResult::NotCreated;
  fs::current_path(folder, error);
  return error ? UserFolderResult::NotEntered : UserFolderResult::Entered;
}

std::string userFolderText(UserFolderResult result, const fs::path& folder) {
  const std::string name = "Working folder " + folder.u8string();
  const char* const fallback = "; working in the current folder.";
  switch (result) {
    case UserFolderResult::Entered: return name + ".";
#ifdef _WIN32
    case UserFolderResult::NoBaseFolder: return std::string("LOCALAPPDATA names no folder") + fallback;
#else
    case UserFolderResult::NoBaseFolder: return std::string("Neither XDG_DATA_HOME nor HOME names a folder") + fallback;
#endif
    case UserFolderResult::NotCreated: return name + " could not be created" + fallback;
    case UserFolderResult::NotEntered: return name + " could not be entered" + fallback;
  }
  return std::string();
}
