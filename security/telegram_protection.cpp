#include "security/telegram_protection.h"

#include <cstdint>
#include <cstring>

#include "interfaces/byte_order.h"
#include "security/aes128.h"
#include "security/cipher_modes.h"
#include "security/secure_wipe.h"

namespace {

constexpr uint32_t MAX_CBC_LENGTH = 240;
// The MAC length (length - 12) has to fit a signed 32-bit count.
constexpr uint32_t MAX_APPLICATION_LENGTH = INT32_MAX;

// The authenticated bytes are made contiguous by copying MCL and MCR over the
// last five MAC bytes.
constexpr uint32_t MAC_COPY_OFFSET = 12;
constexpr uint32_t MAC_COPY_LENGTH = 5;

// Read access to an application part, optionally as it will look once MCL and
// MCR have been copied over the MAC: the layout can then be checked before
// anything is changed.
struct AppView {
  const uint8_t* app;
  uint32_t length;
  bool afterMacCopy;

  uint8_t at(uint32_t i) const {
    if (afterMacCopy && i >= MAC_COPY_OFFSET && i < MAC_COPY_OFFSET + MAC_COPY_LENGTH) return app[i - 8];
    return app[i];
  }
};

struct EncryptedArea {
  uint32_t offset;
  uint32_t length;
  bool headerInside;  // TPL CI, configuration field and CFE lie within the part
};

EncryptedArea locateEncryptedArea(const AppView& view) {
  uint32_t tpl = 0;
  if (view.length >= 1 && view.at(0) == CI_AFL) {
    if (view.length < 2) return {1, 0, false};
    tpl = aflTplOffset(view.app);  // AFLL lies before the bytes the MAC copy changes
  }
  if (tpl >= view.length) return {tpl + 1, 0, false};

  uint32_t config;
  switch (view.at(tpl)) {
    case 0x5A: case 0x7A:
      config = tpl + 3;
      break;
    case 0x5B: case 0x6C: case 0x6D: case 0x72:
      config = tpl + 11;
      break;
    default:
      return {tpl + 1, 0, true};
  }
  if (config + 2 > view.length) return {config + 2, 0, false};
  uint32_t areaLength = view.at(config) & 0xF0u;
  bool modeSeven = (view.at(config + 1) & 0x1F) == 7;
  uint32_t offset = config + 2 + (modeSeven ? 1 : 0);  // mode 7 adds the CFE
  return {offset, areaLength, offset <= view.length};
}

bool fits(const EncryptedArea& area, uint32_t length) {
  return area.headerInside && area.offset <= length && area.length <= length - area.offset;
}

bool equalInConstantTime(const uint8_t* a, const uint8_t* b, size_t n) {
  uint8_t difference = 0;
  for (size_t i = 0; i < n; ++i) difference |= (uint8_t)(a[i] ^ b[i]);
  return difference == 0;
}

void traceField(TraceSink& trace, const char* label, const uint8_t* bytes, int count, const char* end) {
  trace.text(label);
  trace.bytes(bytes, count);
  trace.text(end);
}

// Derives the key and writes the trace lines shared by MAC and encryption:
// meter id, counter, derivation input and derived key.
void deriveWithTrace(TraceSink& trace, const uint8_t key[16], DerivationConstant constant, const MeterId meterId,
                     uint32_t counter, uint8_t derivedKey[16]) {
  uint8_t input[16];
  buildKdfInput(constant, meterId, counter, input);
  deriveKey(key, constant, meterId, counter, derivedKey);
  uint8_t counterBytes[4];
  putLittleEndian32(counterBytes, counter);
  traceField(trace, "Meter address: ", meterId, 4, "\n");
  traceField(trace, "Counter: ", counterBytes, 4, "\n");
  traceField(trace, "Key input: ", input, 16, "\n\n");
  traceField(trace, "Derived key: ", derivedKey, 16, "\n\n");
}

bool aflPresent(const uint8_t* app, uint32_t length) { return length >= 1 && app[0] == CI_AFL; }

int32_t aflPayloadLength(uint32_t length) { return (int32_t)(length - AFL_FIXED_LENGTH); }

void cbcDecryptFromMeter(uint8_t* area, uint32_t length, const MeterId meterId, uint32_t counter,
                         const uint8_t key[16]) {
  uint8_t encKey[16];
  AesKeySchedule schedule;
  deriveKey(key, EncFromMeter, meterId, counter, encKey);
  aesExpandKey(encKey, schedule);
  cbcResetChaining();
  cbcDecrypt(area, (uint8_t)length, schedule);
  secureWipe(encKey, sizeof encKey);
  secureWipe(schedule, sizeof schedule);
}

}  // namespace

uint32_t aflTplOffset(const uint8_t* part) { return (uint32_t)((part[1] + 2) & 0xFF); }

uint32_t aflCounter(const uint8_t* part) { return readLittleEndian32(part + AFL_COUNTER_OFFSET); }

