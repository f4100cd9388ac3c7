// readConfigFile: seven 256-byte slots filled like fgets on a text-mode
// stream, each cut by its last character.
#include "app/shell/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const PATH = "QORconfig_test.txt";

void writeFile(const std::string& bytes) {
  FILE* f = std::fopen(PATH, "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::string line(int index) { return configLines[index]; }

// Every slot keeps a NUL inside its 256 bytes.
void expectSlotsTerminated() {
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i)
    EXPECT_NE(std::memchr(configLines[i], 0, CONFIG_LINE_SIZE), nullptr) << "slot " << i;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void TearDown() override { std::remove(PATH); }
};

TEST_F(ConfigFileTest, MissingFileLeavesLinesEmptyAndNotLoaded) {
  std::remove(PATH);
  std::strcpy(configLines[0], "stale");
  EXPECT_EQ(readConfigFile(PATH), 0);
  EXPECT_EQ(configLoaded, 0);
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) EXPECT_EQ(line(i), "") << "slot " << i;
}

TEST_F(ConfigFileTest, DirectoryOfThatNameCountsAsMissing) {
  ASSERT_EQ(::mkdir(PATH, 0755), 0);
  EXPECT_EQ(readConfigFile(PATH), 0);
  EXPECT_EQ(configLoaded, 0);
  EXPECT_EQ(line(0), "");
  ::rmdir(PATH);
}

TEST_F(ConfigFileTest, FiveLinesFillTheFirstFiveSlots) {
  writeFile("ABC\n12345678\n01\n07\n000102030405060708090A0B0C0D0E0F\n");
  EXPECT_EQ(readConfigFile(PATH), 1);
  EXPECT_EQ(configLoaded, 1);
  EXPECT_EQ(line(0), "ABC");
  EXPECT_EQ(line(1), "12345678");
  EXPECT_EQ(line(2), "01");
  EXPECT_EQ(line(3), "07");
  EXPECT_EQ(line(4), "000102030405060708090A0B0C0D0E0F");
  EXPECT_EQ(line(5), "");
  EXPECT_EQ(line(6), "");
}

TEST_F(ConfigFileTest, TwoLineFileLeavesTheOtherSlotsEmptyNotDefault) {
  writeFile("XYZ\n87654321\n");
  EXPECT_EQ(readConfigFile(PATH), 1);
  EXPECT_EQ(line(0), "XYZ");
  EXPECT_EQ(line(1), "87654321");
  for (int i = 2; i < CONFIG_LINE_COUNT; ++i) EXPECT_EQ(line(i), "") << "slot " << i;
}

TEST_F(ConfigFileTest, EmptyFileLoadsWithAllSlotsEmpty) {
  writeFile("");
  EXPECT_EQ(readConfigFile(PATH), 1);
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) EXPECT_EQ(line(i), "") << "slot " << i;
}

TEST_F(ConfigFileTest, CrLfLineEndsReadAsOneLineFeed) {
  writeFile("ABC\r\n12345678\r\n\r\n07\r\n");
  readConfigFile(PATH);
  EXPECT_EQ(line(0), "ABC");
  EXPECT_EQ(line(1), "12345678");
  EXPECT_EQ(line(2), "");
  EXPECT_EQ(line(3), "07");
}

TEST_F(ConfigFileTest, LoneCarriageReturnIsKeptAsACharacter) {
  writeFile("A\rB\n");
  readConfigFile(PATH);
  EXPECT_EQ(line(0), "A\rB");
}

TEST_F(ConfigFileTest, LastLineWithoutLineFeedLosesItsLastCharacter) {
  writeFile("ABC\n12345678");
  readConfigFile(PATH);
  EXPECT_EQ(line(0), "ABC");
  EXPECT_EQ(line(1), "1234567");
}

TEST_F(ConfigFileTest, LongLineIsSplitInto255CharacterPiecesEachCut) {
  std::string text;
  for (int i = 0; i < 600; ++i) text += (char)('A' + i % 26);
  writeFile(text + "\nNEXT\n");
  readConfigFile(PATH);
  // Pieces of 255, 255 and 90 characters plus the line feed; each loses its last.
  EXPECT_EQ(line(0), text.substr(0, 254));
  EXPECT_EQ(line(1), text.substr(255, 254));
  EXPECT_EQ(line(2), text.substr(510, 90));
  EXPECT_EQ(line(3), "NEXT");
  expectSlotsTerminated();
}

TEST_F(ConfigFileTest, LineOfExactly255CharactersTakesTwoSlots) {
  const std::string text(255, 'k');
  writeFile(text + "\nX\n");
  readConfigFile(PATH);
  EXPECT_EQ(line(0), std::string(254, 'k'));
  EXPECT_EQ(line(1), "");  // the line feed alone, cut
  EXPECT_EQ(line(2), "X");
}

TEST_F(ConfigFileTest, VeryLongLinesNeverOverflowASlot) {
  // 7 slots of 255 characters are used up long before the file ends; with
  // AddressSanitizer any write past a slot would fail this run.
  writeFile(std::string(10000, 'Z') + "\n");
  readConfigFile(PATH);
  for (int i = 0; i < CONFIG_LINE_COUNT; ++i) EXPECT_EQ(line(i), std::string(254, 'Z')) << "slot " << i;
  expectSlotsTerminated();
}

TEST_F(ConfigFileTest, LineStartingWithNulEndsEmptyWithoutWritingBeforeTheSlot) {
  // A cut placed by strlen would land before the slot here.
  writeFile(std::string("\0ABC\n", 5) + "DEF\n");
  readConfigFile(PATH);
  EXPECT_EQ(line(0), "");
  EXPECT_EQ(std::string(configLines[0] + 1, 3), "ABC");  // the bytes read stay in the slot
  EXPECT_EQ(line(1), "DEF");
}

TEST_F(ConfigFileTest, BinaryBytesAreKeptAndTheLineFeedStillCut) {
  const std::string bytes("\x01\xFF\x7F\x80\t", 5);
  writeFile(bytes + "\n" + "ok\n");
  readConfigFile(PATH);
  EXPECT_EQ(line(0), bytes);
  EXPECT_EQ(line(1), "ok");
}

TEST_F(ConfigFileTest, MoreThanSevenLinesReadOnlySeven) {
  writeFile("1\n2\n3\n4\n5\n6\n7\n8\n9\n");
  readConfigFile(PATH);
  EXPECT_EQ(line(6), "7");
}

TEST_F(ConfigFileTest, RereadingStartsFromEmptySlots) {
  writeFile("1\n2\n3\n4\n5\n");
  readConfigFile(PATH);
  writeFile("A\n");
  readConfigFile(PATH);
  EXPECT_EQ(line(0), "A");
  EXPECT_EQ(line(1), "");
}

}  // namespace
