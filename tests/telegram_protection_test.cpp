#include "security/telegram_protection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/shell/log_file.h"
#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"

namespace {

const uint8_t kKey[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                          0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
const uint8_t kMeterId[4] = {0x78, 0x56, 0x34, 0x12};
const uint32_t kCounter = 0x0000A1B2;

std::vector<uint8_t> plainArea(size_t size, uint8_t seed) {
  std::vector<uint8_t> area(size);
  for (size_t i = 0; i < size; ++i) area[i] = (uint8_t)(seed + 7 * i);
  if (size >= 2) area[0] = area[1] = 0x2F;
  return area;
}

ossl::TelegramLayout answer(uint8_t tplCi, size_t areaSize = 32) {
  ossl::TelegramLayout layout;
  layout.counter = kCounter;
  layout.tplCi = tplCi;
  layout.address = {0x78, 0x56, 0x34, 0x12, 0x52, 0x0A, 0x40, 0x03};
  layout.area = plainArea(areaSize, 0x41);
  return layout;
}

// A command telegram as the firmware update builds it: MAC field 0xFF, long
// header 0x5B, E encrypted bytes.
ossl::TelegramLayout command(size_t areaSize) {
  ossl::TelegramLayout layout = answer(0x5B, areaSize);
  layout.accessNumber = 0x17;
  return layout;
}
std::vector<uint8_t> unprotectedCommand(const ossl::TelegramLayout& layout) {
  std::vector<uint8_t> app = ossl::plainApplicationPart(layout);
  std::memset(app.data() + 9, 0xFF, 8);
  return app;
}

std::string items(const uint8_t* bytes, size_t n) {
  std::string s;
  char item[8];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(item, sizeof item, "0x%02X ", bytes[i]);
    s += item;
  }
  return s;
}
std::string dump(const std::vector<uint8_t>& v) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) {
    s += items(&v[i], 1);
    if (i % 16 == 15) s += "\n";
  }
  return s + "\n";
}

std::vector<uint8_t> macInput(const std::vector<uint8_t>& app) {
  // Bytes 12 on, with MCL and MCR in place of the last five MAC bytes.
  std::vector<uint8_t> input(app.begin() + 12, app.end());
  std::copy(app.begin() + 4, app.begin() + 9, input.begin());
  return input;
}

// The trace lines shared by MAC and encryption, from meter address on.
std::string derivationTrace(uint8_t constant) {
  const uint8_t counter[4] = {(uint8_t)kCounter, (uint8_t)(kCounter >> 8), (uint8_t)(kCounter >> 16),
                              (uint8_t)(kCounter >> 24)};
  const uint8_t input[16] = {constant,    counter[0],  counter[1],  counter[2], counter[3], kMeterId[0],
                             kMeterId[1], kMeterId[2], kMeterId[3], 7,          7,          7,
                             7,           7,           7,           7};
  ossl::Block derived = ossl::deriveKey(kKey, constant, kMeterId, kCounter);
  return "Meter address: " + items(kMeterId, 4) + "\n" + "Counter: " + items(counter, 4) + "\n" +
         "Key input: " + items(input, 16) + "\n\n" + "Derived key: " + items(derived.data(), 16) + "\n\n";
}

std::string macTrace(const std::vector<uint8_t>& authenticated, uint8_t constant) {
  ossl::Block macKey = ossl::deriveKey(kKey, constant, kMeterId, kCounter);
  ossl::Block tag = ossl::cmac(macKey.data(), authenticated.data(), authenticated.size());
  return "Starting a MAC.\n" + std::string("key: ") + items(kKey, 16) + "\n\n" + "Bytes to MAC: " +
         dump(authenticated) + derivationTrace(constant) + "Calculated MAC: " + items(tag.data(), 16) + "\n\n";
}

