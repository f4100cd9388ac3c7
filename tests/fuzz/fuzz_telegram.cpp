// Hostile telegrams for the tool's telegram unit, each in a heap block of
// exactly its length (a vector made from a range) so ASan sees any access
// past the end. Input: mode, then by mode & 3:
//   0: an application part for telegramDecrypt
//   1: a frame for decodeAnswer
//   2, 3: AFLL, 11 header bytes (TPL CI to status), records: an answer the
//         dongle protects, then decrypted. Mode 2 sets the AFLL (outside the
//         MAC); mode 3 with TPL CI 0x72 is an answer as the dongle sends it.
#include <cstring>

#include "interfaces/output.h"
#include "link/telegram.h"
#include "security/telegram_protection.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/virtual_line.h"
#include "virtual-dongle/dongle_protection.h"

namespace {

bool inside(const std::vector<uint8_t>& frame, const uint8_t* p, size_t n) {
  const uintptr_t at = (uintptr_t)p, begin = (uintptr_t)frame.data();
  return !p || (at >= begin && at - begin <= frame.size() && n <= frame.size() - (at - begin));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Output out;
  static const auto dongle = VirtualLine::dongleConfig();  // its key and identity are the tool's at start
  if (size < 1 || size > 1000) return 0;
  const int mode = data[0] & 3;
  std::vector<uint8_t> part(data + 1, data + size);
  if (mode == 1) {
    const Answer a = decodeAnswer(part.data(), (uint16_t)part.size());
    check(inside(part, a.identity, 8), "identity inside the frame");
    check(inside(part, a.protectedPart, a.protectedLength), "protected part inside the frame");
    return 0;
  }
  const std::vector<uint8_t> records(data + std::min<size_t>(size, 13), data + size);
  const bool asSent = mode == 3 && size >= 13 && data[2] == CI_ANSWER;
  if (mode >= 2) {
    if (size < 13) return 0;
    auto app = vdongle::protectFromMeter({data + 2, data + 13}, records, 9, dongle.identity.id, dongle.key);
    if (app.empty()) return 0;
    if (!asSent) app[1] = data[1];
    part = std::vector<uint8_t>(app.begin(), app.end());
  }
  const bool ok =
      telegramDecrypt(out, part.data(), (uint32_t)part.size(), dongle.identity.id, dongle.key) == DecryptResult::Ok;
  // AFL 17, header 11, configuration 2, CFE 1, then 2F 2F and the records.
  if (asSent)
    check(ok && (records.empty() || !std::memcmp(part.data() + 33, records.data(), records.size())),
          "an answer the dongle protects decrypts to its records");
  return 0;
}
