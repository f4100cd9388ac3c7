// The identity, key and counter stores that telegrams are built from, and
// their reading from the window's text fields.
#pragma once
#include <cstdint>

#include "app/shell/tool_context.h"

extern uint8_t meterAddress[8];      // manufacturer LE, id LSB first, version, device type
extern uint8_t meterIdBytes[4];      // identification number, least significant byte first
extern uint8_t communicationKey[16];
extern uint32_t invocationCounter;
extern uint8_t accessNumber;         // +1 for every firmware telegram

// Pairs of hex digits to bytes, at most capacity bytes written; returns the count written.
int32_t parseHex(const char* text, uint8_t* out, int capacity);
int32_t encodeManufacturer(const char* text);
void readIdentityFields(const WindowFields& fields);
