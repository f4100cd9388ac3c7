// readConfigFile: seven 256-byte slots filled like fgets on a text-mode
// stream, each cut by its last character.
#include "app/shell/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const PATH = "QORconfig_test.txt";

void writeFile(const std::string& bytes) {
  FILE* f = std::fopen(PATH, "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// Leftovers of an earlier read, which every read must clear.
void fillSlotsWithStaleText() {
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) std::memset(configLines[i], 's', CONFIG_LINE_SIZE);
  configLoaded = 7;
}

// Each slot's bytes up to and including its terminating NUL (embedded NULs kept).
void expectSlots(const std::vector<std::string>& expected) {
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) {
    const std::string want = (i < (int)expected.size() ? expected[i] : "") + std::string(1, '\0');
    ASSERT_LE(want.size(), (size_t)CONFIG_LINE_SIZE);
    EXPECT_EQ(std::string(configLines[i], want.size()), want) << "slot " << i;
  }
}

TEST(ConfigFileTest, MissingFileOrADirectoryLeavesLinesEmptyAndNotLoaded) {
  std::remove(PATH);
  fillSlotsWithStaleText();
  EXPECT_EQ(readConfigFile(PATH), 0);
  EXPECT_EQ(configLoaded, 0);
  expectSlots({});

  ASSERT_EQ(::mkdir(PATH, 0755), 0);
  fillSlotsWithStaleText();
  EXPECT_EQ(readConfigFile(PATH), 0);
  EXPECT_EQ(configLoaded, 0);
  expectSlots({});
  ::rmdir(PATH);
}

TEST(ConfigFileTest, LinesFillTheSlotsEachLosingItsLastCharacter) {
  std::string alphabet;
  for (int i = 0; i < 600; ++i) alphabet += (char)('A' + i % 26);
  const std::string binary("\x01\xFF\x7F\x80\t", 5);
  const struct {
    const char* name;
    std::string file;
    std::vector<std::string> slots;
  } cases[] = {
      {"five lines", "ABC\n12345678\n01\n07\n000102030405060708090A0B0C0D0E0F\n",
       {"ABC", "12345678", "01", "07", "000102030405060708090A0B0C0D0E0F"}},
      {"two lines: the rest empty", "XYZ\n87654321\n", {"XYZ", "87654321"}},
      {"empty file", "", {}},
      {"CR LF reads as one line feed", "ABC\r\n12345678\r\n\r\n07\r\n", {"ABC", "12345678", "", "07"}},
      {"a lone CR is a character", "A\rB\n", {"A\rB"}},
      {"last line without line feed loses a real character", "ABC\n12345678", {"ABC", "1234567"}},
      // Pieces of 255, 255 and 90 characters plus the line feed; each loses its last.
      {"600-character line", alphabet + "\nNEXT\n",
       {alphabet.substr(0, 254), alphabet.substr(255, 254), alphabet.substr(510, 90), "NEXT"}},
      {"255 characters: the line feed alone takes a slot", std::string(255, 'k') + "\nX\n",
       {std::string(254, 'k'), "", "X"}},
      // Seven slots are used up long before the end; ASan sees any write past one.
      {"10000-character line", std::string(10000, 'Z') + "\n", std::vector<std::string>(7, std::string(254, 'Z'))},
      // The cut follows the count read, not strlen, which would land before the slot.
      {"line starting with NUL", std::string("\0ABC\n", 5) + "DEF\n", {std::string("\0ABC", 4), "DEF"}},
      {"binary bytes kept", binary + "\nok\n", {binary, "ok"}},
      {"only seven lines read", "1\n2\n3\n4\n5\n6\n7\n8\n9\n", {"1", "2", "3", "4", "5", "6", "7"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(c.file);
    fillSlotsWithStaleText();
    EXPECT_EQ(readConfigFile(PATH), 1);
    EXPECT_EQ(configLoaded, 1);
    expectSlots(c.slots);
  }
  std::remove(PATH);
}

}  // namespace
