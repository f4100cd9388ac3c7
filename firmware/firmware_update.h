// The update command: refresh the stores from the fields, then run the
// protocol the options choose. Without an image or an open port nothing is
// sent. Sequences wait only through ctx.pump.
#pragma once
#include "firmware/update_options.h"
#include "firmware/update_outcome.h"
#include "link/tool_context.h"

[[nodiscard]] UpdateOutcome runFirmwareUpdate(ToolContext& ctx);

// Every store of the core back to its state at program start: link buffer
// and receiver, answer flags, identity stores, chaining value, image and
// options. For a fresh run in the same process (tests).
void resetCoreState();
