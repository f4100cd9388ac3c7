// TCP through POSIX sockets.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "link/platform/tcp_socket.h"

namespace {

long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// One address: the socket once connected, else -1 and why.
int connectOne(const struct addrinfo* a, long deadline, TcpConnectResult& why) {
  const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
  if (fd < 0) return why = TcpConnectResult::Failed, -1;
  int error = 0;
  if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      struct pollfd p = {fd, POLLOUT, 0};
      const long left = deadline - nowMs();
      if (left <= 0 || poll(&p, 1, (int)left) <= 0) {
        ::close(fd);
        return why = TcpConnectResult::TimedOut, -1;
      }
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    }
  }
  if (error != 0) {
    ::close(fd);
    why = error == ECONNREFUSED ? TcpConnectResult::Refused
          : error == ETIMEDOUT  ? TcpConnectResult::TimedOut
                                : TcpConnectResult::Failed;
    return -1;
  }
  // Frames are small and every one waits for its answer: no coalescing.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

class PosixTcpSocket : public TcpSocket {
 public:
  ~PosixTcpSocket() override { close(); }

  TcpConnectResult connect(const std::string& host, const std::string& service, int timeoutMs) override {
    close();
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) return TcpConnectResult::HostNotFound;
    const long deadline = nowMs() + timeoutMs;
    TcpConnectResult why = TcpConnectResult::Failed;
    for (const struct addrinfo* a = list; a && fd_ < 0 && nowMs() < deadline; a = a->ai_next)
      fd_ = connectOne(a, deadline, why);
    freeaddrinfo(list);
    if (fd_ < 0 && nowMs() >= deadline) why = TcpConnectResult::TimedOut;
    return fd_ >= 0 ? TcpConnectResult::Ok : why;
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool isOpen() const override { return fd_ >= 0; }

  TcpIo receive(uint8_t* buffer, int capacity, int& count) override {
    count = 0;
    if (fd_ < 0) return TcpIo::Closed;
    const ssize_t n = recv(fd_, buffer, (size_t)capacity, 0);
    if (n > 0) count = (int)n;
    if (n == 0 && capacity > 0) return TcpIo::Closed;  // the far end closed
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return TcpIo::Closed;
    return TcpIo::Ok;
  }

  TcpIo send(const uint8_t* bytes, int length, int& count) override {
    count = 0;
    if (fd_ < 0) return TcpIo::Closed;
    const ssize_t n = ::send(fd_, bytes, (size_t)length, MSG_NOSIGNAL);
    if (n > 0) count = (int)n;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return TcpIo::Closed;
    return TcpIo::Ok;
  }

  bool waitReadable(int ms) override {
    struct pollfd p = {fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&p, 1, ms) > 0;
  }
  void waitWritable(int ms) override {
    struct pollfd p = {fd_, POLLOUT, 0};
    if (fd_ >= 0) poll(&p, 1, ms);
  }
  int bytesWaiting() override {
    int n = 0;
    return fd_ >= 0 && ioctl(fd_, FIONREAD, &n) == 0 && n > 0 ? n : 0;
  }
  intptr_t watchHandle() const override { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<TcpSocket> createTcpSocket() { return std::make_unique<PosixTcpSocket>(); }
