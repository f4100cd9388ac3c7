// What the tool takes from a meter's long answer: its identity into the
// fields, its message counter into the counter store, and for a protected
// answer (CI 0x90) the verification and decryption, printed in clear.
#pragma once
#include <cstdint>

#include "link/telegram.h"
#include "link/tool_context.h"

// What the last long answer said, as values, for a front that shows no
// fields (ctx.answer). Filled as the fields are.
struct AnswerValues {
  enum class Decrypt { NotProtected, Ok, Error };
  bool answered = false;
  bool identified = false;    // the answer carried an identity
  char manufacturer[4] = "";  // "" when its code has no letters
  uint32_t idNumber = 0;      // as shown, most significant digit first
  uint8_t version = 0;
  uint8_t deviceType = 0;
  uint32_t counter = 0;       // the invocation counter the answer left
  Decrypt decrypt = Decrypt::NotProtected;
};

void applyAnswer(ToolContext& ctx, const Answer& answer);
// One run of the receive poll with the answers applied.
void receiveAnswers(ToolContext& ctx);
