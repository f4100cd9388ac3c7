// Fakes of the tool's outside doors, so the protocol core runs headless.
#pragma once
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/shell/output.h"
#include "app/shell/tool_context.h"
#include "link/connection.h"
#include "link/serial_port.h"

// Console text with the style of every appended piece.
class FakeConsole : public ConsoleView {
 public:
  void appendStyledText(const char* text, int length, int style) override {
    text_.append(text, (size_t)length);
    pieces_.push_back({std::string(text, (size_t)length), style});
  }
  void scrollToEnd() override { ++scrolls_; }
  const std::string& text() const { return text_; }
  struct Piece {
    std::string text;
    int style;
  };
  const std::vector<Piece>& pieces() const { return pieces_; }
  int scrolls() const { return scrolls_; }
  void clear() { text_.clear(); pieces_.clear(); }

 private:
  std::string text_;
  std::vector<Piece> pieces_;
  int scrolls_ = 0;
};

class FakeFields : public WindowFields {
 public:
  FakeFields() {
    texts_[Field::Manufacturer] = "BRV";
    texts_[Field::IdNumber] = "01020304";
    texts_[Field::Version] = "40";
    texts_[Field::DeviceType] = "03";
    texts_[Field::Key] = "5A17C3E90B4D62F8A1C07E3B9D2F4A68";
    texts_[Field::Counter] = "00000001";
  }
  std::string fieldText(Field field) const override { return texts_.at(field); }
  void setFieldText(Field field, const std::string& text) override { texts_[field] = text; }
  void setStatusText(const std::string& text) override { status = text; }
  std::string status;

 private:
  std::map<Field, std::string> texts_;
};

// An in-memory port: the test queues what the far end sends and reads back
// what the tool wrote. `readLimit` splits arrivals into several reads.
class FakeSerialPort : public SerialPort {
 public:
  SerialOpenResult open(const char* path, int baud) override {
    if (openResult == SerialOpenResult::Ok) {
      open_ = true;
      openedPath = path;
      openedBaud = baud;
    }
    return openResult;
  }
  void close() override { open_ = false; }
  bool isOpen() const override { return open_; }
  int read(uint8_t* buffer, int capacity) override {
    if (lost) return -1;
    int n = 0;
    while (n < capacity && n < readLimit && !incoming.empty()) {
      buffer[n++] = incoming.front();
      incoming.pop_front();
    }
    return n;
  }
  int write(const uint8_t* bytes, int length) override {
    if (lost) return -1;
    written.insert(written.end(), bytes, bytes + length);
    if (onWrite) onWrite(bytes, length);
    return length;
  }
  void queue(const std::vector<uint8_t>& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }

  SerialOpenResult openResult = SerialOpenResult::Ok;
  std::deque<uint8_t> incoming;
  std::vector<uint8_t> written;
  std::function<void(const uint8_t*, int)> onWrite;
  int readLimit = 256;
  bool lost = false;
  std::string openedPath;
  int openedBaud = 0;

 private:
  bool open_ = false;
};

// Counts polls; each poll may run a hook (a dongle model, the receive poll).
class CountingPump : public EventPump {
 public:
  void runPending() override { ++pendingRuns; if (onPoll) onPoll(); }
  void pumpEvents() override { ++polls; if (onPoll) onPoll(); }
  void pause(int ms) override { pausedMs += ms; }
  std::function<void()> onPoll;
  long polls = 0;
  long pendingRuns = 0;
  long pausedMs = 0;
};

// Everything a core test needs, wired together; the log goes to a temp file.
struct Harness {
  FakeConsole console;
  Output out{&console};
  FakeFields fields;
  FakeSerialPort* port;  // owned by link
  Connection link;
  CountingPump pump;
  ToolContext ctx;

  Harness()
      : port(new FakeSerialPort),
        link(std::unique_ptr<SerialPort>(port), out, fields),
        ctx{out, fields, link, pump, nullptr} {}
  // Connects the fake port (it opens unless the test set openResult).
  void connect() { link.connect("/dev/ttyFAKE0", 1); }
};

// Corruption helpers for frames.
inline std::vector<uint8_t> withByte(std::vector<uint8_t> frame, size_t index, uint8_t value) {
  frame.at(index) = value;
  return frame;
}
inline std::vector<uint8_t> withoutByte(std::vector<uint8_t> frame, size_t index) {
  frame.erase(frame.begin() + (long)index);
  return frame;
}

inline std::string hex(const uint8_t* bytes, size_t n) {
  std::string s;
  char item[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(item, sizeof item, "%02X ", bytes[i]);
    s += item;
  }
  return s;
}
inline std::string hex(const std::vector<uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }

// The console text of a byte dump: "0x%02X " per byte, 16 a line, one line end after the last.
inline std::string consoleDump(const uint8_t* bytes, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "0x" + hex(bytes + i, 1) + (i % 16 == 15 ? "\n" : "");
  return s + "\n";
}
inline std::string consoleDump(const std::vector<uint8_t>& bytes) { return consoleDump(bytes.data(), bytes.size()); }

// A long frame built independently of the tool's builder (for answers).
inline std::vector<uint8_t> longFrame(uint8_t control, uint8_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> f{0x68, (uint8_t)(data.size() + 2), (uint8_t)(data.size() + 2), 0x68, control, address};
  f.reserve(data.size() + 8);
  for (uint8_t b : data) f.push_back(b);
  uint8_t cs = 0;
  for (size_t i = 4; i < f.size(); ++i) cs = (uint8_t)(cs + f[i]);
  f.push_back(cs);
  f.push_back(0x16);
  return f;
}
