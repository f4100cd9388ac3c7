// A serial port behind a serial server: a TCP connection, raw or speaking
// RFC 2217, with the same contract as a local port. A dropped connection
// reads as a device gone.
#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "link/platform/tcp_socket.h"
#include "link/remote_port_name.h"
#include "link/rfc2217_session.h"
#include "link/serial_port.h"

namespace {

constexpr int CONNECT_TIMEOUT_MS = 5000;
constexpr int SETTINGS_TIMEOUT_MS = 5000;
constexpr long WRITE_CONSTANT_MS = 50;  // a local port's write bound
constexpr long WRITE_PER_BYTE_MS = 10;
constexpr int WAIT_SLICE_MS = 10;

long nowMs() {
  using namespace std::chrono;
  return (long)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

SerialOpenResult connectFailure(TcpConnectResult result) {
  switch (result) {
    case TcpConnectResult::HostNotFound: return SerialOpenResult::HostNotFound;
    case TcpConnectResult::Refused: return SerialOpenResult::ConnectRefused;
    case TcpConnectResult::TimedOut: return SerialOpenResult::ConnectTimedOut;
    default: return SerialOpenResult::OpenFailed;
  }
}

class RemoteSerialPort : public SerialPort {
 public:
  SerialOpenResult open(const char* path, int baud) override {
    close();
    RemoteAddress address;
    const PortNameKind kind = classifyPortName(path, address);
    if (kind != PortNameKind::Rfc2217 && kind != PortNameKind::RawTcp) return SerialOpenResult::BadAddress;
    if (baud != 2400 && baud != 9600) return SerialOpenResult::SetParamsFailed;
    const TcpConnectResult connected = socket_->connect(address.host, address.service, CONNECT_TIMEOUT_MS);
    if (connected != TcpConnectResult::Ok) return connectFailure(connected);
    telnet_ = kind == PortNameKind::Rfc2217;
    if (telnet_) {
      const SerialOpenResult agreed = agreeSettings(baud);
      if (agreed != SerialOpenResult::Ok) {
        close();
        return agreed;
      }
    }
    return SerialOpenResult::Ok;
  }

  void close() override {
    socket_->close();
    session_ = Rfc2217Session();
    received_.clear();
    unsent_.clear();
    closed_ = false;
  }

  bool isOpen() const override { return socket_->isOpen(); }
  intptr_t waitHandle() const override { return socket_->watchHandle(); }

  // A connection that has ended counts as a byte, so that a loop asking
  // for waiting bytes reads, and learns it, at once.
  int bytesWaiting() override {
    if (!socket_->isOpen()) return 0;
    const int n = (int)received_.size() + socket_->bytesWaiting();
    return n == 0 && socket_->waitReadable(0) ? 1 : n;
  }

  // What is already here is handed out before a closed connection is reported.
  SerialIo read(uint8_t* buffer, int capacity, int& count) override {
    count = 0;
    if (!socket_->isOpen()) return SerialIo::Gone;
    flushUnsent();
    if (!closed_ && pull() == TcpIo::Closed) closed_ = true;
    while (count < capacity && !received_.empty()) {
      buffer[count++] = received_.front();
      received_.pop_front();
    }
    return count == 0 && closed_ ? SerialIo::Gone : SerialIo::Ok;
  }

  // The frame is taken whole (escaped, when RFC 2217 is spoken) and sent
  // within the bound of a local port; what the socket has not taken by then
  // goes ahead of the next frame. A line still holding an earlier frame's
  // bytes takes nothing.
  SerialIo write(const uint8_t* bytes, int length, int& count) override {
    count = 0;
    if (!socket_->isOpen() || closed_) return SerialIo::Gone;
    if (!unsent_.empty() && flushUnsent() == TcpIo::Closed) return SerialIo::Gone;
    if (!unsent_.empty()) return SerialIo::Ok;
    if (telnet_)
      session_.encode(bytes, (size_t)length, unsent_);
    else
      unsent_.assign(bytes, bytes + length);
    count = length;
    const long deadline = nowMs() + WRITE_CONSTANT_MS + WRITE_PER_BYTE_MS * length;
    while (!unsent_.empty()) {
      if (flushUnsent() == TcpIo::Closed) return SerialIo::Gone;
      const long left = deadline - nowMs();
      if (unsent_.empty() || left <= 0) break;
      socket_->waitWritable(left < WAIT_SLICE_MS ? (int)left : WAIT_SLICE_MS);
    }
    return SerialIo::Ok;
  }

  void discardReceived() override {
    if (!telnet_ || !socket_->isOpen()) return;
    session_.purgeReceived(unsent_);
    flushUnsent();
  }

 private:
  // Until the server has confirmed every setting, or refused one.
  SerialOpenResult agreeSettings(int baud) {
    std::vector<uint8_t> send;
    session_.start(baud, send);
    unsent_ = send;
    const long deadline = nowMs() + SETTINGS_TIMEOUT_MS;
    while (session_.state() == ComPortState::Negotiating) {
      if (flushUnsent() == TcpIo::Closed || pull() == TcpIo::Closed) return SerialOpenResult::OpenFailed;
      const long left = deadline - nowMs();
      if (left <= 0) return SerialOpenResult::SettingsRefused;
      if (session_.state() == ComPortState::Negotiating)
        socket_->waitReadable(left < WAIT_SLICE_MS ? (int)left : WAIT_SLICE_MS);
    }
    received_.clear();  // whatever the line carried before it was set up
    return session_.state() == ComPortState::Ready ? SerialOpenResult::Ok : SerialOpenResult::SettingsRefused;
  }

  // Everything the socket holds now, through the telnet layer when spoken.
  TcpIo pull() {
    uint8_t chunk[1024];
    for (;;) {
      int n = 0;
      if (socket_->receive(chunk, (int)sizeof chunk, n) == TcpIo::Closed) return TcpIo::Closed;
      if (n == 0) return TcpIo::Ok;
      if (telnet_) {
        std::vector<uint8_t> data, answer;
        session_.receive(chunk, (size_t)n, data, answer);
        received_.insert(received_.end(), data.begin(), data.end());
        unsent_.insert(unsent_.end(), answer.begin(), answer.end());
      } else {
        received_.insert(received_.end(), chunk, chunk + n);
      }
    }
  }

  TcpIo flushUnsent() {
    while (!unsent_.empty()) {
      int n = 0;
      if (socket_->send(unsent_.data(), (int)unsent_.size(), n) == TcpIo::Closed) return TcpIo::Closed;
      if (n == 0) break;
      unsent_.erase(unsent_.begin(), unsent_.begin() + n);
    }
    return TcpIo::Ok;
  }

  std::unique_ptr<TcpSocket> socket_ = createTcpSocket();
  Rfc2217Session session_;
  bool telnet_ = false;
  bool closed_ = false;
  std::deque<uint8_t> received_;
  std::vector<uint8_t> unsent_;
};

// The machine's port or a serial server's, chosen by the name opened.
class PortByName : public SerialPort {
 public:
  SerialOpenResult open(const char* path, int baud) override {
    close();
    RemoteAddress unused;
    active_ = classifyPortName(path, unused) == PortNameKind::Local ? local_.get() : remote_.get();
    return active_->open(path, baud);
  }
  void close() override { active_->close(); }
  bool isOpen() const override { return active_->isOpen(); }
  SerialIo read(uint8_t* buffer, int capacity, int& count) override { return active_->read(buffer, capacity, count); }
  SerialIo write(const uint8_t* bytes, int length, int& count) override { return active_->write(bytes, length, count); }
  intptr_t waitHandle() const override { return active_->waitHandle(); }
  int bytesWaiting() override { return active_->bytesWaiting(); }
  void askLowLatency(bool on) override { active_->askLowLatency(on); }
  void discardReceived() override { active_->discardReceived(); }

 private:
  std::unique_ptr<SerialPort> local_ = createLocalSerialPort();
  std::unique_ptr<SerialPort> remote_ = createRemoteSerialPort();
  SerialPort* active_ = local_.get();
};

}  // namespace

std::unique_ptr<SerialPort> createRemoteSerialPort() { return std::make_unique<RemoteSerialPort>(); }
std::unique_ptr<SerialPort> createSerialPort() { return std::make_unique<PortByName>(); }
