#include "firmware/update_wait.h"

#include "link/connection.h"

UpdateSequence::UpdateSequence(ToolContext& context, const char* protocol, unsigned totalBlocks,
                               const char* startLine)
    : ctx(context), wasConnected_(context.link.connected()) {
  ctx.pump.runPending();
  ctx.out.outputText(startLine, STYLE_PROGRESS);
  if (ctx.progress) ctx.progress->start(protocol, totalBlocks);
}

UpdateSequence::~UpdateSequence() {
  if (ctx.progress) ctx.progress->finish();
}

WaitOutcome UpdateSequence::awaitFlag(const uint8_t& flag, int budget) {
  for (int poll = 0; poll < budget; ++poll) {
    ctx.pump.pumpEvents();
    if (flag) return WaitOutcome::Raised;
    if (wasConnected_ && !ctx.link.connected()) return WaitOutcome::PortLost;
    if (ctx.progress && ctx.progress->cancelRequested()) return WaitOutcome::Cancelled;
  }
  return flag ? WaitOutcome::Raised : WaitOutcome::Expired;
}

bool UpdateSequence::sendUntilAnswered(const std::function<void()>& sendStep, uint8_t& flag, int budget,
                                       int sendLimit, const std::string& step) {
  showStep(step);
  flag = 0;
  for (int sends = 1;; ++sends) {
    sendStep();
    const WaitOutcome outcome = awaitFlag(flag, budget);
    if (outcome == WaitOutcome::Raised) return true;
    if (outcome != WaitOutcome::Expired || sends >= sendLimit) return stop(outcome, step);
  }
}

bool UpdateSequence::stop(WaitOutcome outcome, const std::string& step) {
  switch (outcome) {
    case WaitOutcome::Raised:
      return true;
    case WaitOutcome::Expired:
      result_ = UpdateResult::NoAnswer;
      ctx.out.outputFormat(STYLE_PROGRESS, "No answer from the dongle at %s; update stopped.\n", step.c_str());
      break;
    case WaitOutcome::Cancelled:
      result_ = UpdateResult::Cancelled;
      ctx.out.outputFormat(STYLE_PROGRESS, "Firmware update cancelled at %s.\n", step.c_str());
      break;
    case WaitOutcome::PortLost:
      result_ = UpdateResult::PortLost;  // the connection has said so already
      break;
  }
  return false;
}

void UpdateSequence::showStep(const std::string& step) {
  if (ctx.progress) ctx.progress->update(step, done);
}

std::string blockLabel(const char* unit, uint32_t index, uint32_t total) {
  return std::string(unit) + " " + std::to_string(index + 1) + " of " + std::to_string(total);
}
