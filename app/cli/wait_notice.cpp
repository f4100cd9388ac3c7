#include "app/cli/wait_notice.h"

void WaitNotice::start(const char* protocol, unsigned totalBlocks) {
  step_.clear();
  inner_.start(protocol, totalBlocks);
}

void WaitNotice::update(const std::string& step, unsigned done) {
  step_ = step;
  since_ = now_();
  told_ = 0;
  inner_.update(step, done);
}

void WaitNotice::finish() {
  step_.clear();
  inner_.finish();
}

void WaitNotice::tick() {
  if (!out_ || step_.empty()) return;
  const int waited = (int)std::chrono::duration_cast<std::chrono::seconds>(now_() - since_).count();
  if (waited < told_ + EVERY_S) return;
  told_ = waited - waited % EVERY_S;
  std::fprintf(out_, "%s\n", waitingLine(step_, told_).c_str());
  std::fflush(out_);
}

std::string waitingLine(const std::string& step, int seconds) {
  return "waiting for the dongle's answer to " + step + " (" + std::to_string(seconds) + " s)";
}
