#include "records/record_values.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int PLAIN_LIMIT = 24;  // beyond this many zeros a decimal is written with an exponent

// Digits (no leading zeros unless "0") times 10^exponent, exactly.
std::string shifted(std::string digits, bool negative, int exponent) {
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";  // no "-0" from a negative zero
  digits.erase(0, first);
  while (exponent < 0 && digits.size() > 1 && digits.back() == '0') digits.pop_back(), ++exponent;
  if (exponent < 0 && digits == "0") exponent = 0;
  std::string s = negative ? "-" : "";
  const int n = (int)digits.size();
  if (exponent > PLAIN_LIMIT || -exponent - n > PLAIN_LIMIT) {
    s += digits.substr(0, 1) + (n > 1 ? "." + digits.substr(1) : "") + "e" + std::to_string(exponent + n - 1);
  } else if (exponent >= 0) {
    s += digits + std::string((size_t)exponent, '0');
  } else if (-exponent >= n) {
    s += "0." + std::string((size_t)(-exponent - n), '0') + digits;
  } else {
    s += digits.substr(0, (size_t)(n + exponent)) + "." + digits.substr((size_t)(n + exponent));
  }
  return s;
}

void setNumber(Record& r, std::string text) {
  r.kind = ValueKind::Number;
  r.number = std::move(text);
}

void setError(Record& r, std::string why) {
  r.kind = ValueKind::Error;
  r.text = std::move(why);
}

}  // namespace

std::string decimalText(uint64_t magnitude, bool negative, int exponent) {
  return shifted(std::to_string(magnitude), negative, exponent);
}

std::string realText(float v, int exponent) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  char s[40];
  for (int precision = 0; precision < 9; ++precision) {
    std::snprintf(s, sizeof s, "%.*e", precision, (double)v);
    if (std::strtof(s, nullptr) == v) break;
  }
  // "-d.ddde+XX": the digits without the point, and the exponent of the last one.
  std::string text = s, digits;
  const size_t e = text.find('e');
  for (size_t i = 0; i < e; ++i)
    if (text[i] >= '0' && text[i] <= '9') digits += text[i];
  const int power = std::atoi(text.c_str() + e + 1) - (int)digits.size() + 1;
  return shifted(digits, v < 0, power + exponent);
}

std::string hexMsbFirst(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = n; i-- > 0;) s += hexText(p + i, 1);
  return s;
}

void readInteger(Record& r, const uint8_t* p, size_t n, IntegerType type, int exponent) {
  if (type == IntegerType::BitField) {
    r.kind = ValueKind::Text;
    r.text = "0x" + hexMsbFirst(p, n);
    return;
  }
  uint64_t u = 0;
  for (size_t i = n; i-- > 0;) u = u << 8 | p[i];
  const bool negative = type == IntegerType::Signed && (p[n - 1] & 0x80);
  if (negative && n < 8) u |= ~0ull << (8 * n);
  setNumber(r, decimalText(negative ? ~u + 1 : u, negative, exponent));  // ~u + 1 holds even -2^63
}

void readBcd(Record& r, const uint8_t* p, size_t n, bool negative, int exponent) {
  std::string digits, sent;  // the value's digits; all of them, most significant first, for the error text
  bool bad = false;
  for (size_t i = n; i-- > 0;)
    for (int shift = 4; shift >= 0; shift -= 4) {
      const int digit = (p[i] >> shift) & 15;
      sent += "0123456789ABCDEF"[digit];
      if (i == n - 1 && shift == 4 && digit == 15) negative = true;
      else if (digit > 9) bad = true;
      else digits += (char)('0' + digit);
    }
  if (bad) return setError(r, "BCD " + sent);
  setNumber(r, shifted(digits, negative, exponent));
}

// Years 0-80 without a hundreds field are taken as 2000-2080.
void readDate(Record& r, const uint8_t* p, size_t n) {
  int year = -1, hundreds = 0, month = 1, day = 1, hour = -1, minute = 0, second = -1;
  bool invalid = false, summer = false;
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
    summer = n == 6 && (p[0] & 0x40);
    hour = p[2] & 0x1F;
    if (n == 6) date(p[3], p[4]);
  } else if (n == 4) {
    minute = p[0] & 0x3F;
    invalid = p[0] & 0x80;
    hour = p[1] & 0x1F;
    hundreds = (p[1] >> 5) & 3;
    summer = p[1] & 0x80;
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
  if (summer) r.notes.push_back("summer time");
}
