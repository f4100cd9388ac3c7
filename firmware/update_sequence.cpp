#include "firmware/update_sequence.h"

#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "firmware/update_options.h"
#include "link/answer_reception.h"
#include "link/connection.h"

namespace {

constexpr int VALIDATION_PAUSE_MS = 1000;  // the dongle checks the image; nothing runs meanwhile

// The line rests at least 11 bit times between an answer and the next
// telegram; the slow receive poll leaves far more, a fast answer may not.
int minimumPauseMs(int baud) { return baud > 0 ? (11 * 1000 + baud - 1) / baud : 0; }

}  // namespace

UpdateSequence::UpdateSequence(ToolContext& context, const char* protocol, unsigned totalBlocks,
                               const char* startLine)
    : ctx(context) {
  ctx.out.outputText(startLine, STYLE_PROGRESS);
  if (ctx.progress) ctx.progress->start(protocol, totalBlocks);
}

UpdateSequence::~UpdateSequence() {
  if (ctx.progress) ctx.progress->finish();
}

WaitOutcome UpdateSequence::await(Awaited what, int budget) {
  const WaitOutcome outcome = awaitFlag(ctx, what, budget);
  if (outcome == WaitOutcome::Raised && fastAnswers) ctx.pump.pause(minimumPauseMs(ctx.link.baud()));
  return outcome;
}

bool UpdateSequence::sendUntilAnswered(const std::function<void()>& sendStep, Awaited what, int budget,
                                       int sendLimit, const std::string& step) {
  showStep(step);
  clearAnswerFlags();
  for (int sends = 1;; ++sends) {
    sendStep();
    const WaitOutcome outcome = await(what, budget);
    if (outcome == WaitOutcome::Raised) return true;
    if (outcome != WaitOutcome::Expired || sends >= sendLimit) return stop(outcome, step);
  }
}

bool UpdateSequence::stop(WaitOutcome outcome, const std::string& step) {
  switch (outcome) {
    case WaitOutcome::Raised:
      return true;
    case WaitOutcome::Expired:
      end(UpdateResult::NoAnswer, step, "No answer from the dongle at " + step + "; update stopped.");
      ctx.out.outputFormat(STYLE_PROGRESS, "%s\n", outcome_.line.c_str());
      break;
    case WaitOutcome::Cancelled:
      end(UpdateResult::Cancelled, step, "Firmware update cancelled at " + step + ".");
      ctx.out.outputFormat(STYLE_PROGRESS, "%s\n", outcome_.line.c_str());
      break;
    case WaitOutcome::PortLost:  // the connection has said so already
      end(UpdateResult::PortLost, step, "Serial port " + ctx.link.portName() + " lost.");
      break;
  }
  return false;
}

void UpdateSequence::complete(const char* line, ConsoleStyle style) {
  std::string text = line;
  ctx.out.outputText(text.c_str(), style);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  end(UpdateResult::Finished, "", text);
}

void UpdateSequence::end(UpdateResult result, const std::string& step, std::string line) {
  outcome_.result = result;
  outcome_.step = step;
  outcome_.line = std::move(line);
}

UpdateOutcome UpdateSequence::outcome() const {
  UpdateOutcome outcome = outcome_;
  outcome.counter = invocationCounter;
  return outcome;
}

void UpdateSequence::showStep(const std::string& step) {
  if (ctx.progress) ctx.progress->update(step, done);
}

bool exchangeReport(UpdateSequence& seq, const std::string& step) {
  return seq.sendUntilAnswered([&] { sendReqUd2(seq.ctx, StatusLine::Keep); }, Awaited::Answer, ANSWER_BUDGET,
                               COMMAND_SEND_LIMIT, step);
}

UpdateOutcome runProtocol(ToolContext& ctx, const Protocol& protocol) {
  UpdateSequence seq(ctx, protocol.name, protocol.units(), protocol.startLine);
  for (size_t i = 0; i < protocol.stepCount; ++i) {
    const Step& step = protocol.steps[i];
    bool answered = true;
    switch (step.kind) {
      case StepKind::Command:
        answered = seq.sendUntilAnswered([&] { protocol.sendCommand(ctx, step.command, step.heading); },
                                         Awaited::Ack, ANSWER_BUDGET, COMMAND_SEND_LIMIT, step.name);
        break;
      case StepKind::Report:
        answered = exchangeReport(seq, step.name);
        break;
      case StepKind::Data:
        answered = protocol.dataPhase(seq);
        break;
      case StepKind::Pause:
        ctx.pump.pause(VALIDATION_PAUSE_MS);
        break;
    }
    if (!answered) return seq.outcome();
  }
  if (protocol.lastStepAnswered) protocol.lastStepAnswered(ctx);
  seq.complete(protocol.closingLine, protocol.closingStyle);
  return seq.outcome();
}

std::string blockLabel(const char* unit, uint32_t index, uint32_t total) {
  return std::string(unit) + " " + std::to_string(index + 1) + " of " + std::to_string(total);
}
