// The two block protocols: numbered 128-byte blocks framed by status, start,
// validate, block-status and activate commands, reports fetched with REQ_UD2,
// and a running CRC-32 printed for every block. The encrypted one sends every
// telegram protected by security mode 7 and has the test options that skip
// block 15 or send the block before 42 twice.
#pragma once
#include "firmware/update_outcome.h"
#include "link/tool_context.h"

unsigned blockTotal();  // blocks in the image, the last one possibly short

[[nodiscard]] UpdateOutcome runBlockUpdate(ToolContext& ctx);
[[nodiscard]] UpdateOutcome runEncryptedUpdate(ToolContext& ctx);
