// The EventPump of the window: lets the FOX loop serve pending events
// (above all the receive timer) while a firmware sequence waits, with input
// refused to every window but the one modal window set (the update's
// progress dialog, whose Cancel must work), so no second command can start.
#pragma once
#include "interfaces/window_interfaces.h"

namespace FX {
class FXApp;
class FXWindow;
}  // namespace FX

class FoxEventPump : public EventPump {
 public:
  explicit FoxEventPump(FX::FXApp* app) : app_(app) {}
  void runPending() override;    // forceRefresh, flush without sync, runModalWhileEvents(modal window)
  void pumpEvents() override;    // runPending, then sleep 2 ms
  void pause(int ms) override;   // sleep; nothing runs meanwhile
  void setModalWindow(FX::FXWindow* window) { modal_ = window; }  // null: no window takes input

 private:
  FX::FXApp* app_;
  FX::FXWindow* modal_ = nullptr;
};
