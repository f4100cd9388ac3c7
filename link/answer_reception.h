// One run of the receive poll: read what arrived, feed the receiver, print
// every result and hand each long answer, read-only, to the layer that
// applies it. The window's timer runs it every 200 ms.
#pragma once
#include <cstdint>
#include <functional>

#include "link/tool_context.h"

// Raised by the poll, cleared by clearAnswerFlags before a wait; written only here.
extern uint8_t answerReceived;  // a long frame with a right checksum came in
extern uint8_t ackReceived;     // an 0xE5 came in

// A complete long frame with a right checksum, between its dump and the reset.
using AnswerHandler = std::function<void(const uint8_t* frame, uint16_t length)>;

void pollAnswers(ToolContext& ctx, const AnswerHandler& handler);
void clearAnswerFlags();