// Every test writes a fresh log in its working directory and reads it back.
class TelegramProtection : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(openLogFile("telegram-test.log")); }
  void TearDown() override { closeLogFile(); }
  std::string log() {
    std::ifstream in("telegram-test.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void clearLog() { ASSERT_TRUE(openLogFile("telegram-test.log")); }
  bool contains(const std::string& needle) { return log().find(needle) != std::string::npos; }
};

// Decrypts a copy sized exactly to the part, so ASan sees any overrun.
bool decryptExact(std::vector<uint8_t>& app) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[app.size() ? app.size() : 1]);
  if (!app.empty()) std::memcpy(exact.get(), app.data(), app.size());
  bool ok = telegramDecrypt(exact.get(), (uint32_t)app.size(), kMeterId, kKey);
  if (!app.empty()) std::memcpy(app.data(), exact.get(), app.size());
  return ok;
}
bool encryptExact(std::vector<uint8_t>& app) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[app.size() ? app.size() : 1]);
  if (!app.empty()) std::memcpy(exact.get(), app.data(), app.size());
  bool ok = telegramEncryptAndMac(exact.get(), (uint32_t)app.size(), kMeterId, kKey);
  if (!app.empty()) std::memcpy(app.data(), exact.get(), app.size());
  return ok;
}

TEST_F(TelegramProtection, AnswerWithoutAflLeavesOnlyTheStartLine) {
  std::vector<uint8_t> app = ossl::plainApplicationPart(answer(0x7A));
  app[0] = 0x72;
  EXPECT_FALSE(decryptExact(app));
  EXPECT_EQ("Decrypt: Starting a decrypt.\n", log());
}

TEST_F(TelegramProtection, ShortAndLongHeaderAnswersVerifyAndDecrypt) {
  // Short header: area at TPL +6; long header: TPL +14 (CFE skipped in mode 7).
  for (auto [ci, offset] : {std::pair<uint8_t, size_t>{0x7A, 23}, {0x5A, 23}, {0x72, 31}, {0x6D, 31}}) {
    clearLog();
    ossl::TelegramLayout layout = answer(ci);
    std::vector<uint8_t> app = ossl::protectedApplicationPart(layout, kMeterId, kKey, true);
    std::vector<uint8_t> expected = ossl::plainApplicationPart(layout);
    std::memcpy(expected.data() + 12, expected.data() + 4, 5);  // MCL and MCR over the MAC tail
    std::memcpy(expected.data() + 9, app.data() + 9, 3);
    EXPECT_EQ(offset, encryptedData(app.data(), (uint32_t)app.size())) << std::hex << (int)ci;
    EXPECT_EQ(32u, encryptedLength(app.data(), (uint32_t)app.size()));
    EXPECT_TRUE(decryptExact(app)) << std::hex << (int)ci;
    EXPECT_EQ(hex(expected), hex(app));
    EXPECT_TRUE(contains("Decrypt: MAC OK.\nDecrypt: 2 bytes 0x2F found.\n"));
  }
}

TEST_F(TelegramProtection, ChangedMacByteIsReportedAndNothingIsDecrypted) {
  const std::vector<uint8_t> good = ossl::protectedApplicationPart(answer(0x7A), kMeterId, kKey, true);
  for (size_t i = 9; i < 17; ++i) {
    clearLog();
    std::vector<uint8_t> app = withByte(good, i, (uint8_t)(good[i] ^ 0x01));
    EXPECT_FALSE(decryptExact(app)) << "byte " << i;
    EXPECT_EQ(hex(good.data() + 17, good.size() - 17), hex(app.data() + 17, app.size() - 17));
    std::string text = log();
    EXPECT_EQ("Decrypt: MAC not OK.\n", text.substr(text.size() - 21));
  }
}

TEST_F(TelegramProtection, ChangedEncryptedByteOrWrongIdentityFails) {
  const std::vector<uint8_t> good = ossl::protectedApplicationPart(answer(0x72), kMeterId, kKey, true);
  std::vector<uint8_t> app = withByte(good, 40, (uint8_t)(good[40] ^ 0x80));
  EXPECT_FALSE(decryptExact(app));
  EXPECT_TRUE(contains("Decrypt: MAC not OK.\n"));

  // Sent to the meter, not from it: the MAC key differs.
  app = ossl::protectedApplicationPart(answer(0x72), kMeterId, kKey, false);
  EXPECT_FALSE(decryptExact(app));
}

