// The update command: refresh the stores from the fields, then run the
// protocol the options choose. Sequences wait only through ctx.pump.
#pragma once
#include "app/shell/tool_context.h"

enum class UpdateResult { Finished, NoFirmware, Cancelled, NoAnswer, PortLost };

UpdateResult runFirmwareUpdate(ToolContext& ctx);
