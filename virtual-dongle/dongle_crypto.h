// AES-128 primitives of the dongle, all from OpenSSL's libcrypto (not the
// tool's code, so each end-to-end run cross-checks the two), and the
// security mode 7 key derivation. Functions return false when OpenSSL fails.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vdongle {

enum DerivationConstant : uint8_t {
  EncFromMeter = 0x00,
  MacFromMeter = 0x01,
  EncToMeter = 0x10,
  MacToMeter = 0x11,
};

bool aesEcbEncryptBlock(const uint8_t key[16], const uint8_t in[16], uint8_t out[16]);
// CBC with an all-zero IV, in place; n must be a multiple of 16.
bool aesCbc(bool encrypt, const uint8_t key[16], uint8_t* data, size_t n);
bool aesCmac(const uint8_t key[16], const uint8_t* message, size_t n, uint8_t tag[16]);

// constant, counter LSB first, identification LSB first, seven 0x07.
void kdfInput(uint8_t constant, uint32_t counter, const uint8_t id[4], uint8_t block[16]);
// The CMAC of kdfInput under the communication key.
bool deriveKey(const uint8_t key[16], uint8_t constant, uint32_t counter, const uint8_t id[4], uint8_t derived[16]);

}  // namespace vdongle