TEST_F(TelegramProtection, ModeOtherThanSevenHasNoCfeAndStartsOneByteEarlier) {
  for (auto [ci, offset] : {std::pair<uint8_t, size_t>{0x7A, 22}, {0x72, 30}}) {
    ossl::TelegramLayout layout = answer(ci);
    layout.configHigh = 0x05;  // mode 5
    std::vector<uint8_t> app = ossl::protectedApplicationPart(layout, kMeterId, kKey, true);
    EXPECT_EQ(offset, encryptedData(app.data(), (uint32_t)app.size()));
    EXPECT_TRUE(decryptExact(app)) << std::hex << (int)ci;
    EXPECT_EQ(hex(layout.area), hex(app.data() + offset, 32));
  }
}

TEST_F(TelegramProtection, LowFourBitsOfTheConfigurationAreIgnored) {
  ossl::TelegramLayout layout = answer(0x7A);
  layout.configLowNibble = 0x05;  // low byte 0x25
  layout.rest = {0xAA, 0xBB};
  std::vector<uint8_t> app = ossl::protectedApplicationPart(layout, kMeterId, kKey, true);
  ASSERT_EQ(0x25, app[20]);
  EXPECT_EQ(32u, encryptedLength(app.data(), (uint32_t)app.size()));
  EXPECT_TRUE(decryptExact(app));
  EXPECT_EQ(hex(layout.area), hex(app.data() + 23, 32));
  EXPECT_EQ("AA BB ", hex(app.data() + 55, 2));
}

TEST_F(TelegramProtection, FieldFunctionsFollowTheHeaderTable) {
  std::vector<uint8_t> app = ossl::plainApplicationPart(answer(0x72));
  const uint32_t n = (uint32_t)app.size();
  EXPECT_TRUE(aflPresent(app.data(), n));
  EXPECT_EQ(app.data() + 1, aflFields(app.data(), n));
  EXPECT_EQ(nullptr, aflFields(app.data(), 16));
  EXPECT_EQ((int32_t)n - 17, aflPayloadLength(app.data(), n));

  // Without an AFL the TPL CI is byte 0.
  std::vector<uint8_t> bare(app.begin() + 17, app.end());
  EXPECT_FALSE(aflPresent(bare.data(), (uint32_t)bare.size()));
  EXPECT_EQ(14u, encryptedData(bare.data(), (uint32_t)bare.size()));
  EXPECT_EQ(32u, encryptedLength(bare.data(), (uint32_t)bare.size()));

  // An unknown CI: nothing encrypted, the area would start right after it.
  app[17] = 0x78;
  EXPECT_EQ(0u, encryptedLength(app.data(), n));
  EXPECT_EQ(18u, encryptedData(app.data(), n));

  // AFLL is taken modulo 256: 0xFE puts the TPL CI on byte 0 (0x90, unknown).
  app[1] = 0xFE;
  EXPECT_EQ(1u, encryptedData(app.data(), n));
  EXPECT_EQ(0u, encryptedLength(app.data(), n));
}

TEST_F(TelegramProtection, UnknownHeaderDecryptsNothingAndChecksTheBytesAfterTheCi) {
  std::vector<uint8_t> app = ossl::plainApplicationPart(answer(0x7A));
  app[17] = 0x78;
  app[18] = app[19] = 0x2F;
  ossl::writeMac(app, kMeterId, kKey, true);
  std::vector<uint8_t> before = app;
  EXPECT_TRUE(decryptExact(app));
  EXPECT_EQ(hex(before.data() + 17, before.size() - 17), hex(app.data() + 17, app.size() - 17));

  app = before;
  app[19] = 0x00;
  ossl::writeMac(app, kMeterId, kKey, true);
  EXPECT_FALSE(decryptExact(app));
  EXPECT_TRUE(contains("Decrypt: MAC OK.\nDecrypt: Decrypt error.\n"));
}

TEST_F(TelegramProtection, WrongPlainTextIsADecryptErrorButStaysDecrypted) {
  ossl::TelegramLayout layout = answer(0x7A);
  layout.area[1] = 0x00;
  std::vector<uint8_t> app = ossl::protectedApplicationPart(layout, kMeterId, kKey, true);
  EXPECT_FALSE(decryptExact(app));
  EXPECT_EQ(hex(layout.area), hex(app.data() + 23, 32));
  EXPECT_TRUE(contains("Decrypt: MAC OK.\nDecrypt: Decrypt error.\n"));
}

