// One run of the receive poll: read what arrived, feed the receiver, print
// and take in every result. The window's timer calls it every 200 ms.
#pragma once
#include <cstdint>

#include "app/shell/tool_context.h"

extern uint8_t answerReceived;  // a long frame with a right checksum came in
extern uint8_t ackReceived;     // an 0xE5 came in

void pollAnswers(ToolContext& ctx);
uint16_t findCounterRecord(const uint8_t* frame, uint16_t length);
// An 8-byte identity header (id least significant byte first, manufacturer,
// version, device type) into the window's identification fields.
void showMeterHeader(ToolContext& ctx, const uint8_t* header);
// Three letters and a NUL, or nothing written when the top bit is set.
void decodeManufacturer(uint16_t code, char* text);
