// What the tool takes from a meter's long answer: its identity into the
// fields, its message counter into the counter store, and for a protected
// answer (CI 0x90) the verification and decryption, printed in clear.
#pragma once
#include "link/telegram.h"
#include "link/tool_context.h"

void applyAnswer(ToolContext& ctx, const Answer& answer);
// One run of the receive poll with the answers applied.
void receiveAnswers(ToolContext& ctx);
