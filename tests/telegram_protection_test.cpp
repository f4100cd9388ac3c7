#include "security/telegram_protection.h"

#include <gtest/gtest.h>

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

using Bytes = std::vector<uint8_t>;
const uint8_t kKey[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                          0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
const uint8_t kMeterId[4] = {0x78, 0x56, 0x34, 0x12};
const uint32_t kCounter = 0x0000A1B2;
const std::string kOk = "Decrypt: MAC OK.\nDecrypt: 2 bytes 0x2F found.\n";
const std::string kMacNotOk = "Decrypt: MAC not OK.\n";
const std::string kDecryptError = "Decrypt: MAC OK.\nDecrypt: Decrypt error.\n";
const std::string kBeyondTheEnd = "Decrypt: MAC OK.\nDecrypt: encrypted area beyond the end.\n";

// An answer from the meter: a plain area beginning 2F 2F, then two clear bytes.
ossl::TelegramLayout answer(uint8_t tplCi, size_t areaSize = 32) {
  ossl::TelegramLayout layout;
  layout.counter = kCounter;
  layout.tplCi = tplCi;
  layout.address = {0x78, 0x56, 0x34, 0x12, 0x52, 0x0A, 0x40, 0x03};
  for (size_t i = 0; i < areaSize; ++i) layout.area.push_back(i < 2 ? 0x2F : (uint8_t)(0x41 + 7 * i));
  layout.rest = {0xAA, 0xBB};
  return layout;
}
Bytes fromMeter(const ossl::TelegramLayout& layout) {
  return ossl::protectedApplicationPart(layout, kMeterId, kKey, true);
}

// A command as the firmware update builds it: long header 0x5B, MAC field
// 0xFF, E encrypted bytes and nothing behind them.
ossl::TelegramLayout command(size_t areaSize) {
  ossl::TelegramLayout layout = answer(0x5B, areaSize);
  layout.accessNumber = 0x17;
  layout.rest.clear();
  return layout;
}
Bytes unprotectedCommand(const ossl::TelegramLayout& layout) {
  Bytes app = ossl::plainApplicationPart(layout);
  std::memset(app.data() + 9, 0xFF, 8);
  return app;
}

// The trace lines shared by MAC and encryption, from meter address on. A
// fixed-size field is its label and its bytes on one line, so a field of
// 16 bytes ends with an empty line, like a dump of 16 bytes.
std::string derivationTrace(uint8_t constant) {
  Bytes input{constant, (uint8_t)kCounter, (uint8_t)(kCounter >> 8), (uint8_t)(kCounter >> 16),
              (uint8_t)(kCounter >> 24)};
  input.insert(input.end(), kMeterId, kMeterId + 4);
  input.resize(16, 0x07);
  return "Meter address: " + consoleDump(kMeterId, 4) + "Counter: " + consoleDump(input.data() + 1, 4) +
         "Key input: " + consoleDump(input) + "Derived key: " +
         consoleDump(ossl::deriveKey(kKey, constant, kMeterId, kCounter).data(), 16);
}

std::string macTrace(const Bytes& authenticated, uint8_t constant) {
  ossl::Block macKey = ossl::deriveKey(kKey, constant, kMeterId, kCounter);
  ossl::Block tag = ossl::cmac(macKey.data(), authenticated.data(), authenticated.size());
  return "Starting a MAC.\nkey: " + consoleDump(kKey, 16) + "Bytes to MAC: " + consoleDump(authenticated) +
         derivationTrace(constant) + "Calculated MAC: " + consoleDump(tag.data(), 16);
}

// Runs an operation on a copy sized exactly to the part, so ASan sees any overrun.
using Operation = bool (*)(uint8_t*, uint32_t, const uint8_t*, const uint8_t*);
bool onExactCopy(Operation operation, Bytes& app) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[app.empty() ? 1 : app.size()]);
  std::copy(app.begin(), app.end(), exact.get());
  const bool ok = operation(exact.get(), (uint32_t)app.size(), kMeterId, kKey);
  std::copy(exact.get(), exact.get() + app.size(), app.begin());
  return ok;
}

