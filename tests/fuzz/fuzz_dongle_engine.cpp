// What a faulty tool might send the virtual dongle: any bytes, cut into any
// writes at any pace, under any fault settings. The engine must neither crash
// nor hand over an image beyond its limit, and must drain what it queued.
//
// Input: byte 0 configuration, byte 1 fault seed, byte 2 the pace between
// writes in ms, byte 3 (low 3 bits) the count of write sizes that follow,
// then the bytes on the line.
//   bits 0:   protected answers
//   bits 1-2: 9600, 2400, no pacing, 9600 baud
//   bit 3:    every fault at a quarter chance; the seed byte also picks
//             silent-after and close-after counts
//   bit 4:    a 2048-byte image limit instead of 140000
//   bit 5:    a 2 ms inter-character time-out instead of 50 ms
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/fuzz/invariant.h"
#include "tools/virtual-dongle/dongle_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t flags = data[0], seed = data[1], paceMs = data[2];
  const size_t sizeCount = data[3] & 7;
  if (size < 4 + sizeCount) return 0;
  std::vector<size_t> writes;
  for (size_t i = 0; i < sizeCount; ++i) writes.push_back(data[4 + i] ? data[4 + i] : 256);
  const uint8_t* line = data + 4 + sizeCount;
  const size_t lineSize = size - 4 - sizeCount;

  vdongle::DongleConfig config;
  config.protectAnswers = flags & 1;
  static const int bauds[] = {9600, 2400, 0, 9600};
  config.baud = bauds[(flags >> 1) & 3];
  if (flags & 8) {
    config.faults.dropAck = config.faults.corrupt = config.faults.stray = config.faults.lateAck = 0.25;
    config.faults.seed = seed;
    config.faults.silentAfter = (seed & 0x40) ? (seed >> 4) & 3 : -1;
    config.faults.closeAfter = (seed & 0x80) ? seed & 15 : -1;
  }
  // The largest image the tool sends (131104 bytes) fits; the default 1 MiB
  // limit only makes every report's CRC over a huge announced image slower.
  config.maxImage = (flags & 16) ? 2048 : 140000;
  if (flags & 32) config.frameGapUs = 2000;

  vdongle::DongleEngine engine(config);
  std::vector<uint8_t> out;
  uint64_t now = 1000000;
  size_t done = 0, w = 0;
  while (done < lineSize) {
    size_t n = writes.empty() ? lineSize - done : writes[w++ % writes.size()];
    if (n > lineSize - done) n = lineSize - done;
    engine.receive(line + done, n, now);
    done += n;
    engine.takeDue(now, out);
    now += (uint64_t)paceMs * 1000;
  }

  // Everything queued goes out within a bounded number of due times.
  for (int i = 0; i < 10000 && !engine.idle(); ++i) {
    const uint64_t due = engine.nextDueUs();
    check(due != vdongle::kNever, "a busy line has a next due time");
    if (due > now) now = due;
    engine.takeDue(now, out);
  }
  check(engine.idle(), "the line drains");

  for (const vdongle::CompletedTransfer& t : engine.takeCompleted()) {
    check(t.image.size() <= config.maxImage, "an image stays within the limit");
    check(t.summary.length == t.image.size(), "summary length is the image's");
  }
  const vdongle::DongleStats& stats = engine.stats();
  check(stats.acksSent + stats.acksDropped <= stats.telegrams, "acknowledgements only for telegrams received");
  return 0;
}
