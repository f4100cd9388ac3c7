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

uint8_t encryptionOn = 1;
uint8_t useSimpleProtocol = 0;
uint8_t doubleBlock42 = 0;
uint8_t skipBlock15 = 0;
uint8_t fastAnswers = 0;

namespace {

uint8_t& flagOf(UpdateOption option) {
  switch (option) {
    case UpdateOption::Encryption: return encryptionOn;
    case UpdateOption::SimpleProtocol: return useSimpleProtocol;
    case UpdateOption::DoubleBlock42: return doubleBlock42;
    case UpdateOption::SkipBlock15: return skipBlock15;
    case UpdateOption::FastAnswers: break;
  }
  return fastAnswers;
}

}  // namespace

void setUpdateOption(UpdateOption option, bool on) { flagOf(option) = on ? 1 : 0; }

bool updateOption(UpdateOption option) { return flagOf(option) != 0; }

UpdateResult runFirmwareUpdate(ToolContext& ctx) {
  readIdentityFields(ctx.fields);
  if (!firmwareLoaded) return UpdateResult::NoFirmware;
  // Pending events first: a port that hung up meanwhile is seen before any telegram.
  ctx.pump.runPending();
  if (!ctx.link.connected()) return UpdateResult::NotConnected;
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
  setUpdateOption(UpdateOption::Encryption, true);
  setUpdateOption(UpdateOption::SimpleProtocol, false);
  setUpdateOption(UpdateOption::DoubleBlock42, false);
  setUpdateOption(UpdateOption::SkipBlock15, false);
  setUpdateOption(UpdateOption::FastAnswers, false);
}
