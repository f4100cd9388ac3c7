// Remote port names, the telnet byte layer and the RFC 2217 client, without
// a network: byte tables built by hand from RFC 854 (IAC 255, SB 250, SE 240,
// WILL 251, WONT 252, DO 253, DONT 254), RFC 856 (BINARY 0), RFC 858 (SGA 3)
// and RFC 2217 (COM-PORT-OPTION 44; SET-BAUDRATE 1 with four bytes in network
// order, SET-DATASIZE 2, SET-PARITY 3 with EVEN 3, SET-STOPSIZE 4, SET-CONTROL
// 5 with 1 for no flow control, PURGE-DATA 12; the server's replies add 100).
#include <gtest/gtest.h>

#include <cstdlib>

#include "link/com_ports.h"
#include "link/remote_port_name.h"
#include "link/rfc2217_session.h"
#include "link/telnet_codec.h"
#include "tests/support/fakes.h"

namespace {

TEST(RemotePortName, SchemesHostsAndPortsAreCheckedAndTaggedForFileNames) {
  const struct { const char* name; PortNameKind kind; const char* host; const char* tag; } rows[] = {
      {"/dev/ttyUSB0", PortNameKind::Local, "", ""},
      {"COM7", PortNameKind::Local, "", ""},
      {"rfc2217://192.168.1.20:2000", PortNameKind::Rfc2217, "192.168.1.20", "192.168.1.20-2000"},
      {"socket://pi4.local:65535", PortNameKind::RawTcp, "pi4.local", "pi4.local-65535"},
      {"rfc2217://[::1]:4001", PortNameKind::Rfc2217, "::1", "__1-4001"},
      {"rfc2217://[fe80::1%eth0]:4001", PortNameKind::Malformed, "", ""},
      {"rfc2217://host", PortNameKind::Malformed, "", ""},
      {"rfc2217://host:", PortNameKind::Malformed, "", ""},
      {"rfc2217://host:0", PortNameKind::Malformed, "", ""},
      {"rfc2217://host:65536", PortNameKind::Malformed, "", ""},
      {"rfc2217://host:123456", PortNameKind::Malformed, "", ""},
      {"socket://host:2000/", PortNameKind::Malformed, "", ""},
      {"socket://:2000", PortNameKind::Malformed, "", ""},
      {"socket://a/b:2000", PortNameKind::Malformed, "", ""},
      {"rfc2217://[]:2000", PortNameKind::Malformed, "", ""},
      {"RFC2217://host:2000", PortNameKind::Local, "", ""},
  };
  for (const auto& row : rows) {
    RemoteAddress address;
    EXPECT_EQ(classifyPortName(row.name, address), row.kind) << row.name;
    if (row.kind != PortNameKind::Rfc2217 && row.kind != PortNameKind::RawTcp) continue;
    EXPECT_EQ(address.host, row.host) << row.name;
    EXPECT_EQ(remotePortTag(address), row.tag) << row.name;
  }
}

TEST(RemotePortName, TheEnvironmentListKeepsRemoteNamesWhole) {
  setenv("MBUS_FWTOOL_PORTS", "/tmp/a:rfc2217://[::1]:2001:socket://127.0.0.1:2002:/tmp/b", 1);
  enumerateComPorts();
  unsetenv("MBUS_FWTOOL_PORTS");
  std::string names;
  for (int i = 0; i < comPortCount; ++i)
    if (std::string(comPortName(i)).find("/tmp/") == 0 || std::string(comPortName(i)).find("://") != std::string::npos)
      names += std::string(comPortName(i)) + " ";
  EXPECT_EQ(names, "/tmp/a /tmp/b rfc2217://[::1]:2001 socket://127.0.0.1:2002 ");
}

TEST(TelnetCodec, EveryIacIsDoubledGoingOutAndSingledComingIn) {
  const std::vector<uint8_t> line = fromHex("FF 00 FF FF 0D 00 F0 FA");
  std::vector<uint8_t> wire;
  telnetEscape(line.data(), line.size(), wire);
  EXPECT_EQ(hex(wire), hex(fromHex("FF FF 00 FF FF FF FF 0D 00 F0 FA")));
  // Split at every point, an escape or a command cut in two included.
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    TelnetDecoder decoder;
    std::vector<uint8_t> data;
    std::vector<TelnetEvent> events;
    decoder.feed(wire.data(), cut, data, events);
    decoder.feed(wire.data() + cut, wire.size() - cut, data, events);
    EXPECT_EQ(hex(data), hex(line)) << "cut at " << cut;
    EXPECT_TRUE(events.empty());
  }
}

