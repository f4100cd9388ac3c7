// The working files (log, config) lie in a folder others may share: they are
// opened never through a symlink, never blocking on a FIFO, and only as a
// regular file of the caller's own. One file per system, chosen by the build:
// platform/own_file_posix.cpp and platform/own_file_windows.cpp.
#pragma once
#include <cstdio>

enum class OwnFileResult {
  Opened,
  Missing,     // reading: there is no such file
  Symlink,     // the name is a symbolic link (or, on Windows, a reparse point)
  NotRegular,  // a folder, FIFO, device or socket
  NotOwned,    // another user's file
  InUse,       // writing: another run holds it
  NotPrivate,  // writing: it could not be made its owner's alone
  Failed,      // anything else the system refused
};
enum class WriteMode { Empty, Append };

// For writing: locked for this process until closed (a second writer gets
// InUse and never truncates it), readable by its owner only, then emptied or
// appended to. *file is set only when Opened.
[[nodiscard]] OwnFileResult openOwnFileForWriting(const char* path, WriteMode mode, FILE** file);
// For reading in text mode. *file is set only when Opened.
[[nodiscard]] OwnFileResult openOwnFileForReading(const char* path, FILE** file);
