// Output: every text and dump reaches the log file and the console alike,
// and the dump format holds 16 bytes a line, each "0x%02X ".
#include "app/shell/output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/shell/log_file.h"
#include "tests/support/fakes.h"

namespace {

const char* const LOG_PATH = "output_test.log";

std::string logContents() {
  std::ifstream in(LOG_PATH, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

TEST_F(OutputTest, DumpHoldsSixteenBytesALineAndEndsWithOneLineEnd) {
  std::vector<uint8_t> sequence(32);
  for (size_t i = 0; i < sequence.size(); ++i) sequence[i] = (uint8_t)(0xA0 + i);
  const std::string row0 = "0xA0 0xA1 0xA2 0xA3 0xA4 0xA5 0xA6 0xA7 0xA8 0xA9 0xAA 0xAB 0xAC 0xAD 0xAE 0xAF ";
  const std::string row1 = "0xB0 0xB1 0xB2 0xB3 0xB4 0xB5 0xB6 0xB7 0xB8 0xB9 0xBA 0xBB 0xBC 0xBD 0xBE 0xBF ";
  const std::vector<uint8_t> sndNke{0x10, 0x40, 0xFB, 0x3B, 0x16}, reqUd2{0x10, 0x5B, 0xFE, 0x59, 0x16};
  const struct {
    const char* name;
    const uint8_t* bytes;
    int count;
    int style;  // 0: dumpSentBytes
    std::string expected;
  } cases[] = {
      {"five-byte frame", reqUd2.data(), 5, STYLE_RECEIVED, "0x10 0x5B 0xFE 0x59 0x16 \n"},
      {"sent frame", sndNke.data(), 5, 0, "0x10 0x40 0xFB 0x3B 0x16 \n"},
      {"16: full line, empty line", sequence.data(), 16, STYLE_RECEIVED, row0 + "\n\n"},
      {"17: full line, one byte", sequence.data(), 17, STYLE_PROGRESS, row0 + "\n0xB0 \n"},
      {"32: two full lines, empty line", sequence.data(), 32, STYLE_RECEIVED, row0 + "\n" + row1 + "\n\n"},
      {"zero: only a line end", sequence.data(), 0, STYLE_RECEIVED, "\n"},
      {"negative: only a line end", sequence.data(), -3, STYLE_PROGRESS, "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeConsole view;
    Output output(&view);
    ASSERT_TRUE(openLogFile(LOG_PATH));
    if (c.style) output.dumpBytes(c.bytes, c.count, c.style);
    else output.dumpSentBytes(c.bytes, c.count);
    EXPECT_EQ(logContents(), c.expected) << hex(c.bytes, c.count > 0 ? (size_t)c.count : 0);
    EXPECT_EQ(view.text(), c.expected);
    for (const auto& piece : view.pieces()) EXPECT_EQ(piece.style, c.style ? c.style : STYLE_SENT) << piece.text;
    EXPECT_EQ(view.scrolls(), 1);
  }
}

TEST_F(OutputTest, TextsReachLogAndConsoleWithTheirExactLengthAndStyle) {
  const char withNul[] = {'A', '\0', 'B', '\n'};
  const uint8_t key[] = {0x5A, 0x17};
  out.outputText(">>> REQ_UD2\n", STYLE_SENT);
  out.outputText(withNul, 4, STYLE_RECEIVED);
  out.outputFormat(STYLE_RECEIVED, "Message counter found: %d\n", 6);
  out.outputFormat(STYLE_PROGRESS, "Read %d bytes from file %s\n", 131104, "a.cfw");
  out.outputText("Decrypting using key: ", STYLE_PROGRESS);  // the dump continues the line
  out.dumpBytes(key, 2, STYLE_PROGRESS);
  const std::string expected = ">>> REQ_UD2\n" + std::string(withNul, 4) +
                               "Message counter found: 6\nRead 131104 bytes from file a.cfw\n"
                               "Decrypting using key: 0x5A 0x17 \n";
  EXPECT_EQ(logContents(), expected);
  EXPECT_EQ(console.text(), expected);
  const std::vector<int> styles{STYLE_SENT, STYLE_RECEIVED, STYLE_RECEIVED, STYLE_PROGRESS, STYLE_PROGRESS};
  ASSERT_GT(console.pieces().size(), styles.size());
  for (size_t i = 0; i < console.pieces().size(); ++i)
    EXPECT_EQ(console.pieces()[i].style, i < styles.size() ? styles[i] : STYLE_PROGRESS) << i;
  EXPECT_EQ(console.scrolls(), 6);
}

TEST_F(OutputTest, OverlongFormattedTextIsCutNotOverflowed) {
  const std::string longName(2000, 'n');
  out.outputFormat(STYLE_SENT, "file %s\n", longName.c_str());
  EXPECT_EQ(logContents(), "file " + std::string(506, 'n'));  // 511 characters
  EXPECT_EQ(console.text(), logContents());
}

TEST_F(OutputTest, EachSinkGetsEverythingWithoutTheOther) {
  closeLogFile();
  const uint8_t ack = 0xE5;
  out.outputText("still shown\n", STYLE_SENT);
  out.dumpBytes(&ack, 1, STYLE_RECEIVED);
  EXPECT_EQ(console.text(), "still shown\n0xE5 \n");

  ASSERT_TRUE(openLogFile(LOG_PATH));
  Output logOnly;
  logOnly.outputText("log only\n", STYLE_SENT);
  logOnly.dumpBytes(&ack, 1, STYLE_RECEIVED);
  EXPECT_EQ(logContents(), "log only\n0xE5 \n");
}

TEST(LogFileTest, OpeningTruncatesAnEarlierLogAndAnUncreatableOneLeavesNoStream) {
  std::ofstream("truncate_test.log") << "from the previous run\n";
  ASSERT_TRUE(openLogFile("truncate_test.log"));
  logText("new\n");
  // A directory of that name defeats even root, unlike a read-only folder.
  ::rmdir("log_is_a_dir");
  ASSERT_EQ(::mkdir("log_is_a_dir", 0755), 0);
  EXPECT_FALSE(openLogFile("log_is_a_dir"));  // closes the earlier one first
  EXPECT_EQ(logFile, nullptr);
  logText("goes nowhere\n");  // must not crash
  EXPECT_EQ(::rmdir("log_is_a_dir"), 0);
  std::ifstream in("truncate_test.log");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "new\n");
  std::remove("truncate_test.log");
}

}  // namespace
