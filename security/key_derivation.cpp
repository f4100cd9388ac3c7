#include "security/key_derivation.h"

#include <cstring>

#include "interfaces/byte_order.h"
#include "security/cipher_modes.h"

void buildKdfInput(DerivationConstant constant, const MeterId meterId, uint32_t counter, uint8_t output[16]) {
  output[0] = constant;
  putLittleEndian32(output + 1, counter);
  std::memcpy(output + 5, meterId, 4);
  std::memset(output + 9, 0x07, 7);
}

void deriveKey(const uint8_t key[16], DerivationConstant constant, const MeterId meterId, uint32_t counter,
               uint8_t derivedKey[16]) {
  uint8_t input[16];
  buildKdfInput(constant, meterId, counter, input);
  aesCmac(key, input, 16, derivedKey);
}
