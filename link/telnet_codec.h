// The telnet byte layer (RFC 854/855): IAC doubled in everything sent,
// commands and subnegotiations taken out of everything received.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace telnet {
constexpr uint8_t SE = 240, NOP = 241, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255;
constexpr uint8_t BINARY = 0, ECHO = 1, SUPPRESS_GO_AHEAD = 3, COM_PORT_OPTION = 44;  // RFC 856, 857, 858, 2217
}  // namespace telnet

struct TelnetEvent {
  uint8_t verb = 0;  // WILL, WONT, DO, DONT, or SB with the payload
  uint8_t option = 0;
  std::vector<uint8_t> payload;
};

// Appends the bytes with every 0xFF doubled.
void telnetEscape(const uint8_t* bytes, size_t length, std::vector<uint8_t>& out);
void telnetCommand(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);
// IAC SB option payload IAC SE, the payload escaped.
void telnetSubnegotiation(uint8_t option, const std::vector<uint8_t>& payload, std::vector<uint8_t>& out);

class TelnetDecoder {
 public:
  static constexpr size_t PAYLOAD_MAX = 64;  // longer subnegotiations are cut, not grown

  // Data bytes to data, commands to events, in the order they came; a
  // command split across two calls is completed by the second.
  void feed(const uint8_t* bytes, size_t length, std::vector<uint8_t>& data, std::vector<TelnetEvent>& events);

 private:
  enum class State { Data, Iac, Option, SbOption, SbData, SbIac };
  State state_ = State::Data;
  TelnetEvent pending_;
};
