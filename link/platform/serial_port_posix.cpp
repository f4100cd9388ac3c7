// The serial port on POSIX systems, through termios: raw 8E1 without flow
// control, non-blocking reads, writes bounded like the line's write time-out.
// A port held by another program (flock, TIOCEXCL or a UUCP lock file) is
// refused.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "link/platform/line_settings_posix.h"
#include "link/serial_port.h"

namespace {

constexpr long DEVPTS_MAGIC = 0x1cd1;
constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136;  // Unix98 pty slaves: majors 136 to 143
constexpr unsigned PTY_SLAVE_MAJOR_LAST = 143;
constexpr long WRITE_CONSTANT_MS = 50;
constexpr long WRITE_PER_BYTE_MS = 10;
constexpr long POLL_SLICE_MS = 10;

// The pty driver keeps no line settings: it drops PARENB silently, and a
// repeated identical tcsetattr then fails with EINVAL. Such a port is
// accepted as configured.
bool isPseudoTerminal(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
    const unsigned maj = major(st.st_rdev);
    if (maj >= PTY_SLAVE_MAJOR_FIRST && maj <= PTY_SLAVE_MAJOR_LAST) return true;
  }
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 && (long)fs.f_type == DEVPTS_MAGIC;
}

long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Another program holding the tty in exclusive mode does not stop root from
// opening it, so ask the tty itself.
bool heldExclusively(int fd) {
  int exclusive = 0;
  return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// minicom, picocom and many vendor tools take no flock: their only mark on
// the port is a lock file named after it.
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

class UucpLock {
 public:
  // False when a live program other than us holds the lock.
  bool acquire(const char* device) {
    const std::string path = lockPathFor(device);
    if (path.empty()) return true;
    for (int attempt = 0; attempt < 3; ++attempt) {
      struct stat seen;
      switch (whoHolds(path, seen)) {
        case Holder::Other: return false;
        case Holder::Self: return true;  // not another program's, nor made by this port: left alone
        case Holder::Stale:
          if (!removeIfUnchanged(path, seen)) return true;  // folder not writable: go without
          break;
        case Holder::None: break;
      }
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0) {
        if (errno == EEXIST) continue;  // another program was quicker: look again
        return true;
      }
      char text[16];
      const int length = snprintf(text, sizeof text, "%10d\n", (int)getpid());
      fchmod(fd, 0644);  // the umask must not hide our PID from other users' programs
      if (::write(fd, text, (size_t)length) == length && fstat(fd, &owned_) == 0)
        path_ = path;
      else
        unlink(path.c_str());
      ::close(fd);
      return true;
    }
    return false;  // another program keeps taking it
  }

  void release() {
    struct stat now;
    if (!path_.empty() && lstat(path_.c_str(), &now) == 0 && now.st_dev == owned_.st_dev &&
        now.st_ino == owned_.st_ino)
      unlink(path_.c_str());
    path_.clear();
  }

 private:
  std::string path_;
  struct stat owned_ {};
};

SerialOpenResult configure(int fd, int baud) {
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) return SerialOpenResult::GetParamsFailed;
  if (!makeLineSettings(baud, tio)) return SerialOpenResult::SetParamsFailed;
  const speed_t speed = cfgetospeed(&tio);

  const bool pty = isPseudoTerminal(fd);
  if (tcsetattr(fd, TCSANOW, &tio) != 0 && !pty) return SerialOpenResult::SetParamsFailed;
  if (pty) return SerialOpenResult::Ok;

  // Some drivers adjust what they cannot do without saying so.
  struct termios back;
  if (tcgetattr(fd, &back) != 0) return SerialOpenResult::GetParamsFailed;
  const tcflag_t format = back.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
  if (cfgetospeed(&back) != speed || format != (CS8 | PARENB) || (back.c_iflag & (IXON | IXOFF)))
    return SerialOpenResult::SetParamsFailed;
  if (back.c_cc[VMIN] != 0 || back.c_cc[VTIME] != 0) return SerialOpenResult::SetTimeoutsFailed;
  return SerialOpenResult::Ok;
}

