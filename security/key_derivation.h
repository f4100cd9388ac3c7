// Per-message keys of security mode 7: the AES-CMAC, under the communication
// key, of a block of derivation constant, message counter and meter id.
#pragma once
#include <cstdint>

// The meter's identification number, least significant byte first, as sent.
using MeterId = uint8_t[4];

enum DerivationConstant : uint8_t {
  EncFromMeter = 0x00,
  MacFromMeter = 0x01,
  EncToMeter = 0x10,
  MacToMeter = 0x11,
};

// constant, counter (LSB first), the 4 id bytes as given, seven 0x07.
void buildKdfInput(DerivationConstant constant, const MeterId meterId, uint32_t counter, uint8_t output[16]);
void deriveKey(const uint8_t key[16], DerivationConstant constant, const MeterId meterId, uint32_t counter,
               uint8_t derivedKey[16]);
