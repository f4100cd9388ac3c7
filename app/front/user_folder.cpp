#include "app/front/user_folder.h"

#include <system_error>

#include "app/front/front_system.h"

namespace fs = std::filesystem;

fs::path userFolderPath() {
  const fs::path base = userDataBase();
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
    case UserFolderResult::NoBaseFolder: return noUserDataBaseText() + fallback;
    case UserFolderResult::NotCreated: return name + " could not be created" + fallback;
    case UserFolderResult::NotEntered: return name + " could not be entered" + fallback;
  }
  return std::string();
}
