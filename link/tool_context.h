// Everything a command, the receive poll or a firmware sequence works
// through: output, the window's fields, the connection and the event pump.
#pragma once
#include "interfaces/output.h"
#include "interfaces/window_interfaces.h"

class Connection;

struct ToolContext {
  Output& out;
  WindowFields& fields;
  Connection& link;
  EventPump& pump;
  ProgressView* progress = nullptr;  // null when nobody watches
  bool decodeRecords = false;        // a console line per data record after each answer
};
