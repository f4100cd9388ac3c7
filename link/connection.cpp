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

std::string Connection::connect(const std::string& portName, int baudIndex) {
  if (port_->isOpen()) {
    port_->close();
    serialConnected = 0;
    fields_.setStatusText("Serial not connected.");
  }
  if (portName.empty()) return "Serial Error\nNo COM port selected.";
  const int baud = baudIndex == 0 ? 2400 : 9600;
  const SerialOpenResult result = port_->open(portName.c_str(), baud);
  // A port that opened but could not be configured is not left half open.
  if (result != SerialOpenResult::Ok) port_->close();
  switch (result) {
    case SerialOpenResult::Ok:
      break;
    case SerialOpenResult::NotFound:
      return format("Serial Error\nCOM port %s not found", portName);
    case SerialOpenResult::OpenFailed:
      return format("Serial Error\nError opening COM port %s", portName);
    case SerialOpenResult::GetParamsFailed:
      return "Serial Error\nError getting serial parameters.";
    case SerialOpenResult::SetParamsFailed:
      return "Serial Error\nError setting serial parameters.";
    case SerialOpenResult::SetTimeoutsFailed:
      return "Serial Error\nError setting timeouts.";
  }
  serialConnected = 1;
  portName_ = portName;
  fields_.setStatusText(format(baud == 2400 ? "Connected to serial [%s] baudrate 2400"
                                            : "Connected to serial [%s] baudrate 9600",
                               portName));
  return "";
}

void Connection::disconnect() {
  if (!serialConnected) return;
  serialConnected = 0;
  port_->close();
  fields_.setStatusText("Serial not connected.");
}

void Connection::portLost() {
  serialConnected = 0;
  port_->close();
  fields_.setStatusText("Serial not connected.");
  out_.outputText(format("Serial port %s lost.\n", portName_).c_str(), STYLE_SENT);
}

void Connection::writeFrame(const uint8_t* bytes, int length) {
  if (!serialConnected) return;
  if (port_->write(bytes, length) < 0) portLost();
}

int Connection::readBlock(uint8_t* buffer, int capacity) {
  if (!serialConnected) return 0;
  const int n = port_->read(buffer, capacity);
  if (n < 0) {
    portLost();
    return 0;
  }
  return n;
}
