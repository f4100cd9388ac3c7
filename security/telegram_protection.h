// Security mode 7 telegrams: verify and decrypt answers from the meter,
// encrypt and authenticate telegrams to it. Traces go to the log only.
#pragma once
#include <cstdint>

bool telegramDecrypt(uint8_t* app, uint32_t length, const uint8_t meterId[4], const uint8_t key[16]);
bool telegramEncryptAndMac(uint8_t* app, uint32_t length, const uint8_t meterId[4], const uint8_t key[16]);
