// AES-128 (FIPS-197): key expansion and single-block encryption and
// decryption. Byte-oriented and table-light; input and output may alias.
#pragma once
#include <cstdint>

// The 44 expanded key words, 4 bytes each; round key r is bytes 16r..16r+15.
using AesKeySchedule = uint8_t[176];

void aesExpandKey(const uint8_t key[16], AesKeySchedule& schedule);
// Both read the whole input before writing the output.
void aesEncryptBlock(const uint8_t input[16], uint8_t output[16], const AesKeySchedule& schedule);
void aesDecryptBlock(const uint8_t input[16], uint8_t output[16], const AesKeySchedule& schedule);
