#include "security/cipher_modes.h"

#include <cstring>

#include "security/secure_wipe.h"

uint8_t cbcChainingValue[16] = {};

namespace {

void xorBlock(uint8_t* target, const uint8_t* other) {
  for (int i = 0; i < 16; ++i) target[i] ^= other[i];
}

// One bit left as a 128-bit big-endian number; 0x87 folds the carry back in.
void doubleSubkey(const uint8_t in[16], uint8_t out[16]) {
  bool carry = (in[0] & 0x80) != 0;
  for (int i = 0; i < 15; ++i) out[i] = (uint8_t)((in[i] << 1) | (in[i + 1] >> 7));
  out[15] = (uint8_t)(in[15] << 1);
  if (carry) out[15] ^= 0x87;
}

}  // namespace

void cbcResetChaining() { std::memset(cbcChainingValue, 0, sizeof cbcChainingValue); }

void cbcEncrypt(uint8_t* buffer, uint8_t length, const AesKeySchedule& schedule) {
  for (int offset = 0; offset + 16 <= length; offset += 16) {
    uint8_t* block = buffer + offset;
    xorBlock(block, cbcChainingValue);
    aesEncryptBlock(block, block, schedule);
    std::memcpy(cbcChainingValue, block, 16);
  }
}

void cbcDecrypt(uint8_t* buffer, uint8_t length, const AesKeySchedule& schedule) {
  for (int offset = 0; offset + 16 <= length; offset += 16) {
    uint8_t* block = buffer + offset;
    uint8_t plain[16];
    aesDecryptBlock(block, plain, schedule);
    xorBlock(plain, cbcChainingValue);
    std::memcpy(cbcChainingValue, block, 16);
    std::memcpy(block, plain, 16);
  }
}

void aesEncryptBlocks(uint8_t* buffer, uint8_t length, const uint8_t key[16]) {
  cbcResetChaining();
  AesKeySchedule schedule;
  aesExpandKey(key, schedule);
  for (int offset = 0; offset + 16 <= length; offset += 16) {
    uint8_t* block = buffer + offset;
    xorBlock(block, cbcChainingValue);  // zero: the chain does not advance
    aesEncryptBlock(block, block, schedule);
  }
  secureWipe(schedule, sizeof schedule);
}

void cmacSubkeys(const uint8_t key[16], uint8_t k1[16], uint8_t k2[16]) {
  uint8_t l[16] = {};
  aesEncryptBlocks(l, 16, key);
  doubleSubkey(l, k1);
  doubleSubkey(k1, k2);
  secureWipe(l, sizeof l);
}

void aesCmac(const uint8_t key[16], const uint8_t* message, int32_t length, uint8_t tag[16]) {
  if (length < 0) length = 0;
  uint8_t k1[16], k2[16];
  cmacSubkeys(key, k1, k2);

  int32_t blocks = length / 16 + (length % 16 != 0);
  bool lastComplete = blocks > 0 && length % 16 == 0;
  if (blocks == 0) blocks = 1;

  uint8_t last[16] = {};
  const uint8_t* lastStart = message + 16 * (blocks - 1);
  if (lastComplete) {
    std::memcpy(last, lastStart, 16);
    xorBlock(last, k1);
  } else {
    int32_t rest = length % 16;
    if (rest) std::memcpy(last, lastStart, (size_t)rest);
    last[rest] = 0x80;
    xorBlock(last, k2);
  }

  uint8_t x[16] = {};
  for (int32_t i = 0; i + 1 < blocks; ++i) {
    xorBlock(x, message + 16 * i);
    aesEncryptBlocks(x, 16, key);
  }
  xorBlock(last, x);
  aesEncryptBlocks(last, 16, key);
  std::memcpy(tag, last, 16);

  secureWipe(k1, sizeof k1);
  secureWipe(k2, sizeof k2);
  secureWipe(x, sizeof x);
  secureWipe(last, sizeof last);
}
