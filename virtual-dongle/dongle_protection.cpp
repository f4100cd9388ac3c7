#include "virtual-dongle/dongle_protection.h"

#include <openssl/crypto.h>

#include <cstring>

#include "virtual-dongle/dongle_crypto.h"

namespace vdongle {

namespace {

constexpr size_t kAflSize = 17;

uint32_t readLe32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// MCL, MCR, then offset 17 to the end: what the MAC covers.
std::vector<uint8_t> macInput(const std::vector<uint8_t>& app) {
  std::vector<uint8_t> m(app.begin() + 4, app.begin() + 9);
  m.insert(m.end(), app.begin() + kAflSize, app.end());
  return m;
}

}  // namespace

bool tplLayout(uint8_t ci, size_t& configOffset, size_t& areaOffset) {
  switch (ci) {
    case 0x5A:
    case 0x7A:
      configOffset = 3;
      areaOffset = 5;
      return true;
    case 0x5B:
    case 0x6C:
    case 0x6D:
    case 0x72:
      configOffset = 11;
      areaOffset = 13;
      return true;
    default:
      return false;
  }
}

OpenedTelegram openToMeter(const uint8_t* app, size_t n, const uint8_t id[4], const uint8_t key[16]) {
  OpenedTelegram t;
  if (n < 1 || app[0] != 0x90) return t;
  t.status = OpenStatus::BadLayout;
  if (n < kAflSize + 1) return t;
  t.app.assign(app, app + n);
  size_t tpl = (size_t)((app[1] + 2) & 0xFF);
  if (tpl >= n) return t;
  t.tplCi = app[tpl];
  size_t configOffset = 0, areaOffset = 0;
  if (tplLayout(t.tplCi, configOffset, areaOffset)) {
    if (tpl + configOffset + 1 >= n) return t;
    uint8_t low = app[tpl + configOffset], high = app[tpl + configOffset + 1];
    t.areaLength = low & 0xF0;
    t.areaOffset = tpl + areaOffset + ((high & 0x1F) == 7 ? 1 : 0);
  } else {
    t.areaLength = 0;
    t.areaOffset = tpl + 1;
  }
  // The area and the two 2F bytes tested after decryption must lie inside.
  if (t.areaOffset + (t.areaLength < 2 ? 2 : t.areaLength) > n) return t;

  t.counter = readLe32(app + 5);
  uint8_t macKey[16], tag[16];
  std::vector<uint8_t> covered = macInput(t.app);
  if (!deriveKey(key, MacToMeter, t.counter, id, macKey) || !aesCmac(macKey, covered.data(), covered.size(), tag)) {
    t.status = OpenStatus::CryptoFailed;
    return t;
  }
  if (CRYPTO_memcmp(tag, app + 9, 8) != 0) {
    t.status = OpenStatus::BadMac;
    return t;
  }
  uint8_t encKey[16];
  if (!deriveKey(key, EncToMeter, t.counter, id, encKey) ||
      !aesCbc(false, encKey, t.app.data() + t.areaOffset, t.areaLength)) {
    t.status = OpenStatus::CryptoFailed;
    return t;
  }
  bool clear = t.app[t.areaOffset] == 0x2F && t.app[t.areaOffset + 1] == 0x2F;
  t.status = clear ? OpenStatus::Ok : OpenStatus::NotDecrypted;
  return t;
}

std::vector<uint8_t> protectFromMeter(const std::vector<uint8_t>& tplHeader, const std::vector<uint8_t>& records,
                                      uint32_t counter, const uint8_t id[4], const uint8_t key[16]) {
  if (tplHeader.size() != 11 || records.size() + 2 > 240) return {};
  size_t area = (records.size() + 2 + 15) / 16 * 16;
  std::vector<uint8_t> app{0x90, 0x0F, 0x00, 0x2C, 0x25};
  for (int i = 0; i < 4; ++i) app.push_back((uint8_t)(counter >> (8 * i)));
  app.insert(app.end(), 8, 0xFF);
  app.insert(app.end(), tplHeader.begin(), tplHeader.end());
  app.push_back((uint8_t)area);
  app.push_back(0x07);
  app.push_back(0x10);
  size_t areaOffset = app.size();
  app.push_back(0x2F);
  app.push_back(0x2F);
  app.insert(app.end(), records.begin(), records.end());
  app.resize(areaOffset + area, 0x2F);

  uint8_t encKey[16], macKey[16], tag[16];
  if (!deriveKey(key, EncFromMeter, counter, id, encKey) || !aesCbc(true, encKey, app.data() + areaOffset, area))
    return {};
  std::vector<uint8_t> covered = macInput(app);
  if (!deriveKey(key, MacFromMeter, counter, id, macKey) || !aesCmac(macKey, covered.data(), covered.size(), tag))
    return {};
  std::memcpy(app.data() + 9, tag, 8);
  return app;
}

}  // namespace vdongle
