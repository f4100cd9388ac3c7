#include "records/records.h"

#include <cstring>

#include "interfaces/byte_order.h"
#include "interfaces/text_format.h"
#include "link/link_frames.h"
#include "link/telegram.h"
#include "records/compact_profile.h"
#include "records/record_units.h"
#include "records/record_values.h"

namespace {

constexpr uint8_t EXTENSION_BIT = 0x80;
constexpr uint8_t FILLER = 0x2F;
constexpr uint8_t MANUFACTURER_DATA = 0x0F;
constexpr uint8_t MORE_RECORDS = 0x1F;
constexpr uint8_t GLOBAL_READOUT = 0x7F;
constexpr uint8_t SPECIAL_FUNCTION = 0x0F;  // data field bits
constexpr uint8_t VIF_PLAIN_TEXT = 0x7C;
constexpr int MAX_EXTENSIONS = 10;
constexpr uint8_t CI_SHORT_ANSWER = 0x7A;
constexpr uint8_t CI_NO_HEADER = 0x78;
constexpr size_t LONG_HEADER = 12;  // id, manufacturer, version, medium, access, status, signature
constexpr size_t SHORT_HEADER = 4;
constexpr uint8_t SECURITY_MODE_7 = 7;  // adds a configuration field extension byte

enum class Coding : uint8_t { None, Integer, Real, Bcd, Text, Binary };

struct Field {
  Coding coding;
  size_t length;
  bool negative = false;  // LVAR D0-D9
};

// By the DIF's data field; 0D (LVAR) and 0F (special) are handled apart.
constexpr Field FIELDS[16] = {
    {Coding::None, 0},    {Coding::Integer, 1}, {Coding::Integer, 2}, {Coding::Integer, 3},
    {Coding::Integer, 4}, {Coding::Real, 4},    {Coding::Integer, 6}, {Coding::Integer, 8},
    {Coding::None, 0},    {Coding::Bcd, 1},     {Coding::Bcd, 2},     {Coding::Bcd, 3},
    {Coding::Bcd, 4},     {Coding::None, 0},    {Coding::Bcd, 6},     {Coding::None, 0},
};

// False for the reserved LVAR values: the field's length is unknown.
bool lvarField(uint8_t lvar, Field& f) {
  if (lvar <= 0xBF) f = {Coding::Text, lvar};
  else if (lvar <= 0xC9) f = {Coding::Bcd, (size_t)(lvar - 0xC0)};
  else if (lvar >= 0xD0 && lvar <= 0xD9) f = {Coding::Bcd, (size_t)(lvar - 0xD0), true};
  else if (lvar >= 0xE0 && lvar <= 0xEF) f = {Coding::Binary, (size_t)(lvar - 0xE0)};
  else if (lvar >= 0xF0 && lvar <= 0xF4) f = {Coding::Binary, (size_t)(4 * (lvar - 0xEC))};
  else if (lvar == 0xF5 || lvar == 0xF6) f = {Coding::Binary, (size_t)(lvar == 0xF5 ? 48 : 64)};
  else return false;
  return true;
}

void setError(Record& r, std::string why) {
  r.kind = ValueKind::Error;
  r.text = std::move(why);
}

// Text is sent last character first; ISO 8859-1 becomes UTF-8.
std::string latin1Reversed(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = n; i-- > 0;) {
    const uint8_t c = p[i];
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) s += '?';
    else if (c < 0x80) s += (char)c;
    else s += {(char)(0xC0 | c >> 6), (char)(0x80 | (c & 0x3F))};
  }
  return s;
}

void readProfile(Record& r, const uint8_t* p, size_t n, const VifMeaning& m) {
  std::string why;
  if (readCompactProfile(p, n, m.profile, m.exponent, r.storage, r.profile, why)) {
    r.kind = ValueKind::Profile;
    return;
  }
  r.kind = ValueKind::Text;  // the bytes stay in view with the reason
  r.text = hexText(p, n);
  r.notes.push_back("compact profile not read: " + why);
}

