// UUCP lock files: minicom, picocom and many vendor tools take no flock, so
// their only mark on a port is a file named after it holding their PID.
#include "link/platform/uucp_lock_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>

namespace {

std::string lockFolder() {
  const char* chosen = getenv("MBUS_LOCK_DIR");
  if (chosen && *chosen) return chosen;
  struct stat st;
  for (const char* folder : {"/run/lock", "/var/lock"})
    if (stat(folder, &st) == 0 && S_ISDIR(st.st_mode)) return folder;
  return "";
}

// Others lock a symlinked device under its target's name.
std::string lockPathFor(const char* device) {
  const std::string folder = lockFolder();
  if (folder.empty()) return "";
  char resolved[PATH_MAX];
  const char* real = realpath(device, resolved) ? resolved : device;
  const char* slash = strrchr(real, '/');
  return folder + "/LCK.." + (slash ? slash + 1 : real);
}

// 0 when the file names no process.
pid_t readLockPid(int fd) {
  char text[32];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  if (n <= 0) return 0;
  text[n] = '\0';
  char* end = text;
  errno = 0;
  const long value = strtol(text, &end, 10);
  while (end < text + n && (*end == ' ' || *end == '\n')) ++end;
  if (end == text + n && errno == 0 && value > 0 && value <= INT_MAX) return (pid_t)value;
  int32_t binary = 0;  // old writers store the int itself
  if (n == 4) memcpy(&binary, text, 4);
  return binary > 0 ? (pid_t)binary : 0;
}

enum class Holder { None, Other, Self, Stale };

Holder whoHolds(const std::string& path, struct stat& seen) {
  if (lstat(path.c_str(), &seen) != 0) return Holder::None;
  // O_NONBLOCK: a FIFO planted under the name must not hang the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) return Holder::Other;  // another user's, who may well be running
  const pid_t pid = fd >= 0 ? readLockPid(fd) : 0;
  if (fd >= 0) ::close(fd);
  if (pid <= 0) return Holder::Stale;
  if (pid == getpid()) return Holder::Self;
  return (kill(pid, 0) == 0 || errno == EPERM) ? Holder::Other : Holder::Stale;
}

// Someone may have replaced the file since it was read; theirs stays.
bool removeIfUnchanged(const std::string& path, const struct stat& seen) {
  struct stat now;
  if (lstat(path.c_str(), &now) != 0 || now.st_dev != seen.st_dev || now.st_ino != seen.st_ino) return true;
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

UucpLockResult UucpLock::acquire(const char* device) {
  const std::string path = lockPathFor(device);
  if (path.empty()) return UucpLockResult::Ok;
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct stat seen;
    switch (whoHolds(path, seen)) {
      case Holder::Other: return UucpLockResult::HeldByOther;
      case Holder::Self: return UucpLockResult::Ok;  // not another program's, nor made by this port: left alone
      case Holder::Stale:
        if (removeIfUnchanged(path, seen)) break;
        // A folder we cannot write: no lock of ours either, go without. A
        // sticky one where the file is another user's: it stays, and so must we.
        return access(path.substr(0, path.rfind('/')).c_str(), W_OK) == 0 ? UucpLockResult::HeldByOther
                                                                           : UucpLockResult::Ok;
      case Holder::None: break;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;  // another program was quicker: look again
      return UucpLockResult::Ok;
    }
    char text[16];
    const int length = snprintf(text, sizeof text, "%10d\n", (int)getpid());
    fchmod(fd, 0644);  // the umask must not hide our PID from other users' programs
    if (::write(fd, text, (size_t)length) == length && fstat(fd, &owned_) == 0)
      path_ = path;
    else
      unlink(path.c_str());
    ::close(fd);
    return UucpLockResult::Ok;
  }
  return UucpLockResult::HeldByOther;  // another program keeps taking it
}

void UucpLock::release() {
  struct stat now;
  if (!path_.empty() && lstat(path_.c_str(), &now) == 0 && now.st_dev == owned_.st_dev &&
      now.st_ino == owned_.st_ino)
    unlink(path_.c_str());
  path_.clear();
}
