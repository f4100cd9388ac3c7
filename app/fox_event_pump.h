// The EventPump of the real window: lets the FOX loop serve pending events
// (above all the receive timer) while a firmware sequence waits, with input
// to every window refused so no second command can start meanwhile.
#pragma once
#include "interfaces/window_interfaces.h"

namespace FX {
class FXApp;
}

class FoxEventPump : public EventPump {
 public:
  explicit FoxEventPump(FX::FXApp* app) : app_(app) {}
  void runPending() override;    // forceRefresh, flush without sync, runModalWhileEvents(NULL)
  void pumpEvents() override;    // runPending, then sleep 2 ms
  void pause(int ms) override;   // sleep; nothing runs meanwhile

 private:
  FX::FXApp* app_;
};
