#include "firmware/firmware_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/identity_fields.h"
#include "firmware/firmware_update.h"
#include "tests/support/dongle_model.h"
#include "tests/support/fakes.h"

namespace {

class FirmwareFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "fwimage-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    firmwareLoaded = 0;
    firmwareLength = 0;
  }
  void TearDown() override {
    for (const std::string& f : files) {
      chmod(f.c_str(), 0600);
      std::remove(f.c_str());
    }
    rmdir((dir + "/sub").c_str());
    rmdir(dir.c_str());
  }
  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    files.push_back(path);
    return path;
  }
  static std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 13 + i / 251);
    return v;
  }
  bool imageStartsWith(const std::vector<uint8_t>& bytes) {
    return std::equal(bytes.begin(), bytes.end(), firmwareImage);
  }

  FakeConsole console;
  Output out{&console};
  std::string dir;
  std::vector<std::string> files;
};

TEST_F(FirmwareFile, LoadsEveryByteAndSaysHowMany) {
  const std::vector<uint8_t> bytes = pattern(300, 1);
  const std::string path = write("a.cfw", bytes);
  ASSERT_TRUE(loadFirmwareFile(path.c_str(), out));
  EXPECT_EQ(firmwareLength, 300u);
  EXPECT_EQ(firmwareLoaded, 1);
  EXPECT_TRUE(imageStartsWith(bytes));
  ASSERT_EQ(console.pieces().size(), 1u);
  EXPECT_EQ(console.pieces()[0].text, "Read 300 bytes from file " + path + "\n");
  EXPECT_EQ(console.pieces()[0].style, STYLE_PROGRESS);
}

TEST_F(FirmwareFile, EmptyFileLoadsWithZeroBytes) {
  const std::string path = write("empty.cfw", {});
  ASSERT_TRUE(loadFirmwareFile(path.c_str(), out));
  EXPECT_EQ(firmwareLength, 0u);
  EXPECT_EQ(firmwareLoaded, 1);
  EXPECT_EQ(console.text(), "Read 0 bytes from file " + path + "\n");
}

TEST_F(FirmwareFile, LongFileIsCutAtTheImageSize) {
  const std::vector<uint8_t> bytes = pattern(200000, 7);
  const std::string path = write("big.cfw", bytes);
  ASSERT_TRUE(loadFirmwareFile(path.c_str(), out));
  EXPECT_EQ(firmwareLength, FIRMWARE_CAPACITY);
  EXPECT_TRUE(imageStartsWith(std::vector<uint8_t>(bytes.begin(), bytes.begin() + FIRMWARE_CAPACITY)));
  EXPECT_EQ(console.text(), "Read 131104 bytes from file " + path + "\n");
}

TEST_F(FirmwareFile, ShorterFileLeavesTheRestOfTheBufferAsItWas) {
  const std::vector<uint8_t> longer = pattern(1000, 3), shorter = pattern(10, 90);
  ASSERT_TRUE(loadFirmwareFile(write("long.cfw", longer).c_str(), out));
  ASSERT_TRUE(loadFirmwareFile(write("short.cfw", shorter).c_str(), out));
  EXPECT_EQ(firmwareLength, 10u);
  EXPECT_TRUE(imageStartsWith(shorter));
  EXPECT_EQ(firmwareImage[10], longer[10]);
  EXPECT_EQ(firmwareImage[999], longer[999]);
}

TEST_F(FirmwareFile, FailedOpensKeepTheOldImageButUnloadIt) {
  const std::vector<uint8_t> bytes = pattern(500, 5);
  ASSERT_TRUE(loadFirmwareFile(write("good.cfw", bytes).c_str(), out));
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
  const std::string missing = dir + "/missing.cfw", directory = dir + "/sub";
  // /proc/self/mem opens for anyone but its first bytes cannot be read (EIO).
  for (const std::string& path : {missing, directory, std::string("/proc/self/mem")}) {
    SCOPED_TRACE(path);
    firmwareLoaded = 1;
    console.clear();
    EXPECT_FALSE(loadFirmwareFile(path.c_str(), out));
    EXPECT_EQ(firmwareLoaded, 0);
    EXPECT_EQ(firmwareLength, 500u);
    EXPECT_TRUE(imageStartsWith(bytes));
    EXPECT_EQ(console.text(), "");  // the caller reports it
  }
}

TEST_F(FirmwareFile, UnreadableFileFailsToOpen) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  const std::string path = write("locked.cfw", pattern(20, 1));
  chmod(path.c_str(), 0);
  firmwareLoaded = 1;
  EXPECT_FALSE(loadFirmwareFile(path.c_str(), out));
  EXPECT_EQ(firmwareLoaded, 0);
}

// The update command.
TEST(FirmwareUpdateCommand, RefreshesTheStoresAndRefusesWithoutFirmware) {
  Harness h;
  DongleModel dongle(h);
  prepareUpdate(100);
  firmwareLoaded = 0;
  h.fields.setFieldText(Field::IdNumber, "0A0B0C0D");
  h.fields.setFieldText(Field::Counter, "0000002A");
  EXPECT_EQ(runFirmwareUpdate(h.ctx), UpdateResult::NoFirmware);
  EXPECT_EQ(hex(meterIdBytes, 4), "0D 0C 0B 0A ");
  EXPECT_EQ(invocationCounter, 42u);
  EXPECT_TRUE(h.port->written.empty());
  EXPECT_EQ(h.console.text(), "");  // the window shows the box and the line
}

TEST(FirmwareUpdateCommand, OptionsChooseTheProtocolAndSimpleWins) {
  struct Case {
    uint8_t simple, encryption;
    const char* startLine;
  } cases[] = {
      {1, 1, "Starting firmware update, unencrypted simple Brovanel protocol.\n"},
      {1, 0, "Starting firmware update, unencrypted simple Brovanel protocol.\n"},
      {0, 1, "Starting firmware update, encrypted QOR protocol.\n"},
      {0, 0, "Starting firmware update, unencrypted QOR protocol.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.startLine);
    Harness h;
    DongleModel dongle(h);
    prepareUpdate(7);
    useSimpleProtocol = c.simple;
    encryptionOn = c.encryption;
    EXPECT_EQ(runFirmwareUpdate(h.ctx), UpdateResult::Finished);
    const std::vector<std::string> lines = consoleLines(h.console, STYLE_PROGRESS);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], c.startLine);
    EXPECT_EQ(h.pump.pendingRuns, 1);
    EXPECT_EQ(dongle.of(SeenTelegram::SimpleChunk).size(), c.simple ? 1u : 0u);
    EXPECT_EQ(dongle.seen[0].isProtected, !c.simple && c.encryption);
  }
}

}  // namespace
