// The update command: refresh the stores from the fields, then run the
// protocol the options choose. Without an image or an open port nothing is
// sent. Sequences wait only through ctx.pump.
#pragma once
#include <cstdint>

#include "link/tool_context.h"

// Option flags of the Settings menu, one byte each; written only by setUpdateOption.
extern uint8_t encryptionOn;       // starts 1
extern uint8_t useSimpleProtocol;  // starts 0
extern uint8_t doubleBlock42;      // starts 0
extern uint8_t skipBlock15;        // starts 0
// Answers are read the moment they arrive (the window watches the port), so
// a sequence goes on at once, after the line's minimum pause. Starts 0.
extern uint8_t fastAnswers;

enum class UpdateOption { Encryption, SimpleProtocol, DoubleBlock42, SkipBlock15, FastAnswers };
void setUpdateOption(UpdateOption option, bool on);
bool updateOption(UpdateOption option);

enum class UpdateResult { Finished, NoFirmware, Cancelled, NoAnswer, PortLost, NotConnected };

UpdateResult runFirmwareUpdate(ToolContext& ctx);

// Every store of the core back to its state at program start: link buffer
// and receiver, answer flags, identity stores, chaining value, image and
// options. For a fresh run in the same process (tests).
void resetCoreState();
