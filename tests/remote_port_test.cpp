// Remote port names, the telnet layer and the RFC 2217 client without a
// network; bytes by hand from RFC 854 (IAC 255, SB 250, SE 240, WILL 251 to
// DONT 254), 856 (BINARY 0), 858 (SGA 3) and 2217 (COM-PORT-OPTION 44; SET-
// BAUDRATE 1, four bytes in network order; DATASIZE 2; PARITY 3, EVEN 3;
// STOPSIZE 4; CONTROL 5, 1 no flow control; PURGE-DATA 12; replies add 100).
#include <gtest/gtest.h>

#include <cstdlib>

#include "link/com_ports.h"
#include "link/remote_port_name.h"
#include "link/rfc2217_session.h"
#include "tests/support/virtual_line.h"

namespace {

TEST(RemotePortName, SchemesHostsAndPortsAreCheckedAndTaggedForFileNames) {
  const struct { const char* name; PortNameKind kind; const char* host; const char* tag; } rows[] = {
      {"/dev/ttyUSB0", PortNameKind::Local, "", ""},
      {"rfc2217://192.168.1.20:2000", PortNameKind::Rfc2217, "192.168.1.20", "192.168.1.20-2000"},
      {"socket://pi4.local:65535", PortNameKind::RawTcp, "pi4.local", "pi4.local-65535"},
      {"rfc2217://[::1]:4001", PortNameKind::Rfc2217, "::1", "__1-4001"},
      {"rfc2217://host", PortNameKind::Malformed, "", ""},
      {"rfc2217://host:0", PortNameKind::Malformed, "", ""},
      {"rfc2217://host:65536", PortNameKind::Malformed, "", ""},
      {"socket://host:2000/", PortNameKind::Malformed, "", ""},
      {"rfc2217://[]:2000", PortNameKind::Malformed, "", ""},
      {"RFC2217://host:2000", PortNameKind::Local, "", ""},
  };
  for (const auto& row : rows) {
    RemoteAddress address;
    EXPECT_EQ(classifyPortName(row.name, address), row.kind) << row.name;
    if (*row.tag) { EXPECT_EQ(address.host + " " + remotePortTag(address), std::string(row.host) + " " + row.tag); }
  }
}

TEST(RemotePortName, TheEnvironmentListKeepsRemoteNamesWhole) {
  putenv((char*)"MBUS_FWTOOL_PORTS=x:rfc2217://[::1]:2001:socket://127.0.0.1:2002:y");  // kept, never written
  enumerateComPorts();
  putenv((char*)"MBUS_FWTOOL_PORTS=");
  std::string names;
  for (int i = 0; i < comPortCount; ++i) names += std::string(comPortName(i)) + " ";
  EXPECT_NE(names.find("rfc2217://[::1]:2001 socket://127.0.0.1:2002 x y "), std::string::npos) << names;
}

// Each row is also fed in two parts, cut at every point.
TEST(TelnetCodec, IacIsDoubledGoingOutAndCommandsAreTakenOutComingIn) {
  std::vector<uint8_t> wire;
  const std::vector<uint8_t> line = fromHex("FF 00 FF FF 0D 00 F0 FA");
  telnetEscape(line.data(), line.size(), wire);
  EXPECT_EQ(hex(wire), "FF FF 00 FF FF FF FF 0D 00 F0 FA ");
  const struct { const char* behaviour; const char* wire; const char* data; const char* events; } rows[] = {
      {"DoubledIacIsOneDataByte", "FF FF 00 FF FF FF FF 0D 00 F0 FA", "FF 00 FF FF 0D 00 F0 FA ", ""},
      {"NegotiationBetweenData", "41 FF FB 01 42", "41 42 ", "FB 01 ; "},
      {"NopIsDropped", "41 FF F1 42", "41 42 ", ""},
      {"SubnegotiationKeepsItsEscapedIac", "FF FA 2C 65 00 FF FF 00 01 FF F0 43", "43 ", "FA 2C 65 00 FF 00 01 ; "},
      {"SubnegotiationEndedByAnotherCommand", "FF FA 2C 6B 00 FF FD 00", "", "FA 2C 6B 00 ; FD 00 ; "},
      {"SerialServersGreeting", "FF FB 03 FF FD 03 FF FB 01 FF FE 01 FF FD 00 FF FB 00 FF FD 2C", "",
       "FB 03 ; FD 03 ; FB 01 ; FE 01 ; FD 00 ; FB 00 ; FD 2C ; "},
  };
  for (const auto& row : rows)
    for (size_t cut = 0, size = fromHex(row.wire).size(); cut <= size; ++cut) {
      const std::vector<uint8_t> wire = fromHex(row.wire);
      TelnetDecoder decoder;
      std::vector<uint8_t> data;
      std::vector<TelnetEvent> events;
      decoder.feed(wire.data(), cut, data, events);
      decoder.feed(wire.data() + cut, size - cut, data, events);
      std::string got;
      for (const TelnetEvent& e : events) {
        std::vector<uint8_t> event{e.verb, e.option};
        event.insert(event.end(), e.payload.begin(), e.payload.end());
        got += hex(event) + "; ";
      }
      EXPECT_EQ(hex(data) + "| " + got, std::string(row.data) + "| " + row.events) << row.behaviour << " cut " << cut;
    }
}

// The server side of a session, as ser2net answers (its greeting and replies
// seen on our machines).
struct ScriptedServer {
  Rfc2217Session client;
  std::vector<uint8_t> sent, data;
  std::string answer(const char* wire) {
    const std::vector<uint8_t> bytes = fromHex(wire);
    sent.clear(), client.receive(bytes.data(), bytes.size(), data, sent);
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
  EXPECT_EQ(s.answer("FF FA 2C 6B 00 FF F0 FF FA 2C 65 00 00 25 80 FF F0 FF FA 2C 66 08 FF F0 "
                     "FF FA 2C 67 03 FF F0 FF FA 2C 68 01 FF F0"), "");
  EXPECT_EQ(s.client.state(), ComPortState::Negotiating) << "SET-CONTROL is not confirmed yet";
  EXPECT_EQ(s.answer("FF FA 2C 69 01 FF F0 E5 FF FF"), "");
  EXPECT_EQ(s.client.state(), ComPortState::Ready);
  EXPECT_EQ(hex(s.data), "E5 FF ");
  std::vector<uint8_t> out, frame = fromHex("68 FF FF 68");
  s.client.encode(frame.data(), frame.size(), out);
  s.client.purgeReceived(out);
  EXPECT_EQ(hex(out), "68 FF FF FF FF 68 FF FA 2C 0C 01 FF F0 ");
}

TEST(Rfc2217Session, AServerThatRefusesAnythingNeededEndsRefused) {
  const struct { const char* behaviour; int baud; const char* wire; } rows[] = {
      {"BinaryRefusedByTheServer", 9600, "FF FC 00"},
      {"OtherParity", 9600, "FF FA 2C 67 01 FF F0"},
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
  EXPECT_EQ(silent.answer("FF FD 2C FF FB 00"), "");
  EXPECT_EQ(silent.answer("FF FD 00").substr(0, 30), "FF FA 2C 01 00 00 09 60 FF F0 ");
}

// A serial server may drop what its line has received before each frame.
TEST(RemotePort, EveryFrameGoesOutRightAfterADiscardOfWhatTheLineReceived) {
  VirtualLine line;
  ASSERT_EQ(line.link.connect("rfc2217://pi:2000", 1), SerialOpenResult::Ok);
  const std::vector<uint8_t> sndNke = fromHex("10 40 FB 3B 16");
  line.link.writeFrame(sndNke.data(), 5);
  line.link.writeFrame(sndNke.data(), 5);
  EXPECT_EQ(line.port->discardedAt, (std::vector<size_t>{0, 5}));
}

}  // namespace
