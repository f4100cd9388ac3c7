// The machinery every firmware protocol shares: a protocol is a table of
// steps (a command with its heading, a REQ_UD2 report, the data phase, a
// pause); the runner sends each step until its acknowledgement or answer
// comes, repeats an unanswered one up to a bound, and ends the sequence with
// one closing line on cancel, silence or a lost port.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "commands/answer_wait.h"
#include "firmware/update_outcome.h"
#include "link/tool_context.h"

// Polls per wait.
constexpr int CHUNK_ACK_BUDGET = 1000;            // simple chunks and plain blocks
constexpr int ENCRYPTED_BLOCK_ACK_BUDGET = 4000;  // encrypted blocks
constexpr int ANSWER_BUDGET = 11000;              // commands and REQ_UD2

// Sends of one step without an answer before the sequence gives up. At 2 ms a
// poll each rides out a few lost telegrams and ends a dead link in two minutes
// at most: 5 x 11000 polls >= 110 s, 10 x 1000 >= 20 s, 5 x 4000 >= 40 s.
constexpr int COMMAND_SEND_LIMIT = 5;
constexpr int CHUNK_SEND_LIMIT = 10;
constexpr int ENCRYPTED_BLOCK_SEND_LIMIT = 5;

// One run of a firmware sequence, on a connected port. Begins with the start
// line (style 3) and the progress view; the progress view is closed when the
// object goes away.
class UpdateSequence {
 public:
  UpdateSequence(ToolContext& ctx, const char* protocol, unsigned totalBlocks, const char* startLine);
  ~UpdateSequence();
  UpdateSequence(const UpdateSequence&) = delete;
  UpdateSequence& operator=(const UpdateSequence&) = delete;

  // awaitFlag, then with fast answers the line's minimum pause after a raised flag.
  [[nodiscard]] WaitOutcome await(Awaited what, int budget);
  // Clears the answer flags, then sends (sendStep builds anew and sends) and
  // waits until the awaited flag rises. False when the sequence has stopped.
  [[nodiscard]] bool sendUntilAnswered(const std::function<void()>& sendStep, Awaited what, int budget, int sendLimit,
                         const std::string& step);
  // Ends the sequence for a wait that did not raise its flag (an expired one
  // means the send limit was reached); false unless the outcome is Raised.
  [[nodiscard]] bool stop(WaitOutcome outcome, const std::string& step);
  // Ends a sequence whose every step was answered with its closing line.
  void complete(const char* line, ConsoleStyle style);
  // Tells the progress view which step runs; `done` counts finished blocks.
  void showStep(const std::string& step);

  ToolContext& ctx;
  unsigned done = 0;
  // With the counter as it stands now.
  UpdateOutcome outcome() const;

 private:
  void end(UpdateResult result, const std::string& step, std::string line);
  UpdateOutcome outcome_;
};

enum class StepKind { Command, Report, Data, Pause };

struct Step {
  StepKind kind;
  uint8_t command;      // Command
  const char* heading;  // Command: the console line before the frame
  const char* name;     // the step as the progress view and the closing lines name it
};

struct Protocol {
  const char* name;       // in the progress view
  const char* startLine;
  const Step* steps;
  size_t stepCount;
  unsigned (*units)();    // blocks or chunks in the image
  void (*sendCommand)(ToolContext& ctx, uint8_t command, const char* heading);
  bool (*dataPhase)(UpdateSequence& seq);
  void (*lastStepAnswered)(ToolContext& ctx);  // null when nothing moves on
  const char* closingLine;  // after the last step was answered
  ConsoleStyle closingStyle;
};

[[nodiscard]] UpdateOutcome runProtocol(ToolContext& ctx, const Protocol& protocol);
// A REQ_UD2 sent until its answer comes.
[[nodiscard]] bool exchangeReport(UpdateSequence& seq, const std::string& step);
// "block N of M", counting from 1.
std::string blockLabel(const char* unit, uint32_t index, uint32_t total);
