// The identity, key and counter stores that telegrams are built from, their
// reading from the window's text fields, and every change made to them.
#pragma once
#include <cstdint>
#include <string>

#include "interfaces/window_interfaces.h"

// Written only by the functions below.
extern uint8_t meterAddress[8];      // manufacturer LE, id LSB first, version, device type
extern uint8_t meterIdBytes[4];      // identification number, least significant byte first
extern uint8_t communicationKey[16];
extern uint32_t invocationCounter;
extern uint8_t accessNumber;         // +1 for every firmware telegram

// Pairs of hex digits to bytes, at most capacity bytes written; returns the count written.
int32_t parseHex(const char* text, uint8_t* out, int capacity);
int32_t encodeManufacturer(const char* text);
void readIdentityFields(const WindowFields& fields);
// Every store zero, as at program start.
void resetIdentityStores();
// The access number for the next firmware telegram.
uint8_t nextAccessNumber();

// The counter as the answers move it; the front shows it from the answer.
void counterFromAnswer(uint32_t messageCounter);  // the answer's counter + 1
void counterWithoutRecord();                      // + 4
// As the encrypted update moves it, each time shown in the counter field ("%08X").
void counterAfterActivate(WindowFields& fields);  // + 1
void showInvocationCounter(WindowFields& fields);
// The counter field's text for a counter: "%08X".
[[nodiscard]] std::string counterText(uint32_t counter);
