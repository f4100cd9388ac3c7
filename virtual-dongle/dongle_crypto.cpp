#include "virtual-dongle/dongle_crypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>

namespace vdongle {

namespace {

bool cipher(const EVP_CIPHER* type, bool encrypt, const uint8_t key[16], const uint8_t* in, uint8_t* out, size_t n) {
  if (n % 16 != 0 || n > (size_t)INT32_MAX) return false;
  if (n == 0) return true;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return false;
  static const uint8_t zeroIv[16] = {};
  int outLen = 0;
  bool ok = EVP_CipherInit_ex(ctx, type, nullptr, key, zeroIv, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 && EVP_CipherUpdate(ctx, out, &outLen, in, (int)n) == 1 &&
            outLen == (int)n;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

}  // namespace

bool aesEcbEncryptBlock(const uint8_t key[16], const uint8_t in[16], uint8_t out[16]) {
  return cipher(EVP_aes_128_ecb(), true, key, in, out, 16);
}

bool aesCbc(bool encrypt, const uint8_t key[16], uint8_t* data, size_t n) {
  // EVP works in place when input and output are the same buffer.
  return cipher(EVP_aes_128_cbc(), encrypt, key, data, data, n);
}

bool aesCmac(const uint8_t key[16], const uint8_t* message, size_t n, uint8_t tag[16]) {
  // Fetched once and kept for the process's life: fetching is the slow part.
  static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  if (!mac) return false;
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char cipherName[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipherName, 0),
                         OSSL_PARAM_construct_end()};
  size_t tagLen = 0;
  static const uint8_t empty[1] = {0};
  bool ok = ctx && EVP_MAC_init(ctx, key, 16, params) == 1 &&
            EVP_MAC_update(ctx, n ? message : empty, n) == 1 && EVP_MAC_final(ctx, tag, &tagLen, 16) == 1 &&
            tagLen == 16;
  EVP_MAC_CTX_free(ctx);
  return ok;
}

void kdfInput(uint8_t constant, uint32_t counter, const uint8_t id[4], uint8_t block[16]) {
  block[0] = constant;
  for (int i = 0; i < 4; ++i) block[1 + i] = (uint8_t)(counter >> (8 * i));
  std::memcpy(block + 5, id, 4);
  std::memset(block + 9, 0x07, 7);
}

bool deriveKey(const uint8_t key[16], uint8_t constant, uint32_t counter, const uint8_t id[4], uint8_t derived[16]) {
  uint8_t block[16];
  kdfInput(constant, counter, id, block);
  return aesCmac(key, block, 16, derived);
}

}  // namespace vdongle
