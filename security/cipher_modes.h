// AES-CBC in place over the one system-wide chaining value, one-shot block
// encryption under a raw key, and AES-CMAC (RFC 4493).
#pragma once
#include <cstdint>

#include "security/aes128.h"

// Zero at start; every user resets it right before a message.
extern uint8_t cbcChainingValue[16];

void cbcResetChaining();
// Lengths are multiples of 16 (at most 240); a trailing partial block is left
// untouched. Two calls continue the chain unless it was reset between them:
// by cbcResetChaining, or by aesEncryptBlocks and so by every CMAC and key
// derivation.
void cbcEncrypt(uint8_t* buffer, uint8_t length, const AesKeySchedule& schedule);
void cbcDecrypt(uint8_t* buffer, uint8_t length, const AesKeySchedule& schedule);
// Every whole block encrypted by itself (ECB); leaves cbcChainingValue zero.
void aesEncryptBlocks(uint8_t* buffer, uint8_t length, const uint8_t key[16]);

void cmacSubkeys(const uint8_t key[16], uint8_t k1[16], uint8_t k2[16]);
// The full 16-byte tag; a negative length counts as 0.
void aesCmac(const uint8_t key[16], const uint8_t* message, int32_t length, uint8_t tag[16]);
