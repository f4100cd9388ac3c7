// A TCP connection as a remote serial port needs it: connect within a bound,
// Nagle off, non-blocking sends and receives. One file per platform.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

enum class TcpConnectResult { Ok, HostNotFound, Refused, TimedOut, Failed };
enum class TcpIo { Ok, Closed };

class TcpSocket {
 public:
  virtual ~TcpSocket() = default;
  // Tries every address the host resolves to until one answers or timeoutMs runs out.
  [[nodiscard]] virtual TcpConnectResult connect(const std::string& host, const std::string& service,
                                                 int timeoutMs) = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  // count: bytes received, 0 when none has come; Closed once the far end has gone.
  virtual TcpIo receive(uint8_t* buffer, int capacity, int& count) = 0;
  // count: bytes the socket took without waiting.
  virtual TcpIo send(const uint8_t* bytes, int length, int& count) = 0;
  // Waits up to ms for bytes to receive (true) or room to send.
  virtual bool waitReadable(int ms) = 0;
  virtual void waitWritable(int ms) = 0;
  virtual int bytesWaiting() = 0;
  // What an event loop can watch; -1 where it cannot (Windows: the 2 ms tick asks).
  virtual intptr_t watchHandle() const = 0;
};

std::unique_ptr<TcpSocket> createTcpSocket();
