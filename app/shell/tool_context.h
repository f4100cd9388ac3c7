// The few doors through which the protocol core reaches the outside world.
// The main window implements them with FOX; tests implement them with fakes,
// so every request, poll and firmware sequence runs headless.
#pragma once
#include <cstdint>
#include <string>

#include "app/shell/output.h"

class Connection;  // link/connection.h

// Option flags of the Settings menu, one byte each.
extern uint8_t encryptionOn;       // starts 1
extern uint8_t useSimpleProtocol;  // starts 0
extern uint8_t doubleBlock42;      // starts 0
extern uint8_t skipBlock15;        // starts 0

enum class Field { Manufacturer, IdNumber, Version, DeviceType, Key, Counter };

// The window's text fields and status line.
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

struct ToolContext {
  Output& out;
  WindowFields& fields;
  Connection& link;
  EventPump& pump;
  ProgressView* progress = nullptr;  // null when nobody watches
};
