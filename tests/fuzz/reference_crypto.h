// Security mode 7 on raw buffers of any content, on top of the OpenSSL far
// end: the fuzz targets and the seed generator use it to make telegrams that
// pass the MAC check, so the fuzzer reaches the decryption behind it.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/support/openssl_telegram.h"

namespace ref {

// Key and identification the fuzz targets load into the stores: the window's
// default key and the identification number 01020304, least significant first.
inline constexpr uint8_t kKey[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                                     0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
inline constexpr uint8_t kMeterId[4] = {0x04, 0x03, 0x02, 0x01};

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

// The MAC over MCL, MCR and everything from offset 17, written to bytes 9..16
// of a buffer sized exactly.
inline void writeMac(uint8_t* app, size_t length, bool fromMeter) {
  if (length < 17) return;
  std::vector<uint8_t> part(app, app + length);
  ossl::writeMac(part, kMeterId, kKey, fromMeter);
  std::memcpy(app + 9, part.data() + 9, 8);
}

// Encrypts the area in place and writes the MAC, as the meter would.
inline bool protect(uint8_t* app, size_t length, bool fromMeter) {
  size_t position = 0, size = 0;
  if (length < 17 || !encryptedArea(app, length, position, size)) return false;
  const uint32_t counter = app[5] | app[6] << 8 | app[7] << 16 | (uint32_t)app[8] << 24;
  const ossl::Block encKey =
      ossl::deriveKey(kKey, fromMeter ? ossl::kEncFromMeter : ossl::kEncToMeter, kMeterId, counter);
  ossl::cbc(encKey.data(), app + position, size, true);
  writeMac(app, length, fromMeter);
  return true;
}

}  // namespace ref
