// Waiting for the dongle: the event pump runs (and with it the receive poll)
// until an answer flag rises, the port is lost, the user cancels, or the
// budget of polls runs out. A request sent and awaited is one step.
#pragma once
#include "link/tool_context.h"

enum class WaitOutcome { Raised, Expired, Cancelled, PortLost };
enum class Awaited { Ack, Answer };  // 0xE5, or a long answer to REQ_UD2

// Up to budget polls of ctx.pump; checks the flag after each one.
[[nodiscard]] WaitOutcome awaitFlag(ToolContext& ctx, Awaited what, int budget);

enum class LinkRequest { SndNke, ReqUd2 };
// Clears the answer flags, sends the request and awaits its acknowledgement
// (SND_NKE) or its answer (REQ_UD2).
[[nodiscard]] WaitOutcome requestAndWait(ToolContext& ctx, LinkRequest request, int budget);
