#include "commands/identity_fields.h"

#include <cstring>
#include <string>
#include <utility>

#include "interfaces/text_format.h"

uint8_t meterAddress[8];
// Zero until the first reading: a protected answer that comes in before any
// firmware update is checked against identification number 00000000.
uint8_t meterIdBytes[4];
uint8_t communicationKey[16];
uint32_t invocationCounter;
uint8_t accessNumber;

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// A field's digits into a zeroed store: a text shorter than the store fills
// its leading bytes and leaves the rest 0, so the stores depend only on what
// the fields hold now, never on an earlier reading.
void readHexField(const WindowFields& fields, Field field, uint8_t* store, int size) {
  std::memset(store, 0, (size_t)size);
  parseHex(fields.fieldText(field).c_str(), store, size);
}

}  // namespace

int32_t parseHex(const char* text, uint8_t* out, int capacity) {
  if (!text || capacity <= 0) return 0;
  int32_t written = 0;
  // Pairs only: a trailing odd digit is dropped, digits past capacity ignored.
  for (const char* p = text; p[0] && p[1] && written < capacity; p += 2)
    out[written++] = (uint8_t)(hexValue(p[0]) * 16 + hexValue(p[1]));
  return written;
}

int32_t encodeManufacturer(const char* text) {
  // Missing letters (a text shorter than three) count as '@', the letter value 0.
  int32_t letters[3] = {0, 0, 0};
  for (int i = 0; i < 3 && text && text[i]; ++i) letters[i] = (int8_t)text[i] - 64;
  return letters[0] * 1024 + letters[1] * 32 + letters[2];
}

void readIdentityFields(const WindowFields& fields) {
  const uint16_t code = (uint16_t)encodeManufacturer(fields.fieldText(Field::Manufacturer).c_str());

  // Typed most significant digit first, kept least significant byte first.
  readHexField(fields, Field::IdNumber, meterIdBytes, 4);
  std::swap(meterIdBytes[0], meterIdBytes[3]);
  std::swap(meterIdBytes[1], meterIdBytes[2]);

  uint8_t version = 0;
  uint8_t deviceType = 0;
  readHexField(fields, Field::Version, &version, 1);
  readHexField(fields, Field::DeviceType, &deviceType, 1);

  meterAddress[0] = (uint8_t)(code & 0xFF);
  meterAddress[1] = (uint8_t)(code >> 8);
  std::memcpy(meterAddress + 2, meterIdBytes, 4);
  meterAddress[6] = version;
  meterAddress[7] = deviceType;

  readHexField(fields, Field::Key, communicationKey, 16);

  uint8_t counter[4];
  readHexField(fields, Field::Counter, counter, 4);
  invocationCounter = (uint32_t)counter[0] << 24 | (uint32_t)counter[1] << 16 | (uint32_t)counter[2] << 8 | counter[3];
}

void resetIdentityStores() {
  std::memset(meterAddress, 0, sizeof meterAddress);
  std::memset(meterIdBytes, 0, sizeof meterIdBytes);
  std::memset(communicationKey, 0, sizeof communicationKey);
  invocationCounter = 0;
  accessNumber = 0;
}

uint8_t nextAccessNumber() { return accessNumber++; }

std::string counterText(uint32_t counter) { return hexNumber(counter, 8); }

void showInvocationCounter(WindowFields& fields) { fields.setFieldText(Field::Counter, counterText(invocationCounter)); }

void counterFromAnswer(uint32_t messageCounter) { invocationCounter = messageCounter + 1; }

void counterWithoutRecord() { invocationCounter += 4; }

// Shown too: the next update reads the field, and must start above every
// counter this one sent.
void counterAfterActivate(WindowFields& fields) {
  ++invocationCounter;
  showInvocationCounter(fields);
}
