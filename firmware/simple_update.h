// The simple unencrypted update: 192-byte chunks written to consecutive
// addresses from 0x4800, then the upgrade signature and start commands.
#pragma once
#include "firmware/update_outcome.h"
#include "link/tool_context.h"

constexpr uint32_t SIMPLE_START_ADDRESS = 0x4800;
constexpr uint8_t SIMPLE_CHUNK_SIZE = 192;

[[nodiscard]] UpdateOutcome runSimpleUpdate(ToolContext& ctx);
