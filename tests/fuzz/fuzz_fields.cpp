// Hostile texts for what turns the window's fields into stores.
// Input: byte 0, then a text.
//   byte 0 < 0x80: parseHex into a store of capacity byte 0 - 8 (-8 to 119)
//   else: readIdentityFields, the six field texts separated by '\n'
#include <cstring>

#include "commands/identity_fields.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/fakes.h"

namespace {

void fuzzParseHex(int capacity, const uint8_t* bytes, size_t n) {
  std::vector<char> text(n + 1, 0);  // exactly its size: ASan sees a read past the end
  std::memcpy(text.data(), bytes, n);
  const size_t room = capacity > 0 ? (size_t)capacity : 0, guard = 16;
  std::vector<uint8_t> store(room + guard, 0xA5);
  const int32_t count = parseHex(text.data(), store.data(), capacity);
  check(count >= 0 && (size_t)count <= room && (size_t)count <= std::strlen(text.data()) / 2, "count in range");
  for (size_t i = room; i < room + guard; ++i) check(store[i] == 0xA5, "nothing written past capacity");
}

std::string readStores(const WindowFields& fields) {
  readIdentityFields(fields);
  check(std::memcmp(meterAddress + 2, meterIdBytes, 4) == 0, "the address holds the identification bytes");
  return std::string(reinterpret_cast<const char*>(meterAddress), 8) +
         std::string(reinterpret_cast<const char*>(communicationKey), 16) + std::to_string(invocationCounter);
}

void fuzzIdentityFields(const uint8_t* bytes, size_t n) {
  FakeFields fields;
  std::string rest(reinterpret_cast<const char*>(bytes), n);
  for (Field field : {Field::Manufacturer, Field::IdNumber, Field::Version, Field::DeviceType, Field::Key,
                      Field::Counter}) {
    const size_t end = rest.find('\n');
    fields.setFieldText(field, rest.substr(0, end));
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
  }
  const std::string first = readStores(fields);
  readStores(FakeFields());
  check(readStores(fields) == first, "the stores depend on the fields alone, not on an earlier reading");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 1 && data[0] < 0x80) fuzzParseHex(data[0] - 8, data + 1, size - 1);
  if (size >= 1 && data[0] >= 0x80) fuzzIdentityFields(data + 1, size - 1);
  return 0;
}
