#include "firmware/firmware_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
    return path;
  }
  static std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 13 + i / 251);
    return v;
  }
  static bool imageStartsWith(const std::vector<uint8_t>& bytes, size_t n) {
    return std::equal(bytes.begin(), bytes.begin() + (long)n, firmwareImage);
  }

  FakeConsole console;
  Output out{&console};
  std::string dir;
};

// One after the other: a file, an empty one, one beyond the image size (cut
// at 131104 bytes), then a shorter one after a longer one.
TEST_F(FirmwareFile, LoadsEveryByteUpToTheImageSizeAndSaysHowMany) {
  for (size_t size : {300, 0, 200000, 1000, 10}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> bytes = pattern(size, (uint8_t)size);
    const std::string path = write(std::to_string(size) + ".cfw", bytes);
    const size_t expected = std::min<size_t>(size, FIRMWARE_CAPACITY);
    console.clear();
    firmwareLoaded = 0;
    ASSERT_TRUE(loadFirmwareFile(path.c_str(), out));
    EXPECT_EQ(firmwareLength, expected);
    EXPECT_EQ(firmwareLoaded, 1);
    EXPECT_TRUE(imageStartsWith(bytes, expected));
    ASSERT_EQ(console.pieces().size(), 1u);
    EXPECT_EQ(console.pieces()[0].text, "Read " + std::to_string(expected) + " bytes from file " + path + "\n");
    EXPECT_EQ(console.pieces()[0].style, STYLE_PROGRESS);
  }
}

// Missing, a directory, one that opens but cannot be read (/proc/self/mem
// gives EIO at its start), and one without read permission (not for root).
TEST_F(FirmwareFile, FailedOpensKeepTheOldImageButUnloadIt) {
  const std::vector<uint8_t> bytes = pattern(500, 5);
  ASSERT_TRUE(loadFirmwareFile(write("good.cfw", bytes).c_str(), out));
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
  std::vector<std::string> paths{dir + "/missing.cfw", dir + "/sub", "/proc/self/mem"};
  if (geteuid() != 0) {
    paths.push_back(write("locked.cfw", pattern(20, 1)));
    chmod(paths.back().c_str(), 0);
  }
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    firmwareLoaded = 1;
    console.clear();
    EXPECT_FALSE(loadFirmwareFile(path.c_str(), out));
    EXPECT_EQ(firmwareLoaded, 0);
    EXPECT_EQ(firmwareLength, 500u);
    EXPECT_TRUE(imageStartsWith(bytes, bytes.size()));
    EXPECT_EQ(console.text(), "");  // the caller reports it
  }
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
  const struct {
    uint8_t simple, encryption;
    const char* startLine;
  } cases[] = {
      {1, 1, "Starting firmware update, unencrypted simple Brovanel protocol.\n"},
      {1, 0, "Starting firmware update, unencrypted simple Brovanel protocol.\n"},
      {0, 1, "Starting firmware update, encrypted QOR protocol.\n"},
      {0, 0, "Starting firmware update, unencrypted QOR protocol.\n"},
  };
  for (const auto& c : cases) {
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
