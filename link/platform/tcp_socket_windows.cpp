// TCP through Winsock (ws2_32, a system DLL).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "link/platform/tcp_socket.h"

namespace {

bool winsockReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

// select's time-out; false when it ran out.
bool waitFor(SOCKET s, bool write, int ms) {
  fd_set set, failed;
  FD_ZERO(&set);
  FD_ZERO(&failed);
  FD_SET(s, &set);
  FD_SET(s, &failed);
  struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
  return select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &tv) > 0;
}

SOCKET connectOne(const struct addrinfo* a, DWORD deadline, TcpConnectResult& why) {
  SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
  if (s == INVALID_SOCKET) return why = TcpConnectResult::Failed, INVALID_SOCKET;
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  int error = 0;
  if (::connect(s, a->ai_addr, (int)a->ai_addrlen) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      const long left = (long)(deadline - GetTickCount());
      if (left <= 0 || !waitFor(s, true, (int)left)) {
        closesocket(s);
        return why = TcpConnectResult::TimedOut, INVALID_SOCKET;
      }
      int size = sizeof error;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, (char*)&error, &size) != 0) error = WSAGetLastError();
    }
  }
  if (error != 0) {
    closesocket(s);
    why = error == WSAECONNREFUSED ? TcpConnectResult::Refused
          : error == WSAETIMEDOUT  ? TcpConnectResult::TimedOut
                                   : TcpConnectResult::Failed;
    return INVALID_SOCKET;
  }
  const BOOL one = TRUE;  // frames are small and every one waits for its answer
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one);
  return s;
}

class WindowsTcpSocket : public TcpSocket {
 public:
  ~WindowsTcpSocket() override { close(); }

  TcpConnectResult connect(const std::string& host, const std::string& service, int timeoutMs) override {
    close();
    if (!winsockReady()) return TcpConnectResult::Failed;
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) return TcpConnectResult::HostNotFound;
    const DWORD deadline = GetTickCount() + (DWORD)timeoutMs;
    TcpConnectResult why = TcpConnectResult::Failed;
    for (const struct addrinfo* a = list; a && s_ == INVALID_SOCKET && (long)(deadline - GetTickCount()) > 0;
         a = a->ai_next)
      s_ = connectOne(a, deadline, why);
    freeaddrinfo(list);
    if (s_ == INVALID_SOCKET && (long)(deadline - GetTickCount()) <= 0) why = TcpConnectResult::TimedOut;
    return s_ != INVALID_SOCKET ? TcpConnectResult::Ok : why;
  }

  void close() override {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = INVALID_SOCKET;
  }
  bool isOpen() const override { return s_ != INVALID_SOCKET; }

  TcpIo receive(uint8_t* buffer, int capacity, int& count) override {
    count = 0;
    if (s_ == INVALID_SOCKET) return TcpIo::Closed;
    const int n = recv(s_, (char*)buffer, capacity, 0);
    if (n > 0) count = n;
    if (n == 0 && capacity > 0) return TcpIo::Closed;
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return TcpIo::Closed;
    return TcpIo::Ok;
  }

  TcpIo send(const uint8_t* bytes, int length, int& count) override {
    count = 0;
    if (s_ == INVALID_SOCKET) return TcpIo::Closed;
    const int n = ::send(s_, (const char*)bytes, length, 0);
    if (n > 0) count = n;
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return TcpIo::Closed;
    return TcpIo::Ok;
  }

  bool waitReadable(int ms) override { return s_ != INVALID_SOCKET && waitFor(s_, false, ms); }
  void waitWritable(int ms) override {
    if (s_ != INVALID_SOCKET) waitFor(s_, true, ms);
  }
  int bytesWaiting() override {
    u_long n = 0;
    return s_ != INVALID_SOCKET && ioctlsocket(s_, FIONREAD, &n) == 0 ? (int)n : 0;
  }
  intptr_t watchHandle() const override { return -1; }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

}  // namespace

std::unique_ptr<TcpSocket> createTcpSocket() { return std::make_unique<WindowsTcpSocket>(); }
