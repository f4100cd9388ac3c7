// SND_NKE and REQ_UD2: the bytes on the line, the console and the status line.
#include "commands/link_requests.h"

#include <gtest/gtest.h>

#include "link/link_frames.h"
#include "tests/support/fakes.h"

namespace {

const std::string kReqUd2Dump = "0x10 0x5B 0xFB 0x56 0x16 \n";
const std::string kSndNkeDump = "0x10 0x40 0xFB 0x3B 0x16 \n";

TEST(LinkRequests, ReqUd2PutsTheSameFiveBytesOnTheLineEachTime) {
  Harness h;
  h.connect();
  sendReqUd2(h.ctx);
  EXPECT_EQ(hex(h.port->written), "10 5B FB 56 16 ");
  sendReqUd2(h.ctx);
  EXPECT_EQ(hex(h.port->written), "10 5B FB 56 16 10 5B FB 56 16 ");
  EXPECT_EQ(h.console.text(), ">>> REQ_UD2\n" + kReqUd2Dump + ">>> REQ_UD2\n" + kReqUd2Dump);
  EXPECT_EQ(h.fields.status, "REQ_UD2 sent.");
}

TEST(LinkRequests, HeadingAndDumpArePrintedInTheSentStyle) {
  Harness h;
  h.connect();
  sendSndNke(h.ctx);
  EXPECT_EQ(hex(h.port->written), "10 40 FB 3B 16 ");
  ASSERT_FALSE(h.console.pieces().empty());
  EXPECT_EQ(h.console.pieces().front().text, ">>> SND_NKE\n");
  for (const auto& piece : h.console.pieces()) EXPECT_EQ(piece.style, STYLE_SENT) << piece.text;
  EXPECT_EQ(h.fields.status, "SND_NKE sent.");
}

TEST(LinkRequests, WithoutConnectionPrintedButNothingWritten) {
  Harness h;
  sendSndNke(h.ctx);
  EXPECT_TRUE(h.port->written.empty());
  EXPECT_EQ(h.console.text(), ">>> SND_NKE\n" + kSndNkeDump);
  EXPECT_EQ(h.fields.status, "SND_NKE sent.");
  sendReqUd2(h.ctx);
  EXPECT_TRUE(h.port->written.empty());
  EXPECT_EQ(h.fields.status, "REQ_UD2 sent.");
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
