// Hostile application parts for the telegram protection: any length from 0
// to 300, any AFLL, TPL CI and configuration field. The part lies in a heap
// block of exactly its length, so a read or write past its end is caught.
//
// Input: byte 0 mode, then the application part.
//   bit 0: protect instead of verify (telegramEncryptAndMac)
//   bit 1: give the part a MAC that verifies, so decryption runs on it
//   bit 2: also encrypt its area first (only with bit 1), as a meter would
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/shell/log_file.h"
#include "security/telegram_protection.h"
#include "tests/fuzz/invariant.h"
#include "tests/fuzz/reference_crypto.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  logFile = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  size_t length = size - 1;
  if (length > 300) length = 300;

  // Exactly sized, also for 0 bytes: ASan reports any access past the end.
  uint8_t* app = static_cast<uint8_t*>(std::malloc(length));
  uint8_t* before = static_cast<uint8_t*>(std::malloc(length));
  if (length) std::memcpy(app, data + 1, length);

  if (mode & 1) {
    if (length) std::memcpy(before, app, length);
    const bool ok = telegramEncryptAndMac(app, (uint32_t)length, ref::kMeterId, ref::kKey);
    if (length == 0 || app[0] != 0x90 || before[0] != 0x90) {
      check(!ok, "a part without AFL is not protected");
      check(length == 0 || std::memcmp(app, before, length) == 0, "a part without AFL stays unchanged");
    }
  } else {
    if (mode & 2) {
      if (mode & 4)
        ref::protect(app, length, true);
      else
        ref::writeMac(app, length, true);
    }
    const bool ok = telegramDecrypt(app, (uint32_t)length, ref::kMeterId, ref::kKey);
    if (ok) {
      size_t position = 0, area = 0;
      check(length >= 17 && app[0] == 0x90, "only a part with a whole AFL decrypts");
      if (ref::encryptedArea(app, length, position, area) && position + 1 < length)
        check(app[position] == 0x2F && app[position + 1] == 0x2F, "a decrypted area begins 2F 2F");
    }
  }
  std::free(before);
  std::free(app);
  return 0;
}
