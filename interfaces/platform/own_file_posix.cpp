#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "interfaces/own_file.h"

namespace {

OwnFileResult openFailure(int error) {
  switch (error) {
    case ENOENT: return OwnFileResult::Missing;
    case ELOOP: return OwnFileResult::Symlink;  // O_NOFOLLOW on a link
    case ENXIO: return OwnFileResult::NotRegular;  // a FIFO nobody reads, a device without its driver
    case EISDIR: return OwnFileResult::NotRegular;
    default: return OwnFileResult::Failed;
  }
}

// O_NONBLOCK only so that the open itself cannot hang; the file is a regular one after this.
OwnFileResult checkOwned(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return OwnFileResult::Failed;
  if (!S_ISREG(info.st_mode)) return OwnFileResult::NotRegular;
  if (info.st_uid != geteuid()) return OwnFileResult::NotOwned;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return OwnFileResult::Failed;
  return OwnFileResult::Opened;
}

OwnFileResult finish(int fd, OwnFileResult result, const char* mode, FILE** file) {
  if (result == OwnFileResult::Opened) {
    *file = fdopen(fd, mode);
    if (*file) return result;
    result = OwnFileResult::Failed;
  }
  ::close(fd);
  return result;
}

}  // namespace

OwnFileResult openOwnFileForWriting(const char* path, WriteMode mode, FILE** file) {
  // Never O_TRUNC here: a file still held by another run must keep its text.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                                  (mode == WriteMode::Append ? O_APPEND : 0), 0600);
  if (fd < 0) return openFailure(errno);
  OwnFileResult result = checkOwned(fd);
  if (result == OwnFileResult::Opened && flock(fd, LOCK_EX | LOCK_NB) != 0)
    result = errno == EWOULDBLOCK ? OwnFileResult::InUse : OwnFileResult::Failed;
  // It holds the communication key: one left by an earlier umask is narrowed.
  if (result == OwnFileResult::Opened && fchmod(fd, 0600) != 0) result = OwnFileResult::NotPrivate;
  if (result == OwnFileResult::Opened && mode == WriteMode::Empty && ftruncate(fd, 0) != 0)
    result = OwnFileResult::Failed;
  return finish(fd, result, mode == WriteMode::Append ? "a" : "w", file);
}

OwnFileResult openOwnFileForReading(const char* path, FILE** file) {
  const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return openFailure(errno);
  return finish(fd, checkOwned(fd), "r", file);
}
