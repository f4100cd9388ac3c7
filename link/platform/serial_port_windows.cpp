// The serial port on Windows, through the Win32 comm API: 8E1 without flow
// control, reads that return at once, writes bounded by the write time-outs.
// Windows itself refuses a port another program holds (no sharing).
#include <windows.h>

#include <cstring>
#include <string>

#include "link/serial_port.h"

namespace {

constexpr DWORD kWriteConstantMs = 50;  // the bound of the POSIX port
constexpr DWORD kWritePerByteMs = 10;

// The plain name reaches COM1 to COM9 only.
std::string devicePath(const char* path) {
  if (std::strncmp(path, "\\\\", 2) == 0) return path;
  return std::string("\\\\.\\") + path;
}

bool lineSettings(int baud, DCB& dcb) {
  if (baud != 2400 && baud != 9600) return false;
  dcb.BaudRate = (DWORD)baud;
  dcb.ByteSize = 8;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  // Bytes with a parity error are passed on; the frame checksum judges them.
  dcb.fParity = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  // Otherwise one line error stalls every read until ClearCommError.
  dcb.fAbortOnError = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  // Level converters powered from the control lines need them up.
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  return true;
}

SerialOpenResult configure(HANDLE h, int baud) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return SerialOpenResult::GetParamsFailed;
  if (!lineSettings(baud, dcb) || !SetCommState(h, &dcb)) return SerialOpenResult::SetParamsFailed;

  // Some drivers adjust what they cannot do without saying so. A
  // pseudo-terminal behind wine reads back no parity: accepted.
  DCB back;
  std::memset(&back, 0, sizeof back);
  back.DCBlength = sizeof back;
  if (!GetCommState(h, &back)) return SerialOpenResult::GetParamsFailed;
  if (back.BaudRate != dcb.BaudRate || back.ByteSize != 8 || back.StopBits != ONESTOPBIT ||
      (back.Parity != EVENPARITY && back.Parity != NOPARITY) || back.fOutX || back.fInX)
    return SerialOpenResult::SetParamsFailed;

  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = MAXDWORD;  // with both totals 0: return what is there
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = kWritePerByteMs;
  timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
  if (!SetCommTimeouts(h, &timeouts)) return SerialOpenResult::SetTimeoutsFailed;
  return SerialOpenResult::Ok;
}

// COM ports open without sharing: one another program holds is refused
// with ACCESS_DENIED or SHARING_VIOLATION.
SerialOpenResult openFailure(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return SerialOpenResult::NotFound;
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return SerialOpenResult::Busy;
  return SerialOpenResult::OpenFailed;
}

class WindowsSerialPort : public SerialPort {
 public:
  ~WindowsSerialPort() override { close(); }

  SerialOpenResult open(const char* path, int baud) override {
    close();
    const HANDLE h = CreateFileA(devicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                 OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return openFailure(GetLastError());
    const SerialOpenResult result = configure(h, baud);
    if (result != SerialOpenResult::Ok) {
      CloseHandle(h);
      return result;
    }
    handle_ = h;
    return SerialOpenResult::Ok;
  }

  void close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  // ClearCommError fails once the adapter is unplugged, and clears a line
  // error that would otherwise hold up the reads.
  SerialIo read(uint8_t* buffer, int capacity, int& count) override {
    count = 0;
    if (handle_ == INVALID_HANDLE_VALUE) return SerialIo::Gone;
    if (capacity <= 0) return SerialIo::Ok;
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(handle_, &errors, &status)) return SerialIo::Gone;
    DWORD n = 0;
    if (!ReadFile(handle_, buffer, (DWORD)capacity, &n, NULL)) return SerialIo::Gone;
    count = (int)n;
    return SerialIo::Ok;
  }

  int bytesWaiting() override {
    DWORD errors = 0;
    COMSTAT status;
    if (handle_ == INVALID_HANDLE_VALUE || !ClearCommError(handle_, &errors, &status)) return 0;
    return (int)status.cbInQue;
  }

  // The write time-outs end a write the line does not take: a short count.
  SerialIo write(const uint8_t* bytes, int length, int& count) override {
    count = 0;
    if (handle_ == INVALID_HANDLE_VALUE) return SerialIo::Gone;
    if (length <= 0) return SerialIo::Ok;
    DWORD n = 0;
    const BOOL ok = WriteFile(handle_, bytes, (DWORD)length, &n, NULL);
    count = (int)n;
    return ok ? SerialIo::Ok : SerialIo::Gone;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<SerialPort> createLocalSerialPort() { return std::make_unique<WindowsSerialPort>(); }
