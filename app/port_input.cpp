#include "app/port_input.h"

// clang-format off
FXDEFMAP(PortInput) PortInputMap[] = {
  FXMAPFUNC(SEL_TIMEOUT, PortInput::ID_TICK, PortInput::onTick),
};
// clang-format on

FXIMPLEMENT(PortInput, FXObject, PortInputMap, ARRAYNUMBER(PortInputMap))

void PortInput::setEnabled(bool on, SerialPort* port) {
  enabled_ = on;
  if (!on) stop();
  else if (port) portOpened(*port);
}

void PortInput::portOpened(SerialPort& port) {
  if (!enabled_ || !app_) return;
  stop();
  port_ = &port;
  const intptr_t handle = port.waitHandle();
  if (handle >= 0 && app_->addInput((FXInputHandle)handle, INPUT_READ, target_, selector_)) handle_ = handle;
  else app_->addTimeout(this, ID_TICK, TICK_MS);
}

// Before the handle closes: a closed descriptor left in the loop's set
// would wake it for ever.
void PortInput::portClosing(SerialPort& port) {
  if (&port == port_) stop();
}

long PortInput::onTick(FXObject*, FXSelector, void*) {
  if (!port_) return 1;
  // Re-armed first: the target's poll may close the port, which stops us.
  app_->addTimeout(this, ID_TICK, TICK_MS);
  if (port_->bytesWaiting() > 0 && target_) target_->handle(this, FXSEL(SEL_IO_READ, selector_), nullptr);
  return 1;
}

void PortInput::stop() {
  if (app_) {
    if (handle_ >= 0) app_->removeInput((FXInputHandle)handle_, INPUT_READ);
    app_->removeTimeout(this, ID_TICK);
  }
  handle_ = -1;
  port_ = nullptr;
}
