// The option flags of the Settings menu that choose and shape an update.
#pragma once
#include <cstdint>

// One byte each; written only by setUpdateOption.
extern uint8_t encryptionOn;       // starts 1
extern uint8_t useSimpleProtocol;  // starts 0
extern uint8_t doubleBlock42;      // starts 0
extern uint8_t skipBlock15;        // starts 0
// Answers are read the moment they arrive (the front watches the port), so
// a sequence goes on at once, after the line's minimum pause. Starts 0.
extern uint8_t fastAnswers;

enum class UpdateOption { Encryption, SimpleProtocol, DoubleBlock42, SkipBlock15, FastAnswers };
void setUpdateOption(UpdateOption option, bool on);
bool updateOption(UpdateOption option);
// Every flag back to its start value.
void resetUpdateOptions();
