#include "app/fox_event_pump.h"

#include <fx.h>

#include <chrono>
#include <thread>

void FoxEventPump::runPending() {
  if (!app_) return;
  app_->forceRefresh();
  app_->flush(false);
  app_->runModalWhileEvents(modal_);
}

void FoxEventPump::pumpEvents() {
  runPending();
  pause(2);
}

void FoxEventPump::pause(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
