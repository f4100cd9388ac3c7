#include "link/records.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "interfaces/byte_order.h"
#include "interfaces/text_format.h"
#include "link/link_frames.h"
#include "link/record_units.h"
#include "link/telegram.h"

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
  else return false;
  return true;
}

double scaled(double v, int exponent) {
  // Dividing by an exact power of ten keeps 2850427 * 10^-2 at 28504.27.
  double p = 1;
  for (int i = 0; i < std::abs(exponent); ++i) p *= 10;
  return exponent < 0 ? v / p : v * p;
}

void setNumber(Record& r, double v, int exponent) {
  r.kind = ValueKind::Number;
  r.number = v == 0 ? 0 : scaled(v, exponent);  // no "-0" from a negative BCD zero
}

void setError(Record& r, std::string why) {
  r.kind = ValueKind::Error;
  r.text = std::move(why);
}

void readInteger(Record& r, const uint8_t* p, size_t n, int exponent) {
  uint64_t u = 0;
  for (size_t i = n; i-- > 0;) u = u << 8 | p[i];
  if (n < 8 && (p[n - 1] & 0x80)) u |= ~0ull << (8 * n);
  setNumber(r, (double)(int64_t)u, exponent);
}

void readBcd(Record& r, const uint8_t* p, size_t n, bool negative, int exponent) {
  uint64_t v = 0;
  std::string digits;  // most significant first, for the error text
  bool bad = false;
  for (size_t i = n; i-- > 0;)
    for (int shift = 4; shift >= 0; shift -= 4) {
      const int digit = (p[i] >> shift) & 15;
      digits += "0123456789ABCDEF"[digit];
      if (i == n - 1 && shift == 4 && digit == 15) negative = true;  // a leading F is the minus sign
      else if (digit > 9) bad = true;
      else v = v * 10 + (uint64_t)digit;
    }
  if (bad) return setError(r, "BCD " + digits);
  setNumber(r, negative ? -(double)v : (double)v, exponent);
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

// Types G (2 bytes), J (3), F (4) and I (6) of EN 13757-3. Years 0-80
// without a hundreds field are taken as 2000-2080.
void readDate(Record& r, const uint8_t* p, size_t n) {
  int year = -1, hundreds = 0, month = 1, day = 1, hour = -1, minute = 0, second = -1;
  bool invalid = false;
  auto date = [&](uint8_t d, uint8_t m) {
    day = d & 0x1F;
    month = m & 0x0F;
    year = (d >> 5) | (m >> 4) << 3;
  };
  if (n == 2) {
    date(p[0], p[1]);
  } else if (n == 3 || n == 6) {
    second = p[0] & 0x3F;
    minute = p[1] & 0x3F;
    invalid = n == 6 && (p[1] & 0x80);  // type J has no invalid flag
    hour = p[2] & 0x1F;
    if (n == 6) date(p[3], p[4]);
  } else if (n == 4) {
    minute = p[0] & 0x3F;
    invalid = p[0] & 0x80;
    hour = p[1] & 0x1F;
    hundreds = (p[1] >> 5) & 3;
    date(p[2], p[3]);
  } else {
    return setError(r, "no date or time in " + std::to_string(n) + " bytes");
  }
  if (invalid) return setError(r, "time marked invalid");
  if ((year >= 0 && (year > 99 || day < 1 || month < 1 || month > 12)) || hour > 23 || minute > 59 || second > 59)
    return setError(r, "no date: " + hexText(p, n));
  char s[32] = "";
  size_t k = 0;
  if (year >= 0) {
    const int full = 1900 + 100 * hundreds + year + (hundreds == 0 && year <= 80 ? 100 : 0);
    k = (size_t)std::snprintf(s, sizeof s, "%04d-%02d-%02d%s", full, month, day, hour >= 0 ? "T" : "");
  }
  if (hour >= 0) k += (size_t)std::snprintf(s + k, sizeof s - k, "%02d:%02d", hour, minute);
  if (second >= 0) std::snprintf(s + k, sizeof s - k, ":%02d", second);
  r.kind = ValueKind::Text;
  r.text = s;
}

void readValue(Record& r, const uint8_t* p, const Field& f, const VifMeaning& m) {
  const size_t n = f.length;
  if (m.date && f.coding == Coding::Integer) readDate(r, p, n);
  else if (m.date && f.coding != Coding::None) setError(r, "a date in a data field that holds none");
  else if (f.coding == Coding::Integer) readInteger(r, p, n, m.exponent);
  else if (f.coding == Coding::Bcd) readBcd(r, p, n, f.negative, m.exponent);
  else if (f.coding == Coding::Text) r.kind = ValueKind::Text, r.text = latin1Reversed(p, n);
  else if (f.coding == Coding::Real) {
    float v;
    std::memcpy(&v, p, 4);
    setNumber(r, v, m.exponent);
  } else if (f.coding == Coding::Binary && n <= 8) {
    uint64_t u = 0;
    for (size_t i = n; i-- > 0;) u = u << 8 | p[i];
    setNumber(r, (double)u, m.exponent);
  } else if (f.coding == Coding::Binary) {
    r.kind = ValueKind::Text, r.text = hexText(p, n);
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

std::string formatNumber(double v) {
  char s[40];
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e18) std::snprintf(s, sizeof s, "%.0f", v);
  else std::snprintf(s, sizeof s, "%.15g", v);
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

std::string formatRecord(const Record& r) {
  static const char* const functions[] = {"", "maximum", "minimum", "during error"};
  std::string line = "  " + r.quantity;
  if (r.kind == ValueKind::Number) line += " " + formatNumber(r.number) + (r.unit.empty() ? "" : " " + r.unit);
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
