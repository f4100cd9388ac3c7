// Output: every text and dump reaches the log file and the console alike,
// and the dump format holds 16 bytes a line, each "0x%02X ".
#include "app/shell/output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/shell/log_file.h"
#include "tests/support/fakes.h"

namespace {

const char* const LOG_PATH = "output_test.log";

std::string logContents() {
  std::ifstream in(LOG_PATH, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string dumpLine(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  std::string s;
  char item[8];
  for (size_t i = from; i < from + count; ++i) {
    std::snprintf(item, sizeof item, "0x%02X ", bytes[i]);
    s += item;
  }
  return s;
}

std::vector<uint8_t> sequence(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = (uint8_t)(0xA0 + i);
  return bytes;
}

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(openLogFile(LOG_PATH)); }
  void TearDown() override {
    closeLogFile();
    std::remove(LOG_PATH);
  }
  FakeConsole console;
  Output out{&console};
};

TEST_F(OutputTest, FiveByteShortFrameIsOneLine) {
  const std::vector<uint8_t> frame{0x10, 0x5B, 0xFE, 0x59, 0x16};
  out.dumpBytes(frame.data(), (int)frame.size(), STYLE_RECEIVED);
  EXPECT_EQ(logContents(), "0x10 0x5B 0xFE 0x59 0x16 \n") << hex(frame);
  EXPECT_EQ(console.text(), logContents());
}

TEST_F(OutputTest, SixteenBytesGiveAFullLineThenAnEmptyLine) {
  const auto bytes = sequence(16);
  out.dumpBytes(bytes.data(), 16, STYLE_RECEIVED);
  EXPECT_EQ(logContents(), dumpLine(bytes, 0, 16) + "\n\n");
}

TEST_F(OutputTest, SeventeenBytesGiveAFullLineAndALineWithOneByte) {
  const auto bytes = sequence(17);
  out.dumpBytes(bytes.data(), 17, STYLE_RECEIVED);
  EXPECT_EQ(logContents(), dumpLine(bytes, 0, 16) + "\n" + "0xB0 \n");
}

TEST_F(OutputTest, ThirtyTwoBytesGiveTwoFullLinesThenAnEmptyLine) {
  const auto bytes = sequence(32);
  out.dumpBytes(bytes.data(), 32, STYLE_RECEIVED);
  EXPECT_EQ(logContents(), dumpLine(bytes, 0, 16) + "\n" + dumpLine(bytes, 16, 16) + "\n\n");
}

TEST_F(OutputTest, ZeroOrNegativeCountWritesOnlyALineEnd) {
  const uint8_t unused = 0x42;
  out.dumpBytes(&unused, 0, STYLE_RECEIVED);
  out.dumpBytes(&unused, -3, STYLE_RECEIVED);
  EXPECT_EQ(logContents(), "\n\n");
  EXPECT_EQ(console.text(), "\n\n");
}

TEST_F(OutputTest, DumpKeepsItsStyleOnEveryPieceAndScrollsOnce) {
  const auto bytes = sequence(17);
  out.dumpBytes(bytes.data(), 17, STYLE_PROGRESS);
  ASSERT_FALSE(console.pieces().empty());
  for (const auto& piece : console.pieces()) EXPECT_EQ(piece.style, STYLE_PROGRESS) << piece.text;
  EXPECT_EQ(console.scrolls(), 1);
}

TEST_F(OutputTest, SentDumpUsesStyleOne) {
  const std::vector<uint8_t> frame{0x10, 0x40, 0xFB, 0x3B, 0x16};
  out.dumpSentBytes(frame.data(), 5);
  for (const auto& piece : console.pieces()) EXPECT_EQ(piece.style, STYLE_SENT);
  EXPECT_EQ(console.text(), "0x10 0x40 0xFB 0x3B 0x16 \n");
}

TEST_F(OutputTest, FixedTextGoesToLogAndConsoleInItsStyleAndScrolls) {
  out.outputText(">>> REQ_UD2\n", STYLE_SENT);
  EXPECT_EQ(logContents(), ">>> REQ_UD2\n");
  ASSERT_EQ(console.pieces().size(), 1u);
  EXPECT_EQ(console.pieces()[0].text, ">>> REQ_UD2\n");
  EXPECT_EQ(console.pieces()[0].style, STYLE_SENT);
  EXPECT_EQ(console.scrolls(), 1);
}

TEST_F(OutputTest, FixedTextKeepsItsExactLengthIncludingNul) {
  const char text[] = {'A', '\0', 'B', '\n'};
  out.outputText(text, 4, STYLE_RECEIVED);
  EXPECT_EQ(logContents(), std::string(text, 4));
  EXPECT_EQ(console.text(), std::string(text, 4));
}

TEST_F(OutputTest, FormattedTextIsFormattedOnce) {
  out.outputFormat(STYLE_RECEIVED, "Message counter found: %d\n", 6);
  out.outputFormat(STYLE_PROGRESS, "Read %d bytes from file %s\n", 131104, "a.cfw");
  EXPECT_EQ(logContents(), "Message counter found: 6\nRead 131104 bytes from file a.cfw\n");
  EXPECT_EQ(console.pieces()[1].style, STYLE_PROGRESS);
}

TEST_F(OutputTest, OverlongFormattedTextIsCutNotOverflowed) {
  const std::string longName(2000, 'n');
  out.outputFormat(STYLE_SENT, "file %s\n", longName.c_str());
  EXPECT_EQ(logContents().size(), 511u);
  EXPECT_EQ(logContents(), console.text());
}

TEST_F(OutputTest, TextWithoutLineEndContinuesTheLineWithTheNextDump) {
  const std::vector<uint8_t> key{0x5A, 0x17};
  out.outputText("Decrypting using key: ", STYLE_PROGRESS);
  out.dumpBytes(key.data(), 2, STYLE_PROGRESS);
  EXPECT_EQ(logContents(), "Decrypting using key: 0x5A 0x17 \n");
}

TEST_F(OutputTest, LogEqualsConsoleTextOverAMixedSession) {
  const std::vector<uint8_t> sent{0x10, 0x5B, 0xFB, 0x56, 0x16};
  const auto answer = sequence(40);
  out.outputText(">>> REQ_UD2\n", STYLE_SENT);
  out.dumpSentBytes(sent.data(), (int)sent.size());
  out.outputText("<<< Answer\n", STYLE_RECEIVED);
  out.dumpBytes(answer.data(), (int)answer.size(), STYLE_RECEIVED);
  out.outputFormat(STYLE_RECEIVED, "Message counter found: %d\n", 6);
  out.dumpBytes(answer.data(), 0, STYLE_PROGRESS);
  EXPECT_EQ(logContents(), console.text());
  EXPECT_NE(console.text().find("0xC7 \n"), std::string::npos);  // byte 40 ends the dump
}

TEST_F(OutputTest, WithoutLogTheConsoleStillGetsEverything) {
  closeLogFile();
  out.outputText("still shown\n", STYLE_SENT);
  const std::vector<uint8_t> frame{0xE5};
  out.dumpBytes(frame.data(), 1, STYLE_RECEIVED);
  EXPECT_EQ(console.text(), "still shown\n0xE5 \n");
}

TEST_F(OutputTest, WithoutConsoleTheLogStillGetsEverything) {
  Output logOnly;
  logOnly.outputText("log only\n", STYLE_SENT);
  EXPECT_EQ(logContents(), "log only\n");
}

TEST(LogFileTest, OpeningTruncatesAnEarlierLog) {
  {
    std::ofstream old("truncate_test.log");
    old << "from the previous run\n";
  }
  ASSERT_TRUE(openLogFile("truncate_test.log"));
  logText("new\n");
  closeLogFile();
  std::ifstream in("truncate_test.log");
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "new\n");
  std::remove("truncate_test.log");
}

TEST(LogFileTest, UncreatableLogIsReportedAndLeavesNoStream) {
  // A directory of that name defeats even root, unlike a read-only folder.
  ::rmdir("log_is_a_dir");
  ASSERT_EQ(::mkdir("log_is_a_dir", 0755), 0);
  EXPECT_FALSE(openLogFile("log_is_a_dir"));
  EXPECT_EQ(logFile, nullptr);
  logText("goes nowhere\n");  // must not crash
  EXPECT_EQ(::rmdir("log_is_a_dir"), 0);
}

}  // namespace
