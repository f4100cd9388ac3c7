// SND_NKE and REQ_UD2: the bytes written, the console and the status line.
// The bytes on a real line are checked in connection_test.
#include "commands/link_requests.h"

#include <gtest/gtest.h>

#include "link/link_frames.h"
#include "tests/support/fakes.h"

namespace {

TEST(LinkRequests, PrintedAndReportedSentWrittenOnlyWhileConnected) {
  const struct {
    void (*send)(ToolContext&);
    const char* bytes;
    const char* console;
    const char* status;
  } requests[] = {
      {sendSndNke, "10 40 FB 3B 16 ", ">>> SND_NKE\n0x10 0x40 0xFB 0x3B 0x16 \n", "SND_NKE sent."},
      {sendReqUd2, "10 5B FB 56 16 ", ">>> REQ_UD2\n0x10 0x5B 0xFB 0x56 0x16 \n", "REQ_UD2 sent."},
  };
  for (bool connected : {true, false}) {
    for (const auto& r : requests) {
      SCOPED_TRACE(std::string(r.status) + (connected ? " connected" : " not connected"));
      Harness h;
      if (connected) h.connect();
      r.send(h.ctx);
      EXPECT_EQ(hex(h.port->written), connected ? r.bytes : "");
      EXPECT_EQ(h.console.text(), r.console);
      for (const auto& piece : h.console.pieces()) EXPECT_EQ(piece.style, STYLE_SENT) << piece.text;
      EXPECT_EQ(h.fields.status, r.status);
    }
  }
}

TEST(LinkRequests, RequestArmsReceiverAndDropsHalfReceivedAnswer) {
  Harness h;
  resetReceiver();
  receiveByte(0x68);
  receiveByte(0x05);
  sendReqUd2(h.ctx);
  EXPECT_EQ(rxState, RX_IDLE);
  EXPECT_EQ(linkLength, 0);
  EXPECT_EQ(hex(linkBuffer, 5), "10 5B FB 56 16 ");
  EXPECT_EQ(receiveByte(0xE5), RX_ACK);
}

TEST(LinkRequests, SharedSendStepWritesTheBuiltLongFrame) {
  Harness h;
  h.connect();
  const uint8_t data[] = {0x51, 0x01};
  buildLongFrame(LINK_ADDRESS, C_SND_UD, data, sizeof data);
  sendBuiltFrame(h.ctx, ">>> Test\n");
  EXPECT_EQ(hex(h.port->written), "68 04 04 68 53 FB 51 01 A0 16 ");
  EXPECT_EQ(h.console.text(), ">>> Test\n0x68 0x04 0x04 0x68 0x53 0xFB 0x51 0x01 0xA0 0x16 \n");
  EXPECT_EQ(linkLength, 0);
  EXPECT_EQ(rxState, RX_IDLE);
}

}  // namespace