void telegramMac(TraceSink& trace, uint8_t mac[16], const uint8_t* data, int32_t length, const MeterId meterId,
                 uint32_t counter, const uint8_t key[16], bool fromMeter) {
  uint8_t macKey[16];
  trace.text("Starting a MAC.\n");
  traceField(trace, "key: ", key, 16, "\n\n");
  trace.text("Bytes to MAC: ");
  trace.dump(data, length);
  deriveWithTrace(trace, key, fromMeter ? MacFromMeter : MacToMeter, meterId, counter, macKey);
  aesCmac(macKey, data, length, mac);
  traceField(trace, "Calculated MAC: ", mac, 16, "\n\n");
  secureWipe(macKey, sizeof macKey);
}

bool telegramVerifyMac(TraceSink& trace, const uint8_t receivedMac[8], const uint8_t* data, int32_t length,
                       const MeterId meterId, uint32_t counter, const uint8_t key[16], bool fromMeter) {
  uint8_t tag[16];
  telegramMac(trace, tag, data, length, meterId, counter, key, fromMeter);
  traceField(trace, "Compare MAC: ", receivedMac, 8, "\n");
  return equalInConstantTime(tag, receivedMac, 8);
}

void telegramEncrypt(TraceSink& trace, uint8_t* data, int32_t length, const MeterId meterId, uint32_t counter,
                     const uint8_t key[16], bool fromMeter) {
  uint8_t encKey[16];
  AesKeySchedule schedule;
  traceField(trace, "Key: ", key, 16, "\n\n");
  trace.text("Bytes to encrypt: ");
  trace.dump(data, length);
  deriveWithTrace(trace, key, fromMeter ? EncFromMeter : EncToMeter, meterId, counter, encKey);
  uint32_t cbcLength = length < 0 ? 0 : (uint32_t)length;
  if (cbcLength > MAX_CBC_LENGTH) cbcLength = MAX_CBC_LENGTH;
  aesExpandKey(encKey, schedule);
  cbcResetChaining();
  cbcEncrypt(data, (uint8_t)(cbcLength & ~15u), schedule);
  trace.text("Encrypted data: ");
  trace.dump(data, length);
  secureWipe(encKey, sizeof encKey);
  secureWipe(schedule, sizeof schedule);
}

DecryptResult telegramDecrypt(TraceSink& trace, uint8_t* app, uint32_t length, const uint8_t meterId[4],
                              const uint8_t key[16]) {
  trace.text("Decrypt: Starting a decrypt.\n");
  if (!aflPresent(app, length)) return DecryptResult::NoAfl;
  trace.text("Decrypt: AFL found.\n");
  int32_t payloadLength = aflPayloadLength(length);
  trace.format("Decrypt: data length %d found.\n", payloadLength);
  if (length < AFL_FIXED_LENGTH || length > MAX_APPLICATION_LENGTH) {
    trace.text("Decrypt: data length out of range.\n");
    return DecryptResult::LengthOutOfRange;
  }

  uint8_t receivedMac[8];
  std::memcpy(receivedMac, app + AFL_MAC_OFFSET, 8);
  uint32_t counter = aflCounter(app);
  std::memcpy(app + MAC_COPY_OFFSET, app + 4, MAC_COPY_LENGTH);
  if (!telegramVerifyMac(trace, receivedMac, app + MAC_COPY_OFFSET, payloadLength + (int32_t)MAC_COPY_LENGTH, meterId, counter,
                         key, true)) {
    trace.text("Decrypt: MAC not OK.\n");
    return DecryptResult::MacMismatch;
  }
  trace.text("Decrypt: MAC OK.\n");

  EncryptedArea area = locateEncryptedArea({app, length, false});
  // The two 0x2F bytes are looked at even when nothing is encrypted.
  if (!fits(area, length) || length - area.offset < 2) {
    trace.text("Decrypt: encrypted area beyond the end.\n");
    return DecryptResult::AreaBeyondEnd;
  }
  cbcDecryptFromMeter(app + area.offset, area.length, meterId, counter, key);
  if (app[area.offset] == 0x2F && app[area.offset + 1] == 0x2F) {
    trace.text("Decrypt: 2 bytes 0x2F found.\n");
    return DecryptResult::Ok;
  }
  trace.text("Decrypt: Decrypt error.\n");
  return DecryptResult::NoFillerAfterDecrypt;
}

ProtectResult telegramEncryptAndMac(TraceSink& trace, uint8_t* app, uint32_t length, const uint8_t meterId[4],
                                    const uint8_t key[16]) {
  if (!aflPresent(app, length)) return ProtectResult::Refused;
  // Malformed parts are refused like a missing AFL: nothing written or changed.
  if (length < AFL_FIXED_LENGTH || length > MAX_APPLICATION_LENGTH) return ProtectResult::Refused;
  EncryptedArea area = locateEncryptedArea({app, length, true});
  if (!fits(area, length)) return ProtectResult::Refused;

  trace.text("Starting an encrypt and MAC.\n");
  uint32_t counter = aflCounter(app);
  std::memcpy(app + MAC_COPY_OFFSET, app + 4, MAC_COPY_LENGTH);
  telegramEncrypt(trace, app + area.offset, (int32_t)area.length, meterId, counter, key, false);
  uint8_t mac[16];
  telegramMac(trace, mac, app + MAC_COPY_OFFSET, aflPayloadLength(length) + (int32_t)MAC_COPY_LENGTH, meterId, counter,
              key, false);
  std::memcpy(app + 9, mac, 8);
  return ProtectResult::Protected;
}
