// Hostile line bytes through the real receive poll, in reads the input cuts.
// Input: flags, (flags & 7) read sizes, then the line.
//   bit 3: the receiver armed by a request first (else unarmed, as at start)
//   bit 4: the line opens with a long answer frame, its checksum right,
//          around a count byte's worth of data (CI on), or with bit 5 around
//          an answer the dongle protects: AFLL, record count, 11 header bytes
//          (TPL CI to status), records. AFLL is outside the MAC, so it alone
//          may differ and decryption still runs.
#include <algorithm>

#include "commands/link_requests.h"
#include "commands/meter_answers.h"
#include "link/answer_reception.h"
#include "link/link_frames.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/virtual_line.h"
#include "virtual-dongle/dongle_protection.h"

namespace {

std::vector<uint8_t> answerFrame(const uint8_t*& p, const uint8_t* end, bool protect) {
  const size_t head = protect ? 13 : 1;
  if ((size_t)(end - p) < head) return {};
  const size_t n = std::min<size_t>(p[protect ? 1 : 0], (size_t)(end - p) - head);
  std::vector<uint8_t> app(p + head, p + head + n);
  if (protect) {
    const auto dongle = VirtualLine::dongleConfig();  // its identity and key are the fields' defaults
    app = vdongle::protectFromMeter({p + 2, p + 13}, app, 7, dongle.identity.id, dongle.key);
    if (!app.empty()) app[1] = p[0];
  }
  p += head + n;
  return app.empty() ? app : vdongle::buildLongFrame(0x08, 0xFB, app);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t readCount = size ? data[0] & 7 : 0;
  if (size < 1 + readCount) return 0;
  VirtualLine line;  // a fresh core, connected, the default fields read
  if (data[0] & 8) sendReqUd2(line.ctx);
  const uint8_t* p = data + 1 + readCount;
  std::vector<uint8_t> bytes = data[0] & 16 ? answerFrame(p, data + size, data[0] & 32) : std::vector<uint8_t>();
  bytes.insert(bytes.end(), p, data + size);

  for (size_t at = 0, k = 0; at < bytes.size(); ++k) {
    const size_t n = std::min<size_t>(readCount ? data[1 + k % readCount] + 1u : 256u, bytes.size() - at);
    line.port->queue({bytes.begin() + (long)at, bytes.begin() + (long)(at + n)});
    at += n;
    line.poll();
    check(linkLength <= LINK_BUFFER_SIZE, "linkLength within the buffer");
  }
  // A request re-arms the receiver, whatever came before.
  sendReqUd2(line.ctx);
  clearAnswerFlags();
  line.port->queue({FRAME_ACK});
  line.poll();
  check(ackReceived == 1, "an acknowledgement after a request is recognised");
  for (uint8_t b : {0x10, 0x5B, 0xFB, 0x56}) check(receiveByte(b) == RxResult::Pending, "a short frame is taken");
  check(receiveByte(FRAME_STOP) == RxResult::ShortOk, "a good short frame is recognised");
  return 0;
}
