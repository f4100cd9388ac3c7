// The identity and key stores as the fields fill them, and the working files:
// the answer shown in the fields and the firmware image.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "app/front/answer_fields.h"
#include "commands/identity_fields.h"
#include "firmware/firmware_image.h"
#include "interfaces/log_file.h"
#include "link/telegram.h"
#include "tests/support/fakes.h"

#ifdef _WIN32
#define mkdir(path, mode) mkdir(path)  // Windows folders have no mode bits
#endif

namespace {

TEST(ParseHex, PairsOfDigitsNeverPastCapacity) {
  const struct {
    const char* text;
    int capacity;
    std::string bytes;
  } cases[] = {
      {"0aFf", 4, "0A FF "},     {"123", 4, "12 "},       {"12345678", 2, "12 34 "},
      {"zz1", 4, "00 "},         {"", 4, ""},             {"A0B1C2", 0, ""},
  };
  for (const auto& c : cases) {
    uint8_t out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    const int n = parseHex(c.text, out, c.capacity);
    EXPECT_EQ(hex(out, (size_t)n), c.bytes) << c.text;
    EXPECT_EQ(out[n], 0xEE) << "written past the count: " << c.text;
  }
}

TEST(IdentityFields, FieldsFillTheStoresInTelegramOrder) {
  FakeFields fields;
  fields.setFieldText(Field::IdNumber, "12345678");
  fields.setFieldText(Field::Version, "4");  // too short: no pair, zero
  fields.setFieldText(Field::Counter, "0A0B0C0D");
  readIdentityFields(fields);
  EXPECT_EQ(hex(meterAddress, 8), "56 0A 78 56 34 12 00 03 ");
  EXPECT_EQ(hex(meterIdBytes, 4), "78 56 34 12 ");
  EXPECT_EQ(hex(communicationKey, 16), "5A 17 C3 E9 0B 4D 62 F8 A1 C0 7E 3B 9D 2F 4A 68 ");
  EXPECT_EQ(invocationCounter, 0x0A0B0C0Du);
  // A shorter text later leaves no byte of the earlier one behind.
  fields.setFieldText(Field::IdNumber, "99");
  fields.setFieldText(Field::Counter, "");
  readIdentityFields(fields);
  EXPECT_EQ(hex(meterIdBytes, 4), "00 00 00 99 ");
  EXPECT_EQ(invocationCounter, 0u);
}

// An answer into the fields as the window shows it; the command line keeps
// the identity it was given.
TEST(AnswerFields, AnAnswerFillsWhatItCarriesAndAGivenFieldStays) {
  const struct { const char* name; bool keepId, letters, moved; const char* shown; } cases[] = {
      {"every field", false, true, true, "ABC 12345678 41 07 0000002B"},
      {"the id given stays", true, true, true, "ABC 01020304 41 07 0000002B"},
      {"a code without letters leaves the last ones", false, false, true, "BRV 12345678 41 07 0000002B"},
      {"a counter the answer did not move stays", false, true, false, "ABC 12345678 41 07 00000001"},
  };
  for (const auto& c : cases) {
    FieldTexts fields;
    for (int f = 0; f < FIELD_COUNT; ++f) fields.setFieldText((Field)f, fieldRule((Field)f).defaultText);
    MeterAnswer answer;
    answer.identified = true, answer.idNumber = 0x12345678, answer.version = 0x41, answer.deviceType = 0x07;
    std::strcpy(answer.manufacturer, c.letters ? "ABC" : "");
    answer.counterMoved = c.moved, answer.invocationCounter = 0x2B;
    bool keep[FIELD_COUNT] = {};
    keep[(int)Field::IdNumber] = c.keepId;
    showAnswer(fields, answer, keep);
    std::string shown;
    for (Field f : {Field::Manufacturer, Field::IdNumber, Field::Version, Field::DeviceType, Field::Counter})
      shown += (shown.empty() ? "" : " ") + fields.fieldText(f);
    EXPECT_EQ(shown, c.shown) << c.name;
  }
}

// A dongle holds FIRMWARE_CAPACITY bytes; a longer image is refused whole,
// never cut (a cut image is a broken firmware).
TEST(FirmwareImage, LoadsUpToCapacityAndAFailedLoadUnloads) {
  Output out;
  writeFile("full.cfw", std::string(FIRMWARE_CAPACITY, '\x5A'));
  ASSERT_EQ(loadFirmwareFile("full.cfw", out), LoadResult::Loaded);
  EXPECT_EQ(firmwareLength, FIRMWARE_CAPACITY);
  EXPECT_EQ(firmwareImage[FIRMWARE_CAPACITY - 1], 0x5A);
  writeFile("small.cfw", "\x01\x02\x03");
  ASSERT_EQ(loadFirmwareFile("small.cfw", out), LoadResult::Loaded);
  EXPECT_EQ(firmwareLength, 3u);
  writeFile("big.cfw", std::string(FIRMWARE_CAPACITY + 1, '\x5A'));
  unsigned long long size = 0;
  EXPECT_EQ(loadFirmwareFile("big.cfw", out, &size), LoadResult::TooLarge);
  EXPECT_EQ(size, FIRMWARE_CAPACITY + 1ull);
  EXPECT_EQ(firmwareLoaded, ImageState::Empty);
  EXPECT_EQ(firmwareImage[0], 0x01) << "the old image survives";
  ::mkdir("folder.cfw", 0755);
  // /proc/self/mem opens but gives EIO at its start.
  for (const char* bad : {"missing.cfw", "folder.cfw", "/proc/self/mem"}) {
    EXPECT_EQ(loadFirmwareFile(bad, out), LoadResult::CannotOpen) << bad;
    EXPECT_EQ(firmwareLoaded, ImageState::Empty);
    EXPECT_EQ(firmwareImage[0], 0x01) << "the old image survives";
  }
  ::rmdir("folder.cfw");
}

TEST(FirmwareImage, ALongPathIsPrintedWholeWithItsLineEnd) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows paths stop at 259 characters";
#endif
  std::string path = ".";
  while (path.size() < 600) {
    path += "/" + std::string(100, 'd');
    ::mkdir(path.c_str(), 0755);
  }
  path += "/image.cfw";
  writeFile(path, "abc");
  FakeConsole console;
  Output out(&console);
  ASSERT_EQ(openLogFile("long-path.log"), OwnFileResult::Opened);
  ASSERT_EQ(loadFirmwareFile(path.c_str(), out), LoadResult::Loaded);
  closeLogFile();
  const std::string line = "Read 3 bytes from file " + path + "\n";
  EXPECT_EQ(console.text(), line);
  EXPECT_EQ(readText("long-path.log"), line);
}

}  // namespace
