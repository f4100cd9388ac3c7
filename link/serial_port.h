// A serial port as the tool needs it: open at 2400 or 9600 baud 8E1, read
// what has arrived without waiting, write a whole frame within a bound.
// One implementation per platform, chosen by the build.
#pragma once
#include <cstdint>
#include <memory>

enum class SerialOpenResult {
  Ok,
  NotFound,          // "Serial Error\nCOM port %s not found"
  OpenFailed,        // busy, no permission, ...: "Serial Error\nError opening COM port %s"
  GetParamsFailed,   // "Serial Error\nError getting serial parameters."
  SetParamsFailed,   // "Serial Error\nError setting serial parameters."
  SetTimeoutsFailed  // "Serial Error\nError setting timeouts."
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  virtual SerialOpenResult open(const char* path, int baud) = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  // Bytes read (0 when nothing has arrived), or -1 when the device is gone.
  virtual int read(uint8_t* buffer, int capacity) = 0;
  // Bytes written, or -1 when the device is gone.
  virtual int write(const uint8_t* bytes, int length) = 0;
};

std::unique_ptr<SerialPort> createSerialPort();
