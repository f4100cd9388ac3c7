#include "link/remote_port_name.h"

#include <cstring>

namespace {

constexpr const char* RFC2217_PREFIX = "rfc2217://";
constexpr const char* RAW_PREFIX = "socket://";

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isNameChar(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' || c == '_';
}

// The host and port after the prefix; the length they take, 0 when malformed.
size_t parseAddress(const char* text, RemoteAddress& address) {
  const char* p = text;
  if (*p == '[') {
    const char* close = std::strchr(p, ']');
    if (!close || close == p + 1) return 0;
    for (const char* c = p + 1; c < close; ++c)
      if (!isHex(*c) && *c != ':' && *c != '.') return 0;
    address.host.assign(p + 1, close);
    p = close + 1;
  } else {
    while (isNameChar(*p)) ++p;
    if (p == text) return 0;
    address.host.assign(text, p);
  }
  if (*p != ':') return 0;
  const char* digits = ++p;
  unsigned long value = 0;
  while (isDigit(*p) && p - digits < 5) value = value * 10 + (unsigned long)(*p++ - '0');
  if (p == digits || isDigit(*p) || value == 0 || value > 65535) return 0;
  address.service.assign(digits, p);
  return (size_t)(p - text);
}

size_t prefixLength(const char* text) {
  if (std::strncmp(text, RFC2217_PREFIX, std::strlen(RFC2217_PREFIX)) == 0) return std::strlen(RFC2217_PREFIX);
  if (std::strncmp(text, RAW_PREFIX, std::strlen(RAW_PREFIX)) == 0) return std::strlen(RAW_PREFIX);
  return 0;
}

}  // namespace

PortNameKind classifyPortName(const std::string& name, RemoteAddress& address) {
  const size_t prefix = prefixLength(name.c_str());
  if (prefix == 0) return PortNameKind::Local;
  const size_t length = parseAddress(name.c_str() + prefix, address);
  if (length == 0 || prefix + length != name.size()) return PortNameKind::Malformed;
  return name[0] == 'r' ? PortNameKind::Rfc2217 : PortNameKind::RawTcp;
}

size_t remoteNameLength(const char* text) {
  const size_t prefix = prefixLength(text);
  if (prefix == 0) return 0;
  RemoteAddress unused;
  const size_t length = parseAddress(text + prefix, unused);
  return length == 0 ? 0 : prefix + length;
}

std::string remotePortTag(const RemoteAddress& address) {
  std::string tag = address.host + "-" + address.service;
  for (char& c : tag)
    if (!isNameChar(c)) c = '_';
  return tag;
}
