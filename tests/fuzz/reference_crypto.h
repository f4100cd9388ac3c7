// Security mode 7 built on OpenSSL, independent of the tool's own cipher code:
// the fuzz targets and the seed generator use it to make telegrams that pass
// the MAC check, so the fuzzer reaches the decryption behind it.
#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace ref {

// Key and identification the fuzz targets load into the stores: the window's
// default key and the identification number 01020304, least significant first.
inline constexpr uint8_t kKey[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                                     0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
inline constexpr uint8_t kMeterId[4] = {0x04, 0x03, 0x02, 0x01};

enum Constant : uint8_t { EncFromMeter = 0x00, MacFromMeter = 0x01, EncToMeter = 0x10, MacToMeter = 0x11 };

inline void cmac(const uint8_t key[16], const uint8_t* data, size_t length, uint8_t tag[16]) {
  size_t out = 0;
  static const uint8_t empty = 0;
  EVP_Q_mac(nullptr, "CMAC", nullptr, "AES-128-CBC", nullptr, key, 16, length ? data : &empty, length, tag, 16,
            &out);
}

inline void deriveKey(const uint8_t key[16], Constant constant, const uint8_t id[4], uint32_t counter,
                      uint8_t derived[16]) {
  uint8_t input[16] = {constant, (uint8_t)counter, (uint8_t)(counter >> 8), (uint8_t)(counter >> 16),
                       (uint8_t)(counter >> 24), id[0], id[1], id[2], id[3], 7, 7, 7, 7, 7, 7, 7};
  cmac(key, input, 16, derived);
}

// AES-128-CBC with a zero IV over whole blocks, in place.
inline void cbc(const uint8_t key[16], uint8_t* data, size_t length, bool encrypt) {
  if (length == 0) return;
  static const uint8_t iv[16] = {0};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0;
  EVP_CipherUpdate(ctx, data, &n, data, (int)length);
  EVP_CIPHER_CTX_free(ctx);
}

// Where the encrypted area of an application part lies, or false when it
// does not fit inside the part.
inline bool encryptedArea(const uint8_t* app, size_t length, size_t& position, size_t& size) {
  if (length == 0) return false;
  size_t tpl = app[0] == 0x90 ? (size_t)(uint8_t)(app[1] + 2) : 0;
  if (tpl >= length) return false;
  const uint8_t ci = app[tpl];
  size_t config = 0, header = 0;
  if (ci == 0x5A || ci == 0x7A) {
    config = tpl + 3;
    header = 5;
  } else if (ci == 0x5B || ci == 0x6C || ci == 0x6D || ci == 0x72) {
    config = tpl + 11;
    header = 13;
  } else {
    position = tpl + 1;
    size = 0;
    return position <= length;
  }
  if (config + 1 >= length) return false;
  size = app[config] & 0xF0;
  const bool mode7 = (app[config + 1] & 0x1F) == 7;
  position = tpl + header + (mode7 ? 1 : 0);
  return position + size <= length;
}

// The MAC over MCL, MCR and everything from offset 17, written to bytes 9..16.
inline void writeMac(uint8_t* app, size_t length, bool fromMeter) {
  if (length < 17) return;
  const uint32_t counter = app[5] | app[6] << 8 | app[7] << 16 | (uint32_t)app[8] << 24;
  uint8_t macKey[16], tag[16];
  deriveKey(kKey, fromMeter ? MacFromMeter : MacToMeter, kMeterId, counter, macKey);
  std::vector<uint8_t> covered(app + 4, app + 9);
  covered.insert(covered.end(), app + 17, app + length);
  cmac(macKey, covered.data(), covered.size(), tag);
  std::memcpy(app + 9, tag, 8);
}

// Encrypts the area in place and writes the MAC, as the meter would.
inline bool protect(uint8_t* app, size_t length, bool fromMeter) {
  size_t position = 0, size = 0;
  if (length < 17 || !encryptedArea(app, length, position, size)) return false;
  const uint32_t counter = app[5] | app[6] << 8 | app[7] << 16 | (uint32_t)app[8] << 24;
  uint8_t encKey[16];
  deriveKey(kKey, fromMeter ? EncFromMeter : EncToMeter, kMeterId, counter, encKey);
  cbc(encKey, app + position, size, true);
  writeMac(app, length, fromMeter);
  return true;
}

}  // namespace ref
