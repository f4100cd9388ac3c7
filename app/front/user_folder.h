// The window's per-user working folder (--user-folder, as the Windows Start-menu
// shortcut starts it): %LOCALAPPDATA%\mbus-fwtool on Windows, else
// $XDG_DATA_HOME/mbus-fwtool or ~/.local/share/mbus-fwtool; made when missing.
#pragma once
#include <filesystem>
#include <string>

enum class UserFolderResult { Entered, NoBaseFolder, NotCreated, NotEntered };

// The folder the environment names for this user; empty when it names no absolute base.
std::filesystem::path userFolderPath();
// Creates the folder when missing and changes into it; on failure the current folder stays.
[[nodiscard]] UserFolderResult enterUserFolder();
// The console's line for a failure, e.g. "Working folder X could not be created; ..."
std::string userFolderText(UserFolderResult result, const std::filesystem::path& folder);
