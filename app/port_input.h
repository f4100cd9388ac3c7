// Fast answers in the window: the event loop watches the open port and sends
// the window a message the moment bytes arrive, so the receive poll runs then
// instead of at the next timer. Off, nothing is watched.
#pragma once
#include "link/connection.h"

namespace FX {
class FXApp;
class FXObject;
}  // namespace FX

class PortInput : public PortWatcher {
 public:
  PortInput(FX::FXApp* app, FX::FXObject* target, unsigned selector)
      : app_(app), target_(target), selector_(selector) {}
  ~PortInput() override { stop(); }

  // handle: the open port's, or -1 when none is open.
  void setEnabled(bool on, long handle);
  void portOpened(long handle) override;
  void portClosing(long handle) override;

 private:
  void stop();
  FX::FXApp* app_;
  FX::FXObject* target_;
  unsigned selector_;
  bool enabled_ = false;
  long watched_ = -1;
};