class PosixSerialPort : public SerialPort {
 public:
  ~PosixSerialPort() override { close(); }

  SerialOpenResult open(const char* path, int baud) override {
    close();
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
      return (errno == ENOENT || errno == ENOTDIR) ? SerialOpenResult::NotFound : SerialOpenResult::OpenFailed;
    // flock also refuses a second open file description within this process.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || heldExclusively(fd) || !lock_.acquire(path)) {
      ::close(fd);
      return SerialOpenResult::OpenFailed;
    }
    ioctl(fd, TIOCEXCL);  // fails on a non-tty, which tcgetattr reports next
    const SerialOpenResult result = configure(fd, baud);
    if (result != SerialOpenResult::Ok) {
      release(fd);
      lock_.release();
      return result;
    }
    fd_ = fd;
    return SerialOpenResult::Ok;
  }

  void close() override {
    if (fd_ < 0) return;
    release(fd_);
    lock_.release();  // after the device, so whoever sees no lock can open it
    fd_ = -1;
  }

  bool isOpen() const override { return fd_ >= 0; }
  long waitHandle() const override { return fd_; }

  // With VMIN=0 a read after a hang-up returns 0 like an idle line, so poll
  // first: POLLHUP/POLLERR mean the device is gone (adapter unplugged, far
  // end of a pty closed). Data still queued is returned before that.
  SerialIo read(uint8_t* buffer, int capacity, int& count) override {
    count = 0;
    if (fd_ < 0) return SerialIo::Gone;
    if (capacity <= 0) return SerialIo::Ok;
    struct pollfd p = {fd_, POLLIN, 0};
    const int ready = poll(&p, 1, 0);
    if (ready < 0) return errno == EINTR ? SerialIo::Ok : SerialIo::Gone;
    if (ready == 0) return SerialIo::Ok;
    if (p.revents & POLLNVAL) return SerialIo::Gone;
    const bool hungUp = (p.revents & (POLLHUP | POLLERR)) != 0;
    if (p.revents & POLLIN) {
      const ssize_t n = ::read(fd_, buffer, (size_t)capacity);
      if (n > 0) {
        count = (int)n;
        return SerialIo::Ok;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return SerialIo::Gone;
    }
    return hungUp ? SerialIo::Gone : SerialIo::Ok;
  }

  // The whole frame, or as much as the line took within 50 ms + 10 ms a byte.
  SerialIo write(const uint8_t* bytes, int length, int& count) override {
    count = 0;
    if (fd_ < 0) return SerialIo::Gone;
    const long deadline = nowMs() + WRITE_CONSTANT_MS + WRITE_PER_BYTE_MS * length;
    while (count < length) {
      const ssize_t n = ::write(fd_, bytes + count, (size_t)(length - count));
      if (n > 0) {
        count += (int)n;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return SerialIo::Gone;
      const long left = deadline - nowMs();
      if (left <= 0) break;
      // Short waits: not every driver wakes a writer when room frees up.
      struct pollfd p = {fd_, POLLOUT, 0};
      const int wait = (int)(left < POLL_SLICE_MS ? left : POLL_SLICE_MS);
      if (poll(&p, 1, wait) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return SerialIo::Gone;
    }
    return SerialIo::Ok;
  }

 private:
  // Clears our exclusive mode too: it belongs to the tty, not to this fd,
  // and would outlive us while anyone else keeps the tty open.
  static void release(int fd) {
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
  }

  int fd_ = -1;
  UucpLock lock_;
};

}  // namespace

bool makeLineSettings(int baud, struct termios& tio) {
  speed_t speed;
  switch (baud) {
    case 2400: speed = B2400; break;
    case 9600: speed = B9600; break;
    default: return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(tcflag_t)(CSIZE | PARODD | CSTOPB | CRTSCTS | CMSPAR);
  tio.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
  // Bytes with a parity error are passed on; the frame checksum judges them.
  tio.c_iflag &= ~(tcflag_t)(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return true;
}

std::unique_ptr<SerialPort> createSerialPort() { return std::make_unique<PosixSerialPort>(); }
