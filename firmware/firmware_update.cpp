#include "firmware/firmware_update.h"

#include "commands/identity_fields.h"
#include "firmware/block_update.h"
#include "firmware/encrypted_update.h"
#include "firmware/firmware_image.h"
#include "firmware/simple_update.h"

UpdateResult runFirmwareUpdate(ToolContext& ctx) {
  readIdentityFields(ctx.fields);
  if (!firmwareLoaded) return UpdateResult::NoFirmware;
  if (useSimpleProtocol) return runSimpleUpdate(ctx);
  if (encryptionOn) return runEncryptedUpdate(ctx);
  return runBlockUpdate(ctx);
}