void readValue(Record& r, const uint8_t* p, const Field& f, const VifMeaning& m) {
  const size_t n = f.length;
  if (m.profile != ProfileKind::None && f.coding != Coding::None) readProfile(r, p, n, m);
  else if (m.date && f.coding == Coding::Integer) readDate(r, p, n);
  else if (m.date && f.coding != Coding::None) setError(r, "a date in a data field that holds none");
  else if (m.hex && f.coding == Coding::Integer) r.kind = ValueKind::Text, r.text = hexMsbFirst(p, n);
  else if (f.coding == Coding::Integer) readInteger(r, p, n, m.integer, m.exponent);
  else if (f.coding == Coding::Bcd) readBcd(r, p, n, f.negative, m.exponent);
  else if (f.coding == Coding::Text) r.kind = ValueKind::Text, r.text = latin1Reversed(p, n);
  else if (f.coding == Coding::Real) {
    float v;
    std::memcpy(&v, p, 4);
    r.kind = ValueKind::Number;
    r.number = realText(v, m.exponent);
  } else if (f.coding == Coding::Binary && n <= 8 && n > 0) {
    readInteger(r, p, n, m.integer == IntegerType::BitField ? m.integer : IntegerType::Unsigned, m.exponent);
  } else if (f.coding == Coding::Binary) {
    r.kind = ValueKind::Text, r.text = hexMsbFirst(p, n);
  }
  if (!m.error.empty()) setError(r, m.error);
}

// One record from data[at]; false with `end` set when it cannot be read.
bool readRecord(const uint8_t* d, size_t n, size_t at, Record& r, DecodeEnd& end) {
  end = DecodeEnd::Truncated;
  const uint8_t dif = d[at];
  size_t p = at + 1;
  r.offset = at;
  r.storage = (dif >> 6) & 1;
  r.function = (RecordFunction)((dif >> 4) & 3);
  for (int k = 0, ext = dif & EXTENSION_BIT; ext; ++k) {
    if (k == MAX_EXTENSIONS) return end = DecodeEnd::TooManyDifes, false;
    if (p >= n) return false;
    const uint8_t dife = d[p++];
    r.storage |= (uint64_t)(dife & 0x0F) << (1 + 4 * k);
    r.tariff |= (uint32_t)((dife >> 4) & 3) << (2 * k);
    r.subunit |= (uint16_t)(((dife >> 6) & 1) << k);
    ext = dife & EXTENSION_BIT;
  }
  if (p >= n) return false;
  const uint8_t vif = d[p++];
  std::string plainUnit;
  if ((vif & 0x7F) == VIF_PLAIN_TEXT) {
    if (p >= n || d[p] > n - p - 1) return false;
    plainUnit = latin1Reversed(d + p + 1, d[p]);
    p += 1 + d[p];
  }
  const size_t vifes = p;
  for (int k = 0, ext = vif & EXTENSION_BIT; ext; ++k) {
    if (k == MAX_EXTENSIONS) return end = DecodeEnd::TooManyVifes, false;
    if (p >= n) return false;
    ext = d[p++] & EXTENSION_BIT;
  }
  const size_t vifeCount = p - vifes;
  Field f = FIELDS[dif & 0x0F];
  if ((dif & 0x0F) == 0x0D) {
    if (p >= n) return false;
    if (!lvarField(d[p++], f)) return end = DecodeEnd::ReservedLvar, false;
  }
  if (f.length > n - p) return false;
  r.dataOffset = p;
  r.dataLength = f.length;
  r.length = p + f.length - at;
  readValue(r, d + p, f, describeVif(vif, plainUnit, d + vifes, vifeCount, r));
  return true;
}

void readLongHeader(const uint8_t* h, MeterHeader& m) {
  m.hasIdentity = m.hasAccess = true;
  for (int i = 3; i >= 0; --i) m.id += hexText(h + i, 1);  // LSB first on the wire
  char letters[4];
  if (decodeManufacturer((uint16_t)(h[4] | h[5] << 8), letters)) m.manufacturer = letters;
  m.version = h[6];
  m.medium = h[7];
  m.accessNumber = h[8];
  m.status = h[9];
  m.signature = (uint16_t)(h[10] | h[11] << 8);
}

void readShortHeader(const uint8_t* h, MeterHeader& m) {
  m.hasAccess = true;
  m.accessNumber = h[0];
  m.status = h[1];
  m.signature = (uint16_t)(h[2] | h[3] << 8);
}

FrameRecords stopped(FrameRecords f, DecodeEnd end, size_t at) {
  f.list.end = end;
  f.list.stopOffset = at;
  return f;
}

