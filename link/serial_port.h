// A serial port as the tool needs it: open at 2400 or 9600 baud 8E1, read
// what has arrived without waiting, write a whole frame within a bound.
// One implementation per platform, chosen by the build.
#pragma once
#include <cstdint>
#include <memory>

enum class SerialOpenResult {
  Ok,
  NoPortSelected,    // the port list is empty
  NotFound,
  OpenFailed,        // any other refusal
  Busy,              // another program holds the port
  NoPermission,      // the user may not open the device
  NotSerial,         // opened, but not a serial device (a plain file, /dev/null)
  GetParamsFailed,
  SetParamsFailed,
  SetTimeoutsFailed,
  // A serial server named rfc2217://HOST:PORT or socket://HOST:PORT:
  BadAddress,        // not HOST:PORT
  HostNotFound,      // the name does not resolve
  ConnectRefused,    // nothing listens there
  ConnectTimedOut,   // no answer within 5 s
  SettingsRefused    // RFC 2217 or the line settings refused, or not confirmed within 5 s
};

enum class SerialIo { Ok, Gone };  // Gone: the device went away (unplugged, far end closed)

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  [[nodiscard]] virtual SerialOpenResult open(const char* path, int baud) = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  // count: bytes read, 0 when nothing has arrived.
  virtual SerialIo read(uint8_t* buffer, int capacity, int& count) = 0;
  // count: bytes the line took before the write bound ran out.
  virtual SerialIo write(const uint8_t* bytes, int length, int& count) = 0;
  // What an event loop can wait on for arriving bytes; -1 when there is none.
  virtual intptr_t waitHandle() const { return -1; }
  // Bytes received and not yet read; 0 when none, unknown or not open. Cheap
  // enough to ask every few milliseconds.
  virtual int bytesWaiting() = 0;
  // Bytes handed over the moment they arrive (a USB adapter otherwise holds
  // them up to its latency timer); the port's own setting comes back on off
  // and on close. Nothing where the driver has no such setting.
  virtual void askLowLatency(bool on) { (void)on; }
  // The receiver was reset for a new frame: a serial server may drop what
  // its line received and has not passed on yet.
  virtual void discardReceived() {}
};

// Picks the port by name at every open: a serial server for rfc2217:// and
// socket:// names, the machine's port otherwise.
std::unique_ptr<SerialPort> createSerialPort();
std::unique_ptr<SerialPort> createLocalSerialPort();  // one file per platform
std::unique_ptr<SerialPort> createRemoteSerialPort();
