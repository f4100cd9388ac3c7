#include "link/rfc2217_session.h"

using namespace telnet;

namespace {

constexpr unsigned ALL_SETTINGS = 1u << comport::SET_BAUDRATE | 1u << comport::SET_DATASIZE |
                                  1u << comport::SET_PARITY | 1u << comport::SET_STOPSIZE |
                                  1u << comport::SET_CONTROL;

std::vector<uint8_t> baudBytes(int baud) {  // network byte order
  const uint32_t b = (uint32_t)baud;
  return {(uint8_t)(b >> 24), (uint8_t)(b >> 16), (uint8_t)(b >> 8), (uint8_t)b};
}

// What we ask the server to perform or agree to perform ourselves.
bool wanted(uint8_t option) { return option == BINARY || option == SUPPRESS_GO_AHEAD; }
bool offered(uint8_t option) { return option == BINARY || option == SUPPRESS_GO_AHEAD || option == COM_PORT_OPTION; }

}  // namespace

void Rfc2217Session::start(int baud, std::vector<uint8_t>& send) {
  baud_ = baud;
  for (uint8_t option : {COM_PORT_OPTION, BINARY}) {
    telnetCommand(WILL, option, send);
    ours_[option] = Side::Asked;
  }
  telnetCommand(DO, BINARY, send);
  theirs_[BINARY] = Side::Asked;
}

void Rfc2217Session::receive(const uint8_t* bytes, size_t length, std::vector<uint8_t>& data,
                             std::vector<uint8_t>& send) {
  std::vector<TelnetEvent> events;
  decoder_.feed(bytes, length, data, events);
  for (const TelnetEvent& event : events) {
    if (event.verb == SB) {
      if (event.option == COM_PORT_OPTION) settingReply(event.payload);
    } else {
      negotiate(event, send);
    }
  }
  if (state_ == ComPortState::Negotiating && !settingsSent_ && ours_[BINARY] == Side::Yes &&
      theirs_[BINARY] == Side::Yes && ours_[COM_PORT_OPTION] == Side::Yes)
    sendSettings(send);
}

// Answers a request that changes a side, never an acknowledgement: no loops.
// BINARY both ways and COM-PORT-OPTION are what we need; losing one refuses.
void Rfc2217Session::negotiate(const TelnetEvent& event, std::vector<uint8_t>& send) {
  const uint8_t o = event.option;
  const bool asksUs = event.verb == DO || event.verb == DONT;
  Side& side = asksUs ? ours_[o] : theirs_[o];
  const bool on = event.verb == DO || event.verb == WILL;
  const uint8_t yes = asksUs ? WILL : DO, no = asksUs ? WONT : DONT;
  if (on) {
    if (side == Side::Yes) return;
    if (side == Side::Asked || (asksUs ? offered(o) : wanted(o))) {
      if (side == Side::No) telnetCommand(yes, o, send);
      side = Side::Yes;
    } else {
      telnetCommand(no, o, send);  // ECHO among them: the server must not send our bytes back
    }
    return;
  }
  if (side == Side::No) return;
  if (side == Side::Yes) telnetCommand(no, o, send);
  side = Side::No;
  if (o == BINARY || (o == COM_PORT_OPTION && asksUs)) state_ = ComPortState::Refused;
}

void Rfc2217Session::sendSettings(std::vector<uint8_t>& send) {
  using namespace comport;
  const struct { uint8_t command; std::vector<uint8_t> value; } settings[] = {
      {SET_BAUDRATE, baudBytes(baud_)}, {SET_DATASIZE, {8}}, {SET_PARITY, {PARITY_EVEN}},
      {SET_STOPSIZE, {STOPSIZE_1}}, {SET_CONTROL, {CONTROL_NO_FLOW}}};
  for (const auto& s : settings) {
    std::vector<uint8_t> payload{s.command};
    payload.insert(payload.end(), s.value.begin(), s.value.end());
    telnetSubnegotiation(COM_PORT_OPTION, payload, send);
  }
  settingsSent_ = true;
}

// A reply carries the value the server now uses: another one is a refusal.
void Rfc2217Session::settingReply(const std::vector<uint8_t>& payload) {
  using namespace comport;
  if (payload.empty() || !settingsSent_ || state_ != ComPortState::Negotiating) return;
  const int command = payload[0] - SERVER_OFFSET;
  if (command < SET_BAUDRATE || command > SET_CONTROL) return;  // notifications, purge replies
  const std::vector<uint8_t> value(payload.begin() + 1, payload.end());
  std::vector<uint8_t> expected;
  switch (command) {
    case SET_BAUDRATE: expected = baudBytes(baud_); break;
    case SET_DATASIZE: expected = {8}; break;
    case SET_PARITY: expected = {PARITY_EVEN}; break;
    case SET_STOPSIZE: expected = {STOPSIZE_1}; break;
    default: expected = {CONTROL_NO_FLOW}; break;
  }
  if (value != expected) {
    state_ = ComPortState::Refused;
    return;
  }
  confirmed_ |= 1u << command;
  if (confirmed_ == ALL_SETTINGS) state_ = ComPortState::Ready;
}

void Rfc2217Session::encode(const uint8_t* bytes, size_t length, std::vector<uint8_t>& send) const {
  telnetEscape(bytes, length, send);
}

void Rfc2217Session::purgeReceived(std::vector<uint8_t>& send) const {
  if (state_ == ComPortState::Ready)
    telnetSubnegotiation(COM_PORT_OPTION, {comport::PURGE_DATA, comport::PURGE_RECEIVE}, send);
}
