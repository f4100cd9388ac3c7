// Fast answers in the window: the event loop learns that bytes have arrived
// and sends the target its selector (SEL_IO_READ) at once, so the receive
// poll runs then instead of at the next timer. A port with a wait handle
// (a descriptor) is watched by the loop itself; one without (a Windows COM
// port) is asked for its waiting bytes at every short tick. Off, nothing is
// watched.
#pragma once
#include <fx.h>

#include <cstdint>

#include "link/connection.h"

class PortInput : public FX::FXObject, public PortWatcher {
  FXDECLARE(PortInput)

 public:
  enum { ID_TICK = 1 };
  static constexpr unsigned TICK_MS = 2;  // as often as a waiting sequence pumps

  PortInput(FX::FXApp* app, FX::FXObject* target, FX::FXSelector selector)
      : app_(app), target_(target), selector_(selector) {}
  ~PortInput() override { stop(); }

  // port: the open one, or null when none is open.
  void setEnabled(bool on, SerialPort* port);
  void portOpened(SerialPort& port) override;
  void portClosing(SerialPort& port) override;
  long onTick(FX::FXObject*, FX::FXSelector, void*);

 protected:
  PortInput() = default;

 private:
  void stop();
  FX::FXApp* app_ = nullptr;
  FX::FXObject* target_ = nullptr;
  FX::FXSelector selector_ = 0;
  bool enabled_ = false;
  SerialPort* port_ = nullptr;  // the port watched, by handle or by tick
  intptr_t handle_ = -1;        // >= 0: watched by the loop
};
