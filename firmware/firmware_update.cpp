#include "firmware/firmware_update.h"

#include "commands/identity_fields.h"
#include "firmware/block_protocols.h"
#include "firmware/firmware_image.h"
#include "firmware/simple_update.h"
#include "firmware/transfer_cursor.h"
#include "link/answer_reception.h"
#include "link/connection.h"
#include "link/link_frames.h"
#include "security/cipher_modes.h"

namespace {

UpdateOutcome refused(UpdateResult result) {
  UpdateOutcome outcome;
  outcome.result = result;
  outcome.counter = invocationCounter;
  return outcome;
}

}  // namespace

UpdateOutcome runFirmwareUpdate(ToolContext& ctx) {
  readIdentityFields(ctx.fields);
  if (firmwareLoaded != ImageState::Loaded) return refused(UpdateResult::NoFirmware);
  // Pending events first: a port that hung up meanwhile is seen before any telegram.
  ctx.pump.runPending();
  if (!ctx.link.connected()) return refused(UpdateResult::NotConnected);
  if (useSimpleProtocol) return runSimpleUpdate(ctx);
  if (encryptionOn) return runEncryptedUpdate(ctx);
  return runBlockUpdate(ctx);
}

void resetCoreState() {
  resetLinkFrames();
  clearAnswerFlags();
  resetIdentityStores();
  cbcResetChaining();
  unloadFirmware();
  beginTransfer(0, 0);
  resetUpdateOptions();
}