// Every test writes a fresh log in its working directory and reads it back.
class TelegramProtection : public ::testing::Test {
 protected:
  void SetUp() override { clearLog(); }
  void TearDown() override { closeLogFile(); }
  std::string log() {
    std::ifstream in("telegram-test.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void clearLog() { ASSERT_TRUE(openLogFile("telegram-test.log")); }

  // Decrypts with a fresh log and checks the result, how the log ends, and
  // the bytes afterwards: the whole part decrypted in place as `decryptedAs`
  // (MCL and MCR over the last five MAC bytes), or else from the TPL CI on
  // as received.
  void expectDecrypt(Bytes app, bool result, const std::string& logEnd,
                     const ossl::TelegramLayout* decryptedAs = nullptr) {
    clearLog();
    const Bytes received = app;
    EXPECT_EQ(result, onExactCopy(telegramDecrypt, app));
    const std::string text = log();
    EXPECT_EQ(logEnd, text.substr(text.size() - std::min(text.size(), logEnd.size())));
    Bytes expected = received;
    if (decryptedAs) {
      expected = ossl::plainApplicationPart(*decryptedAs);
      std::copy(received.begin() + 9, received.begin() + 12, expected.begin() + 9);
      std::copy(expected.begin() + 4, expected.begin() + 9, expected.begin() + 12);
    }
    const size_t from = decryptedAs ? 0 : 17;
    ASSERT_EQ(expected.size(), app.size());
    EXPECT_EQ(hex(expected.data() + from, expected.size() - from), hex(app.data() + from, app.size() - from));
  }
};

// Short headers (0x7A, 0x5A) put the area at TPL +6, long ones (0x72, 0x6D)
// at +14 past the CFE; mode bits other than 7 have no CFE, so one byte
// earlier. The low four configuration bits are ignored (0x25: 32 bytes).
// Verified with MacFromMeter and decrypted with EncFromMeter in place; a
// wrong plain text stays decrypted, and an unknown TPL CI decrypts nothing
// and only looks for 2F 2F right after the CI.
TEST_F(TelegramProtection, AnswersFromTheMeterVerifyAndDecryptInPlace) {
  const struct {
    uint8_t ci, configHigh, lowNibble;
    uint32_t offset;
  } headers[] = {{0x7A, 0x07, 0, 23}, {0x5A, 0x07, 0, 23}, {0x72, 0x07, 0, 31}, {0x6D, 0x07, 0, 31},
                 {0x7A, 0x05, 0, 22}, {0x72, 0x05, 0, 30}, {0x7A, 0x07, 5, 23}};
  for (const auto& h : headers) {
    SCOPED_TRACE(testing::Message() << std::hex << (int)h.ci << " " << (int)h.configHigh << " " << (int)h.lowNibble);
    ossl::TelegramLayout layout = answer(h.ci);
    layout.configHigh = h.configHigh;
    layout.configLowNibble = h.lowNibble;
    const Bytes app = fromMeter(layout);
    EXPECT_EQ(h.offset, encryptedData(app.data(), (uint32_t)app.size()));
    EXPECT_EQ(32u, encryptedLength(app.data(), (uint32_t)app.size()));
    expectDecrypt(app, true, kOk, &layout);
  }
  ossl::TelegramLayout wrongPlain = answer(0x7A);
  wrongPlain.area[1] = 0x00;
  expectDecrypt(fromMeter(wrongPlain), false, kDecryptError, &wrongPlain);

  Bytes unknown = ossl::plainApplicationPart(answer(0x7A));
  unknown[17] = 0x78;
  unknown[18] = unknown[19] = 0x2F;
  ossl::writeMac(unknown, kMeterId, kKey, true);
  expectDecrypt(unknown, true, kOk);
  unknown[19] = 0x00;
  ossl::writeMac(unknown, kMeterId, kKey, true);
  expectDecrypt(unknown, false, kDecryptError);
}

// Any changed MAC byte, a changed encrypted byte, or a telegram protected
// for the meter instead of from it: "MAC not OK" and nothing decrypted. A
// header or area beyond the end (with a right MAC), or a part cut short at
// any length, is refused without reading or writing past it.
TEST_F(TelegramProtection, DamagedOrHostileAnswersAreRefusedWithoutDecrypting) {
  const Bytes good = fromMeter(answer(0x72));
  for (size_t i = 9; i < 17; ++i) expectDecrypt(withByte(good, i, (uint8_t)(good[i] ^ 0x01)), false, kMacNotOk);
  expectDecrypt(withByte(good, 40, (uint8_t)(good[40] ^ 0x80)), false, kMacNotOk);
  expectDecrypt(ossl::protectedApplicationPart(answer(0x72), kMeterId, kKey, false), false, kMacNotOk);

  Bytes app = good;
  app[28] = 0xF0;  // 240 bytes announced, 32 present
  ossl::writeMac(app, kMeterId, kKey, true);
  expectDecrypt(app, false, kBeyondTheEnd);
  app = good;
  app[1] = 0xF0;  // TPL CI at 242
  ossl::writeMac(app, kMeterId, kKey, true);
  expectDecrypt(app, false, kBeyondTheEnd);

  for (size_t length = 0; length < good.size(); ++length) {
    Bytes cut(good.begin(), good.begin() + (long)length);
    EXPECT_FALSE(onExactCopy(telegramDecrypt, cut)) << "length " << length;
  }
  clearLog();
  Bytes cut(good.begin(), good.begin() + 16);
  EXPECT_FALSE(onExactCopy(telegramDecrypt, cut));
  EXPECT_EQ(hex(good.data(), 16), hex(cut));
  EXPECT_EQ("Decrypt: Starting a decrypt.\nDecrypt: AFL found.\nDecrypt: data length -1 found.\n"
            "Decrypt: data length out of range.\n",
            log());

  // Without an AFL only the first line is written.
  expectDecrypt(withByte(good, 0, 0x72), false, "");
  EXPECT_EQ("Decrypt: Starting a decrypt.\n", log());
}

// Known headers are placed by the decryption tests above; here the TPL CI at
// byte 0 without an AFL, at AFLL + 2 modulo 256 (0xFE: byte 0, 0x90, not a
// known header), and an unknown CI: nothing encrypted, the area right after it.
TEST_F(TelegramProtection, FieldFunctionsFollowTheHeaderTable) {
  Bytes app = ossl::plainApplicationPart(answer(0x72));
  const uint32_t n = (uint32_t)app.size();
  EXPECT_EQ(app.data() + 1, aflFields(app.data(), n));
  EXPECT_EQ(nullptr, aflFields(app.data(), 16));
  const Bytes bare(app.begin() + 17, app.end());
  EXPECT_FALSE(aflPresent(bare.data(), (uint32_t)bare.size()));
  EXPECT_EQ(14u, encryptedData(bare.data(), (uint32_t)bare.size()));
  EXPECT_EQ(32u, encryptedLength(bare.data(), (uint32_t)bare.size()));
  app[1] = 0xFE;
  EXPECT_EQ(1u, encryptedData(app.data(), n));
  EXPECT_EQ(0u, encryptedLength(app.data(), n));
  app[1] = 0x0F;
  app[17] = 0x78;
  EXPECT_EQ(18u, encryptedData(app.data(), n));
  EXPECT_EQ(0u, encryptedLength(app.data(), n));
}

TEST_F(TelegramProtection, ExactTraceOfADecrypt) {
  Bytes app = fromMeter(answer(0x72));
  ASSERT_EQ(65u, app.size());
  const std::string expected = "Decrypt: Starting a decrypt.\nDecrypt: AFL found.\nDecrypt: data length 48 found.\n" +
                               macTrace(ossl::macInput(app), ossl::kMacFromMeter) + "Compare MAC: " +
                               consoleDump(app.data() + 9, 8) + kOk;
  EXPECT_TRUE(onExactCopy(telegramDecrypt, app));
  EXPECT_EQ(expected, log());
}

TEST_F(TelegramProtection, ExactTraceOfAnEncryptAndMac) {
  ossl::TelegramLayout layout = command(16);
  Bytes app = unprotectedCommand(layout);
  const Bytes sent = ossl::protectedApplicationPart(layout, kMeterId, kKey, false);
  const std::string expected = "Starting an encrypt and MAC.\nKey: " + consoleDump(kKey, 16) +
                               "Bytes to encrypt: " + consoleDump(layout.area) + derivationTrace(ossl::kEncToMeter) +
                               "Encrypted data: " + consoleDump(Bytes(sent.begin() + 31, sent.end())) +
                               macTrace(ossl::macInput(sent), ossl::kMacToMeter);
  EXPECT_TRUE(onExactCopy(telegramEncryptAndMac, app));
  EXPECT_EQ(expected, log());
}

// The sizes the firmware update sends, a command (E 16) and a full data block
// (E 144): the meter side verifies with MacToMeter and decrypts with
// EncToMeter, and the MAC covers 35 and 163 bytes.
TEST_F(TelegramProtection, EncryptAndMacOutputOpensOnTheMeterSide) {
  for (auto [area, total, macLength] : {std::tuple<size_t, size_t, int>{16, 47, 35}, {144, 175, 163}}) {
    clearLog();
    ossl::TelegramLayout layout = command(area);
    Bytes app = unprotectedCommand(layout);
    ASSERT_EQ(total, app.size());
    EXPECT_TRUE(onExactCopy(telegramEncryptAndMac, app));
    EXPECT_EQ(hex(ossl::protectedApplicationPart(layout, kMeterId, kKey, false)), hex(app));
    EXPECT_TRUE(ossl::verifyAndDecrypt(app, kMeterId, kKey, false));
    EXPECT_EQ(hex(layout.area), hex(app.data() + 31, area));

    // The MAC dump holds exactly the authenticated bytes.
    const std::string text = log();
    size_t from = text.find("Bytes to MAC: "), to = text.find("Meter address: ", from);
    ASSERT_NE(std::string::npos, to);
    int count = 0;
    for (size_t at = text.find("0x", from); at < to; at = text.find("0x", at + 1)) ++count;
    EXPECT_EQ(macLength, count);
  }
}

// No AFL, an area or a TPL header beyond the end, or a part cut short at any
// length: false, with nothing changed and nothing logged.
TEST_F(TelegramProtection, EncryptAndMacRefusesWithoutTouchingOrLogging) {
  const Bytes plain = unprotectedCommand(command(16));
  std::vector<Bytes> refused{withByte(plain, 0, 0x68), withByte(plain, 28, 0x20), withByte(plain, 1, 0xF0)};
  for (size_t length = 0; length < plain.size(); ++length) refused.emplace_back(plain.begin(), plain.begin() + (long)length);
  for (const Bytes& before : refused) {
    Bytes app = before;
    EXPECT_FALSE(onExactCopy(telegramEncryptAndMac, app)) << hex(before);
    EXPECT_EQ(hex(before), hex(app));
  }
  EXPECT_EQ("", log());
}

// Random AFLL, TPL CI and configuration bytes, each with a valid MAC so the
// layout code runs; exact-size buffers make any overrun visible under ASan.
TEST_F(TelegramProtection, RandomLayoutFieldsStayInsideThePart) {
  const uint8_t cis[] = {0x5A, 0x7A, 0x5B, 0x6C, 0x6D, 0x72, 0x78, 0x00};
  std::mt19937 rng(757);
  int decrypted = 0;
  for (int round = 0; round < 3000; ++round) {
    ossl::TelegramLayout layout = answer(cis[rng() % 8], 16 * (rng() % 4));
    Bytes app = fromMeter(layout);
    Bytes command = ossl::plainApplicationPart(layout);
    for (Bytes* part : {&app, &command}) {
      if (rng() % 2) part->resize(17 + rng() % (part->size() - 16));
      if (rng() % 2) (*part)[1] = (uint8_t)rng();
      if (part->size() > 17 && rng() % 2) (*part)[17 + rng() % (part->size() - 17)] = (uint8_t)rng();
    }
    ossl::writeMac(app, kMeterId, kKey, true);
    if (round % 100 == 0) clearLog();  // keep the log small
    if (onExactCopy(telegramDecrypt, app)) {
      ++decrypted;
      uint32_t at = encryptedData(app.data(), (uint32_t)app.size());
      ASSERT_LE(at + 2, app.size());
      EXPECT_EQ(0x2F, app[at]);
      EXPECT_EQ(0x2F, app[at + 1]);
    }
    if (onExactCopy(telegramEncryptAndMac, command)) {
      // Whatever the layout, the MAC written covers MCL, MCR and bytes 17 on.
      Bytes remac = command;
      ossl::writeMac(remac, kMeterId, kKey, false);
      ASSERT_EQ(hex(remac), hex(command));
    }
  }
  EXPECT_GT(decrypted, 0);
}

}  // namespace