// " every 15 min, increment: 1: 5, 2: 7"; positions with registers are storage numbers.
std::string profileText(const CompactProfile& p) {
  std::string s = " every " + std::to_string(p.spacing) + " " + p.spacingUnit + ", " + p.mode;
  const char* position = p.kind == ProfileKind::WithRegisters ? " storage " : " ";
  for (const ProfileElement& e : p.elements) s += std::string(",") + position + std::to_string(e.position) + ": " + e.value;
  return s;
}

}  // namespace

RecordList decodeRecords(const uint8_t* data, size_t length, size_t start) {
  RecordList list;
  size_t at = start < length ? start : length;
  while (at < length) {
    const uint8_t dif = data[at];
    if (dif == FILLER) {
      ++at;
      continue;
    }
    Record r;
    if (dif == MANUFACTURER_DATA || dif == MORE_RECORDS) {
      r.offset = at;
      r.length = length - at;
      r.dataOffset = at + 1;
      r.dataLength = length - at - 1;
      r.quantity = "Manufacturer data";
      r.kind = ValueKind::Text;
      r.text = hexText(data + at + 1, r.dataLength);
      list.records.push_back(std::move(r));
      list.end = dif == MORE_RECORDS ? DecodeEnd::MoreRecordsFollow : DecodeEnd::ManufacturerData;
      list.stopOffset = length;
      return list;
    }
    if (dif == GLOBAL_READOUT) {
      r.offset = at++;
      r.length = 1;
      r.dataOffset = at;
      r.quantity = "Global readout";
      list.records.push_back(std::move(r));
      continue;
    }
    DecodeEnd end = DecodeEnd::ReservedDif;
    if ((dif & SPECIAL_FUNCTION) == SPECIAL_FUNCTION || !readRecord(data, length, at, r, end)) {
      list.end = end;
      list.stopOffset = at;
      return list;
    }
    at += r.length;
    list.records.push_back(std::move(r));
  }
  list.stopOffset = at;
  return list;
}

FrameRecords decodeFrame(const uint8_t* f, size_t n) {
  FrameRecords out;
  if (n < 9 || f[0] != FRAME_START_LONG || f[3] != FRAME_START_LONG || f[1] != f[2] || f[1] < 3 ||
      n != (size_t)f[1] + 6 || f[n - 1] != FRAME_STOP)
    return stopped(out, DecodeEnd::NotALongFrame, 0);
  uint8_t sum = 0;
  for (size_t i = 4; i < n - 2; ++i) sum = (uint8_t)(sum + f[i]);
  if (sum != f[n - 2]) return stopped(out, DecodeEnd::BadChecksum, n - 2);
  MeterHeader& h = out.header;
  h.control = f[4];
  h.address = f[5];
  h.ci = f[FRAME_DATA_OFFSET];
  const size_t end = n - 2, header = FRAME_DATA_OFFSET + 1;
  size_t records = header;
  if (h.ci == CI_ANSWER) records += LONG_HEADER;
  else if (h.ci == CI_SHORT_ANSWER) records += SHORT_HEADER;
  else if (h.ci != CI_NO_HEADER) return stopped(out, DecodeEnd::UnsupportedCi, FRAME_DATA_OFFSET);
  if (records > end) return stopped(out, DecodeEnd::HeaderTruncated, header);
  if (h.ci == CI_ANSWER) readLongHeader(f + header, h);
  if (h.ci == CI_SHORT_ANSWER) readShortHeader(f + header, h);
  out.list = decodeRecords(f, end, records);
  return out;
}

FrameRecords decodeProtectedRecords(const uint8_t* part, size_t n) {
  FrameRecords out;
  if (n < 2 || part[0] != CI_PROTECTED) return stopped(out, DecodeEnd::UnsupportedCi, 0);
  const size_t tpl = aflTplOffset(part);
  if (tpl >= n) return stopped(out, DecodeEnd::HeaderTruncated, n);
  MeterHeader& h = out.header;
  h.ci = part[tpl];
  if (h.ci != CI_ANSWER && h.ci != CI_SHORT_ANSWER) return stopped(out, DecodeEnd::UnsupportedCi, tpl);
  const size_t header = h.ci == CI_ANSWER ? LONG_HEADER : SHORT_HEADER;
  const size_t config = tpl + 1 + header - 2;
  if (config + 2 > n) return stopped(out, DecodeEnd::HeaderTruncated, tpl);
  const size_t area = config + 2 + ((part[config + 1] & 0x1F) == SECURITY_MODE_7 ? 1 : 0);
  if (area + 2 > n) return stopped(out, DecodeEnd::HeaderTruncated, tpl);
  if (h.ci == CI_ANSWER) readLongHeader(part + tpl + 1, h);
  else readShortHeader(part + tpl + 1, h);
  if (part[area] != FILLER || part[area + 1] != FILLER) return stopped(out, DecodeEnd::NotDecrypted, area);
  out.list = decodeRecords(part, n, area + 2);
  return out;
}

