#include "link/telnet_codec.h"

using namespace telnet;

void telnetEscape(const uint8_t* bytes, size_t length, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < length; ++i) {
    out.push_back(bytes[i]);
    if (bytes[i] == IAC) out.push_back(IAC);
  }
}

void telnetCommand(uint8_t verb, uint8_t option, std::vector<uint8_t>& out) {
  out.insert(out.end(), {IAC, verb, option});
}

void telnetSubnegotiation(uint8_t option, const std::vector<uint8_t>& payload, std::vector<uint8_t>& out) {
  out.insert(out.end(), {IAC, SB, option});
  telnetEscape(payload.data(), payload.size(), out);
  out.insert(out.end(), {IAC, SE});
}

void TelnetDecoder::feed(const uint8_t* bytes, size_t length, std::vector<uint8_t>& data,
                         std::vector<TelnetEvent>& events) {
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = bytes[i];
    switch (state_) {
      case State::Data:
        if (b == IAC)
          state_ = State::Iac;
        else
          data.push_back(b);
        break;
      case State::Iac:
        if (b == IAC) {
          data.push_back(IAC);
          state_ = State::Data;
        } else if (b >= WILL) {
          pending_ = TelnetEvent{b, 0, {}};
          state_ = State::Option;
        } else if (b == SB) {
          pending_ = TelnetEvent{SB, 0, {}};
          state_ = State::SbOption;
        } else {
          state_ = State::Data;  // NOP, GA, a stray SE and the like carry nothing for us
        }
        break;
      case State::Option:
        pending_.option = b;
        events.push_back(pending_);
        state_ = State::Data;
        break;
      case State::SbOption:
        pending_.option = b;
        state_ = State::SbData;
        break;
      case State::SbData:
        if (b == IAC)
          state_ = State::SbIac;
        else if (pending_.payload.size() < PAYLOAD_MAX)
          pending_.payload.push_back(b);
        break;
      case State::SbIac:
        if (b == IAC) {
          if (pending_.payload.size() < PAYLOAD_MAX) pending_.payload.push_back(IAC);
          state_ = State::SbData;
          break;
        }
        events.push_back(pending_);
        // IAC SE ends it; any other command after IAC ends it too, and counts.
        state_ = State::Iac;
        if (b == SE)
          state_ = State::Data;
        else
          --i;
        break;
    }
  }
}
