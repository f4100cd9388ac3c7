// The doors through which the protocol core reaches the window: its text
// fields and status line, the event loop it waits through, and the progress
// view of an update. The main window implements them with FOX; the tests and
// other front ends with their own.
#pragma once
#include <string>

enum class Field { Manufacturer, IdNumber, Version, DeviceType, Key, Counter };

class WindowFields {
 public:
  virtual ~WindowFields() = default;
  virtual std::string fieldText(Field field) const = 0;
  virtual void setFieldText(Field field, const std::string& text) = 0;  // no notification
  virtual void setStatusText(const std::string& text) = 0;             // status line, not logged
};

// What a firmware sequence calls while it waits for the receive poll.
class EventPump {
 public:
  virtual ~EventPump() = default;
  virtual void runPending() = 0;   // refresh, flush, run pending events; no sleep
  virtual void pumpEvents() = 0;   // runPending, then sleep 2 ms
  virtual void pause(int ms) = 0;  // block; nothing runs meanwhile
};

// Progress of a firmware sequence and the user's wish to stop it.
class ProgressView {
 public:
  virtual ~ProgressView() = default;
  virtual void start(const char* protocol, unsigned totalBlocks) = 0;
  virtual void update(const std::string& step, unsigned done) = 0;
  virtual bool cancelRequested() = 0;
  virtual void finish() = 0;
};
