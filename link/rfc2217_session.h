// The client side of RFC 2217 over a byte stream: agrees BINARY both ways
// and COM-PORT-OPTION, then sets the baud rate, 8 data bits, even parity, 1
// stop bit and no flow control, and is ready once the server has confirmed
// each. Everything sent goes through it escaped, everything received comes
// out unescaped.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/telnet_codec.h"

enum class ComPortState { Negotiating, Ready, Refused };

namespace comport {  // RFC 2217's command codes, client to server; replies add 100
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
                  PURGE_DATA = 12, SERVER_OFFSET = 100;
constexpr uint8_t PARITY_EVEN = 3, STOPSIZE_1 = 1, CONTROL_NO_FLOW = 1, PURGE_RECEIVE = 1;
}  // namespace comport

class Rfc2217Session {
 public:
  // What the client asks for first.
  void start(int baud, std::vector<uint8_t>& send);
  // Received bytes: the line's bytes to data, answers to the server to send.
  void receive(const uint8_t* bytes, size_t length, std::vector<uint8_t>& data, std::vector<uint8_t>& send);
  void encode(const uint8_t* bytes, size_t length, std::vector<uint8_t>& send) const;
  // Asks the server to drop what its line has received and not yet sent on.
  void purgeReceived(std::vector<uint8_t>& send) const;
  [[nodiscard]] ComPortState state() const { return state_; }

 private:
  enum class Side { No, Asked, Yes };  // one side of an option, after RFC 1143
  void negotiate(const TelnetEvent& event, std::vector<uint8_t>& send);
  void settingReply(const std::vector<uint8_t>& payload);
  void sendSettings(std::vector<uint8_t>& send);

  TelnetDecoder decoder_;
  ComPortState state_ = ComPortState::Negotiating;
  int baud_ = 0;
  Side ours_[256] = {};    // we perform the option (WILL)
  Side theirs_[256] = {};  // the server performs it (DO)
  bool settingsSent_ = false;
  unsigned confirmed_ = 0;  // bit n: the reply to command n came back as asked
};
