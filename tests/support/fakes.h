// Fakes of the tool's outside doors, so the protocol core runs headless, and
// helpers that print bytes as hex and open results by name on a mismatch.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "interfaces/output.h"
#include "interfaces/window_interfaces.h"
#include "link/serial_port.h"

class FakeConsole : public ConsoleView {
 public:
  void appendStyledText(const char* text, int length, int style) override {
    text_.append(text, (size_t)length);
    styles_.append((size_t)length, (char)('0' + style));
  }
  void scrollToEnd() override {}
  const std::string& text() const { return text_; }
  // The style of each character as a digit, line ends kept, so it diffs by line.
  std::string styles() const {
    std::string s = styles_;
    for (size_t i = 0; i < s.size(); ++i)
      if (text_[i] == '\n') s[i] = '\n';
    return s;
  }

 private:
  std::string text_, styles_;
};

class FakeFields : public WindowFields {
 public:
  std::string fieldText(Field field) const override { return texts_.at(field); }
  void setFieldText(Field field, const std::string& text) override { texts_[field] = text; }
  void setStatusText(const std::string& text) override { status = text; }
  std::string status;

 private:
  std::map<Field, std::string> texts_{{Field::Manufacturer, "BRV"}, {Field::IdNumber, "01020304"},
                                      {Field::Version, "40"},       {Field::DeviceType, "03"},
                                      {Field::Key, "5A17C3E90B4D62F8A1C07E3B9D2F4A68"},
                                      {Field::Counter, "00000001"}};
};

// An in-memory port: the test queues what the far end sends and sees what
// the tool wrote. `takePerWrite` makes the line take only that many bytes a call.
class FakeSerialPort : public SerialPort {
 public:
  SerialOpenResult open(const char*, int baud) override {
    // Configuring (NotSerial onwards) comes after opening: such a failure
    // leaves the port open.
    using R = SerialOpenResult;
    open_ = openResult != R::NotFound && openResult != R::OpenFailed && openResult != R::Busy &&
            openResult != R::NoPermission;
    openedBaud = baud;
    return openResult;
  }
  void close() override { open_ = false; }
  bool isOpen() const override { return open_; }
  SerialIo read(uint8_t* buffer, int capacity, int& count) override {
    count = 0;
    if (lost) return SerialIo::Gone;
    count = (int)std::min(incoming.size(), (size_t)capacity);
    std::copy_n(incoming.begin(), count, buffer);
    incoming.erase(incoming.begin(), incoming.begin() + count);
    return SerialIo::Ok;
  }
  SerialIo write(const uint8_t* bytes, int length, int& count) override {
    count = length < takePerWrite ? length : takePerWrite;
    if (lost) return SerialIo::Gone;
    written.insert(written.end(), bytes, bytes + count);
    if (onWrite && count) onWrite(bytes, count);
    return SerialIo::Ok;
  }
  int bytesWaiting() override { return open_ && !lost ? (int)incoming.size() : 0; }
  void discardReceived() override { discardedAt.push_back(written.size()); }
  void queue(const std::vector<uint8_t>& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }

  SerialOpenResult openResult = SerialOpenResult::Ok;
  std::deque<uint8_t> incoming;
  std::vector<uint8_t> written;
  std::vector<size_t> discardedAt;  // bytes written by then
  std::function<void(const uint8_t*, int)> onWrite;
  int takePerWrite = 1 << 20;
  bool lost = false;
  int openedBaud = 0;

 private:
  bool open_ = false;
};

inline void PrintTo(SerialOpenResult r, std::ostream* os) {
  static const char* const names[] = {"Ok", "NoPortSelected", "NotFound", "OpenFailed", "Busy", "NoPermission",
                                      "NotSerial", "GetParamsFailed", "SetParamsFailed", "SetTimeoutsFailed",
                                      "BadAddress", "HostNotFound", "ConnectRefused", "ConnectTimedOut",
                                      "SettingsRefused"};
  *os << names[(int)r];
}

inline std::string hex(const uint8_t* bytes, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {digits[bytes[i] >> 4], digits[bytes[i] & 15], ' '};
  return s;
}
inline std::string hex(const std::vector<uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }
// The other way: pairs of hex digits, blanks between them skipped ("0C 14", "0c14").
inline std::vector<uint8_t> fromHex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : text)
    if (c != ' ' && (digits += c).size() == 2) bytes.push_back((uint8_t)std::stoul(digits, nullptr, 16)), digits.clear();
  return bytes;
}

// A whole file, "" if there is none; text mode, so a log written on Windows
// reads with the line ends of the console.
inline std::string readText(const std::string& path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }
inline void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// A file the build made (programs, sample images).
inline std::string buildPath(const std::string& name) {
  const char* dir = std::getenv("MBUS_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/" + name;
}

// Corruption helpers for frames.
inline std::vector<uint8_t> withByte(std::vector<uint8_t> frame, size_t index, uint8_t value) {
  frame.at(index) = value;
  return frame;
}
inline std::vector<uint8_t> truncated(std::vector<uint8_t> frame, size_t length) {
  frame.resize(length);
  return frame;
}
