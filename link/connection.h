// Connect and Disconnect, and the port every sender and the receive poll use.
// A port that goes away while connected is closed and reported once.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "interfaces/output.h"
#include "interfaces/window_interfaces.h"
#include "link/serial_port.h"

// Told when the port opens and right before it closes, so an event loop can
// watch it for arriving bytes and stop before the handle goes away.
class PortWatcher {
 public:
  virtual ~PortWatcher() = default;
  virtual void portOpened(SerialPort& port) = 0;
  virtual void portClosing(SerialPort& port) = 0;
};

class Connection {
 public:
  Connection(std::unique_ptr<SerialPort> port, Output& out, WindowFields& fields);
  void setWatcher(PortWatcher* watcher) { watcher_ = watcher; }

  // Closes an open port first. An empty portName (no port in the list) is
  // refused with NoPortSelected.
  [[nodiscard]] SerialOpenResult connect(const std::string& portName, int baudIndex);
  void disconnect();
  // Low latency asked of the driver while on (fast answers): now, and at
  // every connect.
  void keepLatencyLow(bool on);

  bool connected() const { return serialConnected != 0; }
  int baud() const { return baud_; }  // of the open port
  const std::string& portName() const { return portName_; }  // of the last port opened
  // Writes the whole frame while connected, in as many writes as the port
  // needs; a frame the line stops taking gets one console line, a lost
  // device disconnects.
  void writeFrame(const uint8_t* bytes, int length);
  // Up to capacity bytes; 0 when none or not connected; a lost device disconnects.
  int readBlock(uint8_t* buffer, int capacity);

  SerialPort& serialHandle() { return *port_; }

 private:
  void portLost();
  void closePort();
  std::unique_ptr<SerialPort> port_;
  Output& out_;
  WindowFields& fields_;
  std::string portName_;
  PortWatcher* watcher_ = nullptr;
  int baud_ = 0;
  int serialConnected = 0;
  bool lowLatency_ = false;
};
