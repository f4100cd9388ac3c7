// One run of the receive poll: read what arrived, feed the receiver, print
// every result and hand each long answer to the layer that applies it. The
// window's timer runs it every 200 ms.
#pragma once
#include <cstdint>

#include "link/telegram.h"
#include "link/tool_context.h"

// Raised by the poll, cleared by clearAnswerFlags before a wait; written only here.
extern uint8_t answerReceived;  // a long frame with a right checksum came in
extern uint8_t ackReceived;     // an 0xE5 came in

using AnswerHandler = void (*)(ToolContext& ctx, const Answer& answer);

void pollAnswers(ToolContext& ctx, AnswerHandler handler);
void clearAnswerFlags();