CounterRecord findCounterRecord(const uint8_t* frame, size_t length) {
  static constexpr uint8_t COUNTER[3] = {0x04, 0xFD, 0x08};
  CounterRecord c;
  const FrameRecords f = decodeFrame(frame, length);
  for (const Record& r : f.list.records)
    if (r.length == 7 && !std::memcmp(frame + r.offset, COUNTER, 3)) {  // the length keeps the compare inside
      const uint8_t* v = frame + r.dataOffset;
      c.result = CounterSearch::Found;
      c.offset = r.offset;
      c.counter = readLittleEndian32(v);
      return c;
    }
  c.result = f.list.end == DecodeEnd::Complete ? CounterSearch::NotFound : CounterSearch::CannotWalk;
  return c;
}

bool isFiniteNumber(const std::string& number) {
  return !number.empty() && (number[0] == '-' ? number.size() > 1 && number[1] <= '9' : number[0] <= '9');
}

std::string formatRecord(const Record& r) {
  static const char* const functions[] = {"", "maximum", "minimum", "during error"};
  std::string line = "  " + r.quantity;
  const std::string unit = r.unit.empty() ? "" : " " + r.unit;
  if (r.kind == ValueKind::Number) line += " " + r.number + unit;
  else if (r.kind == ValueKind::Profile) line += ":" + profileText(r.profile) + unit;
  else if (r.kind == ValueKind::Text && !r.text.empty()) line += " " + r.text;
  else if (r.kind == ValueKind::Error) line += " error: " + r.text;
  std::string extra;
  auto add = [&](const std::string& s) { extra += (extra.empty() ? "" : ", ") + s; };
  if (r.storage) add("storage " + std::to_string(r.storage));
  if (r.tariff) add("tariff " + std::to_string(r.tariff));
  if (r.subunit) add("subunit " + std::to_string(r.subunit));
  if (r.function != RecordFunction::Instantaneous) add(functions[(int)r.function]);
  for (const std::string& note : r.notes) add(note);
  if (!r.rawVifes.empty()) add("VIFE " + hexText(r.rawVifes.data(), r.rawVifes.size(), " "));
  return extra.empty() ? line : line + " (" + extra + ")";
}

std::string describeEnd(const RecordList& list) {
  const std::string at = "stopped at byte " + std::to_string(list.stopOffset) + ": ";
  const std::string manufacturer =
      "manufacturer data from byte " + std::to_string(list.records.empty() ? 0 : list.records.back().offset);
  switch (list.end) {
    case DecodeEnd::Complete: return "records decoded to the end (byte " + std::to_string(list.stopOffset) + ")";
    case DecodeEnd::ManufacturerData: return manufacturer + " to the end";
    case DecodeEnd::MoreRecordsFollow: return manufacturer + " to the end; more records in the next telegram";
    case DecodeEnd::Truncated: return at + "the record runs past the end";
    case DecodeEnd::TooManyDifes: return at + "more than 10 DIFEs";
    case DecodeEnd::TooManyVifes: return at + "more than 10 VIFEs";
    case DecodeEnd::ReservedDif: return at + "a reserved special function, of unknown length";
    case DecodeEnd::ReservedLvar: return at + "a reserved LVAR, of unknown length";
    case DecodeEnd::NotALongFrame: return "not a long frame (start, length or stop byte)";
    case DecodeEnd::BadChecksum: return at + "the checksum is wrong";
    case DecodeEnd::UnsupportedCi: return at + "a CI field without records to read here";
    case DecodeEnd::HeaderTruncated: return at + "the header runs past the end";
    case DecodeEnd::NotDecrypted: return at + "no 2F 2F: the area is not decrypted";
  }
  return at;
}
