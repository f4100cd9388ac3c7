// Hostile texts for everything that turns text into stores: parseHex,
// encodeManufacturer, readIdentityFields over six field texts, and the
// configuration file reader over arbitrary file contents.
//
// Input: byte 0 selects the unit (modulo 4), the rest is its text.
//   0: parseHex; byte 1 is the capacity of the output (0 to 40)
//   1: encodeManufacturer
//   2: readIdentityFields; the six field texts are separated by '\n'
//   3: readConfigFile over the rest as the file's contents
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/shell/config_file.h"
#include "app/shell/log_file.h"
#include "commands/identity_fields.h"
#include "tests/fuzz/invariant.h"
#include "tests/support/fakes.h"

namespace {

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// A NUL-terminated copy in a heap block of exactly its size.
char* exactText(const uint8_t* bytes, size_t size) {
  char* text = static_cast<char*>(std::malloc(size + 1));
  std::memcpy(text, bytes, size);
  text[size] = 0;
  return text;
}

void fuzzParseHex(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const int capacity = data[0] % 41;
  char* text = exactText(data + 1, size - 1);
  uint8_t* out = static_cast<uint8_t*>(std::malloc((size_t)capacity));
  const int32_t count = parseHex(text, out, capacity);
  const size_t pairs = std::strlen(text) / 2;
  check(count >= 0 && count <= capacity && (size_t)count <= pairs, "parseHex writes within its store");
  // A longer text may be cut or refused; one that fits is taken whole.
  if (pairs <= (size_t)capacity) check((size_t)count == pairs, "parseHex takes every pair of a text that fits");
  for (int k = 0; k < count; ++k)
    check(out[k] == (uint8_t)(digitValue(text[2 * k]) * 16 + digitValue(text[2 * k + 1])),
          "parseHex byte from its digit pair");
  std::free(out);
  std::free(text);
}

void fuzzManufacturer(const uint8_t* data, size_t size) {
  char* text = exactText(data, size);
  const int32_t code = encodeManufacturer(text);
  if (std::strlen(text) >= 3) {
    const int32_t want = ((int8_t)text[0] - 64) * 1024 + ((int8_t)text[1] - 64) * 32 + ((int8_t)text[2] - 64);
    check((uint16_t)code == (uint16_t)want, "manufacturer code from its three letters");
  }
  std::free(text);
}

void fuzzIdentityFields(const uint8_t* data, size_t size) {
  static const Field order[] = {Field::Manufacturer, Field::IdNumber, Field::Version,
                                Field::DeviceType,   Field::Key,      Field::Counter};
  FakeFields fields;
  std::string rest(reinterpret_cast<const char*>(data), size);
  for (Field field : order) {
    const size_t end = rest.find('\n');
    fields.setFieldText(field, rest.substr(0, end));
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
  }
  const uint8_t accessBefore = accessNumber;
  readIdentityFields(fields);
  check(std::memcmp(meterAddress + 2, meterIdBytes, 4) == 0, "meterAddress holds the identification bytes");
  check(accessNumber == accessBefore, "the access number is not touched");
}

void fuzzConfigFile(const uint8_t* data, size_t size) {
  static std::string path = "/tmp/fuzz_fields_config_" + std::to_string(getpid()) + ".txt";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  check(readConfigFile(path.c_str()) == 1 && configLoaded == 1, "a readable file is loaded");
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i)
    check(std::memchr(configLines[i], 0, CONFIG_LINE_SIZE) != nullptr, "every line ends inside its slot");
  std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  logFile = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  switch (data[0] % 4) {
    case 0: fuzzParseHex(data + 1, size - 1); break;
    case 1: fuzzManufacturer(data + 1, size - 1); break;
    case 2: fuzzIdentityFields(data + 1, size - 1); break;
    default: fuzzConfigFile(data + 1, size - 1); break;
  }
  return 0;
}
