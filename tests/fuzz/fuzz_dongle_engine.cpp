// What a faulty tool might send the virtual dongle: any bytes, in any writes,
// at any virtual times. Input: byte 0 picks the dongle (bit 0: protected
// answers, bit 1: every fault at a quarter chance), then writes, each a gap
// byte g (time moves on g * g * 20 us), a length byte and that many bytes;
// length 0: a SND_UD frame, checksum right, around the next byte's count.
// Each dongle serves kInputsPerEngine inputs before a fresh one takes over,
// which makes an input cost only its own bytes; a crash that needs the state
// left by earlier inputs shows on a replay of the whole corpus.
#include <algorithm>
#include <memory>

#include "tests/fuzz/fuzz_check.h"
#include "virtual-dongle/dongle_engine.h"

namespace {

constexpr int kInputsPerEngine = 1000;
constexpr uint32_t kMaxImage = 4096;  // every report hashes the whole image
// Every telegram is at least 5 bytes; nothing the dongle sends for one is
// longer than stray noise (3) and the longest frame (261).
constexpr uint64_t kShortestTelegram = 5, kLongestReply = 264;

struct Dongle {
  std::unique_ptr<vdongle::DongleEngine> engine;
  int inputs = 0;
  uint64_t now = 0, in = 0, out = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Dongle dongles[4];
  if (size < 1) return 0;
  Dongle& d = dongles[data[0] & 3];
  if (d.inputs++ % kInputsPerEngine == 0) {
    vdongle::DongleConfig config;
    config.maxImage = kMaxImage;
    config.protectAnswers = data[0] & 1;
    if (data[0] & 2) config.faults.dropAck = config.faults.corrupt = config.faults.stray = config.faults.lateAck = 0.25;
    d = Dongle{std::make_unique<vdongle::DongleEngine>(config), 1};
  }
  std::vector<uint8_t> sent;
  for (size_t at = 1; at + 2 <= size;) {
    d.now += (uint64_t)data[at] * data[at] * 20;
    const bool wrap = data[at + 1] == 0 && at + 3 <= size;
    const size_t skip = wrap ? 3 : 2, n = std::min<size_t>(data[at + skip - 1], size - at - skip);
    std::vector<uint8_t> bytes(data + at + skip, data + at + skip + n);
    if (wrap) bytes = vdongle::buildLongFrame(0x53, 0xFB, bytes);
    d.engine->receive(bytes.data(), bytes.size(), d.now);
    d.in += bytes.size();
    at += skip + n;
    d.engine->takeDue(d.now, sent);
  }
  for (int i = 0; !d.engine->idle(); ++i) {
    check(i < 100 && d.engine->nextDueUs() != vdongle::kNever, "a busy line drains");
    d.now = std::max(d.now, d.engine->nextDueUs()) + 1000000;
    d.engine->takeDue(d.now, sent);
  }
  d.out += sent.size();
  check(d.out * kShortestTelegram <= d.in * kLongestReply, "the dongle sends no more than the telegrams call for");
  for (const auto& t : d.engine->takeCompleted()) check(t.image.size() <= kMaxImage, "an image within the limit");
  return 0;
}
