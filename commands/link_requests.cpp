#include "commands/link_requests.h"

#include "link/connection.h"
#include "link/link_frames.h"
#include "link/telegram.h"

void sendBuiltFrame(ToolContext& ctx, const char* heading) {
  const BuiltFrame frame = takeBuiltFrame();  // and the receiver armed for its answer
  ctx.link.writeFrame(frame.bytes, frame.length);
  ctx.out.outputText(heading, STYLE_SENT);
  ctx.out.dumpSentBytes(frame.bytes, frame.length);
}

void sendSndNke(ToolContext& ctx) {
  buildSndNke();
  sendBuiltFrame(ctx, ">>> SND_NKE\n");
  ctx.fields.setStatusText("SND_NKE sent.");
}

void sendReqUd2(ToolContext& ctx, StatusLine status) {
  buildReqUd2();
  sendBuiltFrame(ctx, ">>> REQ_UD2\n");
  if (status == StatusLine::Show) ctx.fields.setStatusText("REQ_UD2 sent.");
}
