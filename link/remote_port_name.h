// Port names that reach a serial server over TCP: rfc2217://HOST:PORT (line
// settings sent with RFC 2217) and socket://HOST:PORT (raw bytes; the server
// fixes the framing). HOST is a name, an IPv4 address or an IPv6 address in
// brackets; PORT is 1 to 65535. Every other name is a local port.
#pragma once
#include <cstddef>
#include <string>

enum class PortNameKind { Local, Rfc2217, RawTcp, Malformed };

struct RemoteAddress {
  std::string host;     // without the brackets
  std::string service;  // the TCP port's digits
};

[[nodiscard]] PortNameKind classifyPortName(const std::string& name, RemoteAddress& address);
// Characters of the well-formed remote name that text starts with, up to the
// end of its TCP port; 0 when it starts with none. Lets a list separated by
// colons keep such names whole.
size_t remoteNameLength(const char* text);
// "HOST-PORT", every character a file name may not safely hold as '_'.
std::string remotePortTag(const RemoteAddress& address);