TEST_F(TelegramProtection, ExactTraceOfADecrypt) {
  std::vector<uint8_t> app = ossl::protectedApplicationPart(answer(0x72), kMeterId, kKey, true);
  std::vector<uint8_t> authenticated = macInput(app);
  std::string expected = "Decrypt: Starting a decrypt.\nDecrypt: AFL found.\nDecrypt: data length 46 found.\n" +
                         macTrace(authenticated, ossl::kMacFromMeter) + "Compare MAC: " + items(app.data() + 9, 8) +
                         "\n" + "Decrypt: MAC OK.\nDecrypt: 2 bytes 0x2F found.\n";
  ASSERT_EQ(63u, app.size());
  EXPECT_TRUE(decryptExact(app));
  EXPECT_EQ(expected, log());
}

TEST_F(TelegramProtection, ExactTraceOfAnEncryptAndMac) {
  ossl::TelegramLayout layout = command(16);
  std::vector<uint8_t> app = unprotectedCommand(layout);
  std::vector<uint8_t> sent = ossl::protectedApplicationPart(layout, kMeterId, kKey, false);
  std::vector<uint8_t> encryptedArea(sent.begin() + 31, sent.end());
  std::string expected = "Starting an encrypt and MAC.\n" + std::string("Key: ") + items(kKey, 16) + "\n\n" +
                         "Bytes to encrypt: " + dump(layout.area) + derivationTrace(ossl::kEncToMeter) +
                         "Encrypted data: " + dump(encryptedArea) + macTrace(macInput(sent), ossl::kMacToMeter);
  EXPECT_TRUE(encryptExact(app));
  EXPECT_EQ(expected, log());
}

// The sizes the firmware update sends: a command (E 16) and a full data block (E 144).
TEST_F(TelegramProtection, EncryptAndMacOutputOpensOnTheMeterSide) {
  for (auto [area, total, macLength] : {std::tuple<size_t, size_t, int>{16, 47, 35}, {144, 175, 163}}) {
    clearLog();
    ossl::TelegramLayout layout = command(area);
    std::vector<uint8_t> app = unprotectedCommand(layout);
    ASSERT_EQ(total, app.size());
    EXPECT_TRUE(encryptExact(app));
    EXPECT_EQ(hex(ossl::protectedApplicationPart(layout, kMeterId, kKey, false)), hex(app));

    EXPECT_TRUE(ossl::verifyAndDecrypt(app, kMeterId, kKey, false));
    EXPECT_EQ(hex(layout.area), hex(app.data() + 31, area));

    // The MAC dump holds exactly the authenticated bytes.
    std::string text = log();
    size_t from = text.find("Bytes to MAC: "), to = text.find("Meter address: ", from);
    ASSERT_NE(std::string::npos, to);
    int count = 0;
    for (size_t at = text.find("0x", from); at < to; at = text.find("0x", at + 1)) ++count;
    EXPECT_EQ(macLength, count);
  }
}

TEST_F(TelegramProtection, EncryptAndMacRefusesAPartWithoutAfl) {
  std::vector<uint8_t> app = unprotectedCommand(command(16));
  app[0] = 0x68;
  std::vector<uint8_t> before = app;
  EXPECT_FALSE(encryptExact(app));
  EXPECT_EQ(hex(before), hex(app));
  EXPECT_EQ("", log());
}

TEST_F(TelegramProtection, AnnouncedAreaBeyondTheEndIsRefusedWithoutDecrypting) {
  ossl::TelegramLayout layout = answer(0x7A);
  std::vector<uint8_t> app = ossl::protectedApplicationPart(layout, kMeterId, kKey, true);
  app[20] = 0xF0;  // 240 bytes announced, 32 present
  ossl::writeMac(app, kMeterId, kKey, true);
  std::vector<uint8_t> before = app;
  EXPECT_FALSE(decryptExact(app));
  EXPECT_EQ(hex(before.data() + 17, before.size() - 17), hex(app.data() + 17, app.size() - 17));
  std::string text = log();
  EXPECT_NE(std::string::npos, text.find("Decrypt: MAC OK.\nDecrypt: encrypted area beyond the end.\n"));

  std::vector<uint8_t> plain = unprotectedCommand(command(16));
  plain[28] = 0x20;  // 32 announced, 16 present
  before = plain;
  clearLog();
  EXPECT_FALSE(encryptExact(plain));
  EXPECT_EQ(hex(before), hex(plain));
  EXPECT_EQ("", log());
}

