// SND_NKE and REQ_UD2, and the send step every sender shares.
#pragma once
#include "link/tool_context.h"

// The frame just built in linkBuffer: take it, reset the receiver, write it
// while connected, print the heading (style 1) and the dump.
void sendBuiltFrame(ToolContext& ctx, const char* heading);

void sendSndNke(ToolContext& ctx);  // status "SND_NKE sent."
// Status "REQ_UD2 sent." for the user's request; a firmware sequence's
// report request leaves the status line alone.
enum class StatusLine { Show, Keep };
void sendReqUd2(ToolContext& ctx, StatusLine status = StatusLine::Show);
