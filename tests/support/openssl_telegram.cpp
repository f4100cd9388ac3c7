#include "tests/support/openssl_telegram.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>

namespace ossl {
namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "OpenSSL failed: %s\n", what);
    std::abort();
  }
}

std::array<uint8_t, 8> telegramMac(const std::vector<uint8_t>& app, const uint8_t meterId[4], const uint8_t key[16],
                                   bool fromMeter) {
  uint32_t counter = app[5] | app[6] << 8 | app[7] << 16 | (uint32_t)app[8] << 24;
  Block macKey = deriveKey(key, fromMeter ? kMacFromMeter : kMacToMeter, meterId, counter);
  std::vector<uint8_t> input = macInput(app);
  Block tag = cmac(macKey.data(), input.data(), input.size());
  std::array<uint8_t, 8> mac;
  std::memcpy(mac.data(), tag.data(), 8);
  return mac;
}

// Where the area lies, by the header table; false for an unknown CI or a
// part too short for its header or area.
bool findArea(const std::vector<uint8_t>& app, size_t* offset, size_t* length) {
  size_t tpl = (size_t)((app[1] + 2) % 256);
  if (tpl >= app.size()) return false;
  size_t config;
  switch (app[tpl]) {
    case 0x5A: case 0x7A: config = tpl + 3; break;
    case 0x5B: case 0x6C: case 0x6D: case 0x72: config = tpl + 11; break;
    default: return false;
  }
  if (config + 2 > app.size()) return false;
  *length = app[config] & 0xF0;
  *offset = config + 2 + ((app[config + 1] & 0x1F) == 7 ? 1 : 0);
  return *offset + *length <= app.size();
}

}  // namespace

std::vector<uint8_t> macInput(const std::vector<uint8_t>& app) {
  std::vector<uint8_t> input(app.begin() + 12, app.end());
  std::copy(app.begin() + 4, app.begin() + 9, input.begin());
  return input;
}

Block cmac(const uint8_t key[16], const uint8_t* data, size_t length) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  require(mac, "fetch CMAC");
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0), OSSL_PARAM_construct_end()};
  Block tag{};
  size_t tagLength = 0;
  require(ctx && EVP_MAC_init(ctx, key, 16, params) == 1, "CMAC init");
  require(EVP_MAC_update(ctx, data, length) == 1, "CMAC update");
  require(EVP_MAC_final(ctx, tag.data(), &tagLength, tag.size()) == 1 && tagLength == 16, "CMAC final");
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return tag;
}

void cbc(const uint8_t key[16], uint8_t* data, size_t length, bool encrypt, const uint8_t* iv) {
  require(length % 16 == 0, "CBC length a multiple of 16");
  if (length == 0) return;
  const uint8_t zeroIv[16] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  require(ctx && EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv ? iv : zeroIv, encrypt ? 1 : 0) == 1,
          "CBC init");
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::vector<uint8_t> out(length + 16);
  int n = 0, tail = 0;
  require(EVP_CipherUpdate(ctx, out.data(), &n, data, (int)length) == 1, "CBC update");
  require(EVP_CipherFinal_ex(ctx, out.data() + n, &tail) == 1 && (size_t)(n + tail) == length, "CBC final");
  std::memcpy(data, out.data(), length);
  EVP_CIPHER_CTX_free(ctx);
}

Block deriveKey(const uint8_t key[16], uint8_t constant, const uint8_t meterId[4], uint32_t counter) {
  uint8_t input[16] = {constant, (uint8_t)counter, (uint8_t)(counter >> 8), (uint8_t)(counter >> 16),
                       (uint8_t)(counter >> 24), meterId[0], meterId[1], meterId[2], meterId[3],
                       7, 7, 7, 7, 7, 7, 7};
  return cmac(key, input, sizeof input);
}

std::vector<uint8_t> plainApplicationPart(const TelegramLayout& layout, size_t* areaOffset) {
  std::vector<uint8_t> app{0x90, 0x0F, 0x00, 0x2C, 0x25};
  for (int i = 0; i < 4; ++i) app.push_back((uint8_t)(layout.counter >> (8 * i)));
  app.insert(app.end(), 8, 0x00);
  app.push_back(layout.tplCi);
  bool longHeader = layout.tplCi == 0x5B || layout.tplCi == 0x6C || layout.tplCi == 0x6D || layout.tplCi == 0x72;
  if (longHeader) app.insert(app.end(), layout.address.begin(), layout.address.end());
  app.push_back(layout.accessNumber);
  app.push_back(layout.status);
  app.push_back((uint8_t)(layout.area.size() | layout.configLowNibble));
  app.push_back(layout.configHigh);
  if ((layout.configHigh & 0x1F) == 7) app.push_back(0x10);
  if (areaOffset) *areaOffset = app.size();
  app.insert(app.end(), layout.area.begin(), layout.area.end());
  app.insert(app.end(), layout.rest.begin(), layout.rest.end());
  return app;
}

std::vector<uint8_t> protectedApplicationPart(const TelegramLayout& layout, const uint8_t meterId[4],
                                              const uint8_t key[16], bool fromMeter) {
  size_t offset = 0;
  std::vector<uint8_t> app = plainApplicationPart(layout, &offset);
  Block encKey = deriveKey(key, fromMeter ? kEncFromMeter : kEncToMeter, meterId, layout.counter);
  cbc(encKey.data(), app.data() + offset, layout.area.size(), true);
  writeMac(app, meterId, key, fromMeter);
  return app;
}

void writeMac(std::vector<uint8_t>& app, const uint8_t meterId[4], const uint8_t key[16], bool fromMeter) {
  require(app.size() >= 17, "an application part of 17 bytes or more");
  std::array<uint8_t, 8> mac = telegramMac(app, meterId, key, fromMeter);
  std::memcpy(app.data() + 9, mac.data(), 8);
}

bool verifyAndDecrypt(std::vector<uint8_t>& app, const uint8_t meterId[4], const uint8_t key[16], bool fromMeter) {
  if (app.size() < 17 || app[0] != 0x90) return false;
  if (telegramMac(app, meterId, key, fromMeter) != std::array<uint8_t, 8>{app[9], app[10], app[11], app[12],
                                                                          app[13], app[14], app[15], app[16]})
    return false;
  size_t offset = 0, length = 0;
  if (!findArea(app, &offset, &length)) return false;
  uint32_t counter = app[5] | app[6] << 8 | app[7] << 16 | (uint32_t)app[8] << 24;
  Block encKey = deriveKey(key, fromMeter ? kEncFromMeter : kEncToMeter, meterId, counter);
  cbc(encKey.data(), app.data() + offset, length, false);
  return true;
}

}  // namespace ossl
