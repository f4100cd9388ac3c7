// A CI 0x90 answer: identity and counter into the fields, then verified and
// decrypted in place and printed in clear.
#pragma once
#include "app/shell/tool_context.h"

void handleProtectedAnswer(ToolContext& ctx);