TEST_F(TelegramProtection, AfllPointingBeyondTheEndIsRefused) {
  std::vector<uint8_t> app = ossl::protectedApplicationPart(answer(0x7A), kMeterId, kKey, true);
  app[1] = 0xF0;  // TPL CI at 242 of 55
  ossl::writeMac(app, kMeterId, kKey, true);
  EXPECT_FALSE(decryptExact(app));
  EXPECT_TRUE(contains("Decrypt: encrypted area beyond the end.\n"));
  std::vector<uint8_t> plain = unprotectedCommand(command(16));
  plain[1] = 0xF0;
  EXPECT_FALSE(encryptExact(plain));
}

TEST_F(TelegramProtection, EveryTruncationIsRefusedInsideItsLength) {
  const std::vector<uint8_t> good = ossl::protectedApplicationPart(answer(0x72), kMeterId, kKey, true);
  const std::vector<uint8_t> plain = unprotectedCommand(command(16));
  for (size_t length = 0; length < good.size(); ++length) {
    std::vector<uint8_t> app(good.begin(), good.begin() + (long)length);
    EXPECT_FALSE(decryptExact(app)) << "length " << length;
  }
  for (size_t length = 0; length < plain.size(); ++length) {
    std::vector<uint8_t> app(plain.begin(), plain.begin() + (long)length);
    std::vector<uint8_t> before = app;
    EXPECT_FALSE(encryptExact(app)) << "length " << length;
    EXPECT_EQ(hex(before), hex(app)) << "length " << length;
  }
  // Shorter than the AFL: refused after the length line, bytes untouched.
  clearLog();
  std::vector<uint8_t> app(good.begin(), good.begin() + 16);
  EXPECT_FALSE(decryptExact(app));
  EXPECT_EQ(hex(good.data(), 16), hex(app));
  EXPECT_EQ("Decrypt: Starting a decrypt.\nDecrypt: AFL found.\nDecrypt: data length -1 found.\n"
            "Decrypt: data length out of range.\n",
            log());
}

// Random AFLL, TPL CI and configuration bytes, each with a valid MAC so the
// layout code runs; exact-size buffers make any overrun visible under ASan.
TEST_F(TelegramProtection, RandomLayoutFieldsStayInsideThePart) {
  const uint8_t cis[] = {0x5A, 0x7A, 0x5B, 0x6C, 0x6D, 0x72, 0x78, 0x00};
  std::mt19937 rng(757);
  int decrypted = 0;
  for (int round = 0; round < 3000; ++round) {
    ossl::TelegramLayout layout = answer(cis[rng() % 8], 16 * (rng() % 4));
    std::vector<uint8_t> app = ossl::protectedApplicationPart(layout, kMeterId, kKey, true);
    std::vector<uint8_t> command = ossl::plainApplicationPart(layout);
    for (std::vector<uint8_t>* part : {&app, &command}) {
      if (rng() % 2) part->resize(17 + rng() % (part->size() - 16));
      if (rng() % 2) (*part)[1] = (uint8_t)rng();
      if (part->size() > 17 && rng() % 2) (*part)[17 + rng() % (part->size() - 17)] = (uint8_t)rng();
    }
    ossl::writeMac(app, kMeterId, kKey, true);
    if (round % 100 == 0) clearLog();  // keep the log small
    if (decryptExact(app)) {
      ++decrypted;
      uint32_t at = encryptedData(app.data(), (uint32_t)app.size());
      ASSERT_LE(at + 2, app.size());
      EXPECT_EQ(0x2F, app[at]);
      EXPECT_EQ(0x2F, app[at + 1]);
    }
    if (encryptExact(command)) {
      // Whatever the layout, the MAC written covers MCL, MCR and bytes 17 on.
      std::vector<uint8_t> remac = command;
      ossl::writeMac(remac, kMeterId, kKey, false);
      ASSERT_EQ(hex(remac), hex(command));
    }
  }
  EXPECT_GT(decrypted, 0);
}

}  // namespace
