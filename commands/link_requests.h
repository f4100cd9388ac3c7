// SND_NKE and REQ_UD2, and the send step every sender shares.
#pragma once
#include "app/shell/tool_context.h"

constexpr uint8_t LINK_ADDRESS = 0xFB;
constexpr uint8_t C_SND_NKE = 0x40;
constexpr uint8_t C_REQ_UD2 = 0x5B;
constexpr uint8_t C_SND_UD = 0x53;

// The frame just built in linkBuffer: take it, reset the receiver, write it
// while connected, print the heading (style 1) and the dump.
void sendBuiltFrame(ToolContext& ctx, const char* heading);

void sendSndNke(ToolContext& ctx);  // status "SND_NKE sent."
void sendReqUd2(ToolContext& ctx);  // status "REQ_UD2 sent."
