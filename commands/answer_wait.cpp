#include "commands/answer_wait.h"

#include "commands/link_requests.h"
#include "link/answer_reception.h"
#include "link/connection.h"

WaitOutcome awaitFlag(ToolContext& ctx, Awaited what, int budget) {
  const uint8_t& flag = what == Awaited::Ack ? ackReceived : answerReceived;
  for (int poll = 0; poll < budget; ++poll) {
    ctx.pump.pumpEvents();
    if (flag) return WaitOutcome::Raised;
    if (!ctx.link.connected()) return WaitOutcome::PortLost;
    if (ctx.progress && ctx.progress->cancelRequested()) return WaitOutcome::Cancelled;
  }
  return WaitOutcome::Expired;
}

WaitOutcome requestAndWait(ToolContext& ctx, LinkRequest request, int budget) {
  clearAnswerFlags();
  if (request == LinkRequest::SndNke) sendSndNke(ctx);
  else sendReqUd2(ctx);
  return awaitFlag(ctx, request == LinkRequest::SndNke ? Awaited::Ack : Awaited::Answer, budget);
}
