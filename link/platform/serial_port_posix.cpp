// The serial port on POSIX systems, through termios: raw 8E1 without flow
// control, non-blocking reads, writes bounded like the line's write time-out.
// A port held by another program (flock, TIOCEXCL or a UUCP lock file) is
// refused as busy.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "link/platform/line_settings_posix.h"
#include "link/platform/low_latency_posix.h"
#include "link/platform/uucp_lock_posix.h"
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

SerialOpenResult configure(int fd, int baud) {
  struct termios tio;
  if (tcgetattr(fd, &tio) != 0) return openFailure(OpenStep::GetParams, errno);
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
    if (fd < 0) return openFailure(OpenStep::Open, errno);
    // flock also refuses a second open file description within this process.
    SerialOpenResult held = SerialOpenResult::Ok;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
      held = openFailure(OpenStep::Flock, errno);
    else if (heldExclusively(fd) || lock_.acquire(path) == UucpLockResult::HeldByOther)
      held = SerialOpenResult::Busy;
    if (held != SerialOpenResult::Ok) {
      ::close(fd);
      return held;
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
    latency_.restoreLatency(fd_);
    release(fd_);
    lock_.release();  // after the device, so whoever sees no lock can open it
    fd_ = -1;
  }

  bool isOpen() const override { return fd_ >= 0; }
  intptr_t waitHandle() const override { return fd_; }
  int bytesWaiting() override {
    int n = 0;
    return fd_ >= 0 && ioctl(fd_, FIONREAD, &n) == 0 && n > 0 ? n : 0;
  }
  void askLowLatency(bool on) override { latency_.applyLowLatency(fd_, on); }

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
  DriverLatency latency_;
};

}  // namespace

SerialOpenResult openFailure(OpenStep step, int error) {
  switch (step) {
    case OpenStep::Open:
      if (error == ENOENT || error == ENOTDIR) return SerialOpenResult::NotFound;
      if (error == EACCES || error == EPERM) return SerialOpenResult::NoPermission;
      return error == EBUSY ? SerialOpenResult::Busy : SerialOpenResult::OpenFailed;  // EBUSY: another's TIOCEXCL
    case OpenStep::Flock: return error == EWOULDBLOCK ? SerialOpenResult::Busy : SerialOpenResult::OpenFailed;
    case OpenStep::GetParams:
      return (error == ENOTTY || error == EINVAL) ? SerialOpenResult::NotSerial : SerialOpenResult::GetParamsFailed;
  }
  return SerialOpenResult::OpenFailed;
}

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

std::unique_ptr<SerialPort> createLocalSerialPort() { return std::make_unique<PosixSerialPort>(); }
