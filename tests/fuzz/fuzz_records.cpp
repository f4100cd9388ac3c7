// Hostile record areas and frames for the record decoder, each in a heap block
// of exactly its length so ASan sees any read past the end. Input: mode, then
// by mode & 3: 0 records, 1 a frame closed around the rest (checksum right),
// 2 a frame as given, 3 a decrypted protected part.
#include "records/records.h"
#include "tests/fuzz/fuzz_check.h"
#include "virtual-dongle/dongle_frames.h"

namespace {

bool numberText(const std::string& n) {
  return n == "NaN" || n == "Infinity" || n == "-Infinity" ||
         (isFiniteNumber(n) && n.find_first_not_of("-0123456789.e") == std::string::npos && n.back() != '.');
}

// Records in order, each inside the area; between them only 2F fillers.
void checkCover(const std::vector<uint8_t>& d, size_t start, size_t end, const RecordList& l) {
  const bool whole = l.end == DecodeEnd::Complete || l.end == DecodeEnd::ManufacturerData ||
                     l.end == DecodeEnd::MoreRecordsFollow;
  check(whole ? l.stopOffset == end : l.stopOffset < end && d[l.stopOffset] != 0x2F, "stop where it says");
  size_t at = start;
  for (const Record& r : l.records) {
    while (at < r.offset) check(d[at++] == 0x2F, "only fillers between records");
    check(r.offset == at && r.length > 0 && r.length <= l.stopOffset - at, "each byte in one record");
    check(r.dataOffset >= r.offset && r.dataOffset + r.dataLength == r.offset + r.length, "data inside");
    at += r.length;
    check(!formatRecord(r).empty(), "a line");
    check(r.kind != ValueKind::Number || numberText(r.number), "a number as exact text (or NaN, Infinity)");
    for (const ProfileElement& e : r.profile.elements)
      check(numberText(e.value) || e.value.rfind("error: ", 0) == 0, "an element is a number or says why not");
  }
  while (at < l.stopOffset) check(d[at++] == 0x2F, "only fillers before the stop");
  check(!describeEnd(l).empty(), "an end text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 600) return 0;
  const int mode = data[0] & 3;
  std::vector<uint8_t> d(data + 1, data + size);
  if (mode == 0) return checkCover(d, 0, d.size(), decodeRecords(d.data(), d.size())), 0;
  if (mode == 3) {
    const RecordList l = decodeProtectedRecords(d.data(), d.size()).list;
    if (l.end < DecodeEnd::NotALongFrame) checkCover(d, l.records.empty() ? l.stopOffset : l.records[0].offset, d.size(), l);
    return 0;
  }
  if (mode == 1) d = vdongle::buildLongFrame(data[0] >> 4, 0x01, d);
  const FrameRecords f = decodeFrame(d.data(), d.size());
  const uint8_t ci = f.header.ci;
  if (f.list.end < DecodeEnd::NotALongFrame)
    checkCover(d, ci == 0x72 ? 19 : ci == 0x7A ? 11 : 7, d.size() - 2, f.list);
  const CounterRecord c = findCounterRecord(d.data(), d.size());
  check(c.result != CounterSearch::Found || (d[c.offset] == 0x04 && d[c.offset + 1] == 0xFD &&
                                             d[c.offset + 2] == 0x08 && c.offset + 9 <= d.size()),
        "a counter record is one, inside the frame");
  return 0;
}
