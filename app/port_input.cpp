#include "app/port_input.h"

#include <fx.h>

void PortInput::setEnabled(bool on, long handle) {
  enabled_ = on;
  if (!on) stop();
  else if (handle >= 0) portOpened(handle);
}

void PortInput::portOpened(long handle) {
  if (!enabled_ || handle < 0 || !app_) return;
  stop();
  if (app_->addInput((FXInputHandle)handle, INPUT_READ, target_, selector_)) watched_ = handle;
}

// Before the handle closes: a closed descriptor left in the loop's set
// would wake it for ever.
void PortInput::portClosing(long handle) {
  if (handle == watched_) stop();
}

void PortInput::stop() {
  if (watched_ >= 0 && app_) app_->removeInput((FXInputHandle)watched_, INPUT_READ);
  watched_ = -1;
}