TEST(TelnetCodec, CommandsAndSubnegotiationsAreTakenOutOfTheData) {
  const struct { const char* behaviour; const char* wire; const char* data; const char* events; } rows[] = {
      {"NegotiationBetweenData", "41 FF FB 01 42", "41 42 ", "FB:01; "},
      {"NopIsDropped", "41 FF F1 42", "41 42 ", ""},
      {"SubnegotiationKeepsItsEscapedIac", "FF FA 2C 65 00 FF FF 00 01 FF F0 43", "43 ", "FA:2C 65 00 FF 00 01 ; "},
      {"SubnegotiationEndedByAnotherCommand", "FF FA 2C 6B 00 FF FD 00", "", "FA:2C 6B 00 ; FD:00; "},
      {"SerialServersGreeting", "FF FB 03 FF FD 03 FF FB 01 FF FE 01 FF FD 00 FF FB 00 FF FD 2C", "",
       "FB:03; FD:03; FB:01; FE:01; FD:00; FB:00; FD:2C; "},
  };
  for (const auto& row : rows) {
    const std::vector<uint8_t> wire = fromHex(row.wire);
    TelnetDecoder decoder;
    std::vector<uint8_t> data;
    std::vector<TelnetEvent> events;
    decoder.feed(wire.data(), wire.size(), data, events);
    std::string got;
    for (const TelnetEvent& e : events) {
      const uint8_t head[] = {e.verb};
      got += hex(head, 1).substr(0, 2) + ":";
      if (e.verb == telnet::SB) {
        std::vector<uint8_t> body{e.option};
        body.insert(body.end(), e.payload.begin(), e.payload.end());
        got += hex(body) + "; ";
      } else {
        const uint8_t option[] = {e.option};
        got += hex(option, 1).substr(0, 2) + "; ";
      }
    }
    EXPECT_EQ(hex(data), row.data) << row.behaviour;
    EXPECT_EQ(got, row.events) << row.behaviour;
  }
}

// The server side of a session, as ser2net answers (its greeting and replies
// seen on our machines).
struct ScriptedServer {
  Rfc2217Session client;
  std::vector<uint8_t> sent, data;
  std::string answer(const char* wire) {
    sent.clear();
    const std::vector<uint8_t> bytes = fromHex(wire);
    client.receive(bytes.data(), bytes.size(), data, sent);
    return hex(sent);
  }
};

TEST(Rfc2217Session, AgreesBinaryAndComPortThenSetsTheLineAndChecksEveryReply) {
  ScriptedServer s;
  s.client.start(9600, s.sent);
  EXPECT_EQ(hex(s.sent), "FF FB 2C FF FB 00 FF FD 00 ");
  // SGA accepted both ways, ECHO refused, BINARY and COM-PORT-OPTION already asked for: no answer.
  EXPECT_EQ(s.answer("FF FB 03 FF FD 03 FF FB 01 FF FE 01 FF FD 00 FF FB 00 FF FD 2C"),
            "FF FD 03 FF FB 03 FF FE 01 "
            "FF FA 2C 01 00 00 25 80 FF F0 FF FA 2C 02 08 FF F0 FF FA 2C 03 03 FF F0 "
            "FF FA 2C 04 01 FF F0 FF FA 2C 05 01 FF F0 ");
  EXPECT_EQ(s.client.state(), ComPortState::Negotiating);
  EXPECT_EQ(s.answer("FF FA 2C 6B 00 FF F0 FF FA 2C 65 00 00 25 80 FF F0 FF FA 2C 66 08 FF F0 "
                     "FF FA 2C 67 03 FF F0 FF FA 2C 68 01 FF F0"), "");
  EXPECT_EQ(s.client.state(), ComPortState::Negotiating) << "SET-CONTROL is not confirmed yet";
  EXPECT_EQ(s.answer("FF FA 2C 69 01 FF F0 E5 FF FF"), "");
  EXPECT_EQ(s.client.state(), ComPortState::Ready);
  EXPECT_EQ(hex(s.data), "E5 FF ");
  std::vector<uint8_t> out;
  const std::vector<uint8_t> frame = fromHex("68 FF FF 68");
  s.client.encode(frame.data(), frame.size(), out);
  s.client.purgeReceived(out);
  EXPECT_EQ(hex(out), "68 FF FF FF FF 68 FF FA 2C 0C 01 FF F0 ");
}

TEST(Rfc2217Session, AServerThatRefusesAnythingNeededEndsRefused) {
  const struct { const char* behaviour; int baud; const char* wire; } rows[] = {
      {"ComPortOptionRefused", 9600, "FF FE 2C"},
      {"BinaryRefusedToUs", 9600, "FF FE 00"},
      {"BinaryRefusedByTheServer", 9600, "FF FC 00"},
      {"OtherParity", 9600, "FF FA 2C 67 01 FF F0"},
      {"OtherBaud", 2400, "FF FA 2C 65 00 00 25 80 FF F0"},
      {"FlowControlKept", 2400, "FF FA 2C 69 03 FF F0"},
  };
  for (const auto& row : rows) {
    ScriptedServer s;
    s.client.start(row.baud, s.sent);
    if (row.wire[4] == 'A') s.answer("FF FD 2C FF FD 00 FF FB 00");  // a reply: agreed first
    s.answer(row.wire);
    EXPECT_EQ(s.client.state(), ComPortState::Refused) << row.behaviour;
  }
  ScriptedServer silent;  // settings not sent before both sides agreed
  silent.client.start(2400, silent.sent);
  EXPECT_EQ(silent.answer("FF FD 2C FF FD 00"), "");
  EXPECT_EQ(silent.answer("FF FB 00"), "FF FA 2C 01 00 00 09 60 FF F0 FF FA 2C 02 08 FF F0 FF FA 2C 03 03 FF F0 "
                                       "FF FA 2C 04 01 FF F0 FF FA 2C 05 01 FF F0 ");
}

}  // namespace
