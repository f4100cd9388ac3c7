#include "link/connection.h"

#include <cstdio>

namespace {

std::string format(const char* pattern, const std::string& name) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, name.c_str());
  return text;
}

}  // namespace

Connection::Connection(std::unique_ptr<SerialPort> port, Output& out, WindowFields& fields)
    : port_(std::move(port)), out_(out), fields_(fields) {}

SerialOpenResult Connection::connect(const std::string& portName, int baudIndex) {
  if (port_->isOpen()) {
    closePort();
    serialConnected = 0;
    fields_.setStatusText("Serial not connected.");
  }
  if (portName.empty()) return SerialOpenResult::NoPortSelected;
  const int baud = baudIndex == 0 ? 2400 : 9600;
  const SerialOpenResult result = port_->open(portName.c_str(), baud);
  // A port that opened but could not be configured is not left half open.
  if (result != SerialOpenResult::Ok) {
    port_->close();
    return result;
  }
  serialConnected = 1;
  portName_ = portName;
  baud_ = baud;
  if (lowLatency_) port_->askLowLatency(true);
  if (watcher_) watcher_->portOpened(*port_);
  fields_.setStatusText(format(baud == 2400 ? "Connected to serial [%s] baudrate 2400"
                                            : "Connected to serial [%s] baudrate 9600",
                               portName));
  return SerialOpenResult::Ok;
}

void Connection::closePort() {
  if (watcher_ && port_->isOpen()) watcher_->portClosing(*port_);
  port_->close();
}

void Connection::keepLatencyLow(bool on) {
  lowLatency_ = on;
  if (port_->isOpen()) port_->askLowLatency(on);
}

void Connection::disconnect() {
  if (!serialConnected) return;
  serialConnected = 0;
  closePort();
  fields_.setStatusText("Serial not connected.");
}

void Connection::portLost() {
  serialConnected = 0;
  closePort();
  fields_.setStatusText("Serial not connected.");
  out_.outputText(format("Serial port %s lost.\n", portName_).c_str(), STYLE_SENT);
}

void Connection::writeFrame(const uint8_t* bytes, int length) {
  if (!serialConnected) return;
  port_->discardReceived();  // every frame goes out right after the receiver's reset
  // A port may take part of a frame per call; one that takes nothing more
  // within its own write bound has stopped, and the frame stays incomplete.
  int done = 0;
  while (done < length) {
    int taken = 0;
    if (port_->write(bytes + done, length - done, taken) == SerialIo::Gone) {
      portLost();
      return;
    }
    if (taken <= 0) break;
    done += taken;
  }
  if (done < length)
    out_.outputFormat(STYLE_SENT, "Serial write incomplete: %d of %d bytes sent.\n", done, length);
}

int Connection::readBlock(uint8_t* buffer, int capacity) {
  if (!serialConnected) return 0;
  int count = 0;
  if (port_->read(buffer, capacity, count) == SerialIo::Gone) {
    portLost();
    return 0;
  }
  return count;
}
