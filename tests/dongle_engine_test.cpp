// The virtual dongle's engine, driven headless with telegrams built here and
// by the OpenSSL far end (tests/support/openssl_telegram.h); one test runs
// the real program on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "security/telegram_protection.h"
#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"
#include "tools/virtual-dongle/dongle_crypto.h"
#include "tools/virtual-dongle/dongle_engine.h"
#include "tools/virtual-dongle/dongle_options.h"

using namespace vdongle;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kReqUd2{0x10, 0x5B, 0xFB, 0x56, 0x16};
const Bytes kSndNke{0x10, 0x40, 0xFB, 0x3B, 0x16};
const uint8_t kId[4] = {0x04, 0x03, 0x02, 0x01};
const uint8_t kKey[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                          0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
constexpr uint64_t kSecond = 1000000;

Bytes fromHex(const char* text) {
  Bytes out;
  for (size_t i = 0; text[i] && text[i + 1]; i += 2) out.push_back((uint8_t)std::stoul(std::string(text + i, 2), nullptr, 16));
  return out;
}

DongleConfig unpaced() {
  DongleConfig c;
  c.baud = 0;
  return c;
}

// Feeds one write of the tool and collects everything the dongle sends
// within the next five seconds.
struct Rig {
  DongleEngine engine;
  uint64_t now = 1000;
  explicit Rig(const DongleConfig& c = unpaced()) : engine(c) {}
  Bytes send(const Bytes& bytes) {
    engine.receive(bytes.data(), bytes.size(), now);
    now += 5 * kSecond;
    Bytes out;
    engine.takeDue(now, out);
    return out;
  }
};

// The data (CI onwards) of a long frame, after checking its framing.
Bytes longFrameData(const Bytes& f) {
  EXPECT_GE(f.size(), 8u) << hex(f);
  if (f.size() < 8) return {};
  EXPECT_EQ(f[0], 0x68);
  EXPECT_EQ(f[1], f[2]);
  EXPECT_EQ(f[3], 0x68);
  EXPECT_EQ(f.size(), (size_t)f[1] + 6) << hex(f);
  uint8_t sum = 0;
  for (size_t i = 4; i + 2 < f.size(); ++i) sum = (uint8_t)(sum + f[i]);
  EXPECT_EQ(f[f.size() - 2], sum) << "checksum of " << hex(f);
  EXPECT_EQ(f.back(), 0x16);
  return Bytes(f.begin() + 6, f.end() - 2);
}

Bytes blockTelegram(uint8_t dif, uint8_t command, const Bytes& params = {}) {
  Bytes d{0x5A, 0x01, 0x00, 0x00, 0x00, dif, 0xFD, 0xF7, command};
  if (dif == 0x0D) {
    d.push_back((uint8_t)params.size());
    d.insert(d.end(), params.begin(), params.end());
  }
  return longFrame(0x53, 0xFB, d);
}
Bytes startTelegram(uint32_t length) {
  return blockTelegram(0x0D, 0x30, {(uint8_t)length, (uint8_t)(length >> 8), (uint8_t)(length >> 16),
                                    (uint8_t)(length >> 24), 0x80});
}
Bytes blockParams(const Bytes& image, uint16_t number) {
  size_t from = (size_t)number * 128, n = std::min<size_t>(128, image.size() - from);
  Bytes p{(uint8_t)number, (uint8_t)(number >> 8)};
  p.insert(p.end(), image.begin() + (long)from, image.begin() + (long)(from + n));
  return p;
}
Bytes simpleTelegram(uint8_t command, const Bytes& params = {}) {
  Bytes d{0x5A, 0x01, 0x00, 0x00, 0x00, 0x0F, 0x35, command};
  d.insert(d.end(), params.begin(), params.end());
  return longFrame(0x53, 0xFB, d);
}

// A command the way the encrypted protocol sends it: long TPL header 0x5B,
// the record behind 2F 2F in the encrypted area, to-meter keys.
Bytes protectedTelegram(const Bytes& record, uint32_t counter, const uint8_t* key = kKey) {
  ossl::TelegramLayout telegram;
  telegram.counter = counter;
  telegram.tplCi = 0x5B;
  telegram.address = {0x04, 0x03, 0x02, 0x01, 0x56, 0x0A, 0x40, 0x03};
  telegram.area = {0x2F, 0x2F};
  telegram.area.insert(telegram.area.end(), record.begin(), record.end());
  telegram.area.resize((telegram.area.size() + 15) / 16 * 16, 0x2F);
  return longFrame(0x53, 0xFB, ossl::protectedApplicationPart(telegram, kId, key, false));
}

// The same telegram with one data byte changed and a right checksum again.
Bytes tamper(const Bytes& frame, size_t dataIndex, uint8_t flip) {
  Bytes data = longFrameData(frame);
  data.at(dataIndex) ^= flip;
  return longFrame(frame[4], frame[5], data);
}

Bytes sampleImage(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& x : b) x = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
  return b;
}

struct Report {
  uint8_t type, state, protocol;
  uint32_t length;
  uint16_t expected, received, missing, repeats, firstMissing, rejected;
  uint32_t crc;
};
// The report behind the counter record of a plain answer.
Report reportOf(const Bytes& data) {
  Report r{};
  EXPECT_GE(data.size(), 45u) << hex(data);
  if (data.size() < 45) return r;
  EXPECT_EQ(data[20], 0x0F);
  auto u16 = [&](size_t i) { return (uint16_t)(data[i] | data[i + 1] << 8); };
  auto u32 = [&](size_t i) { return (uint32_t)(u16(i) | (uint32_t)u16(i + 2) << 16); };
  r = {data[21], data[22], data[23], u32(24), u16(29), u16(31), u16(33), u16(35), u16(37), u16(39), u32(41)};
  return r;
}

}  // namespace

// --- crypto wrappers against published vectors ---------------------------

TEST(DongleCrypto, CmacMatchesRfc4493Examples) {
  // RFC 4493, section 4: key 2b7e1516..., messages of 0, 16, 40 and 64 bytes.
  Bytes key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
  Bytes msg = fromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52ef"
      "f69f2445df4f9b17ad2b417be66c3710");
  const char* tags[] = {"bb1d6929e95937287fa37d129b756746", "070a16b46b4d4144f79bdd9dd04a287c",
                        "dfa66747de9ae63030ca32611497c827", "51f0bebf7e3b9d92fc49741779363cfe"};
  size_t lengths[] = {0, 16, 40, 64};
  for (int i = 0; i < 4; ++i) {
    uint8_t tag[16];
    ASSERT_TRUE(aesCmac(key.data(), msg.data(), lengths[i], tag));
    EXPECT_EQ(hex(tag, 16), hex(fromHex(tags[i]))) << "message length " << lengths[i];
  }
}

TEST(DongleCrypto, BlockAndCbcMatchFips197AndSp80038a) {
  // FIPS-197 appendix C.1.
  Bytes key = fromHex("000102030405060708090a0b0c0d0e0f"), out(16);
  ASSERT_TRUE(aesEcbEncryptBlock(key.data(), fromHex("00112233445566778899aabbccddeeff").data(), out.data()));
  EXPECT_EQ(hex(out), hex(fromHex("69c4e0d86a7b0430d8cdb78070b4c55a")));
  // NIST SP 800-38A F.2.1 (CBC-AES128): the IV 000102...0f is folded into
  // the first plaintext block, since the dongle's CBC always starts at zero.
  Bytes k = fromHex("2b7e151628aed2a6abf7158809cf4f3c"), iv = fromHex("000102030405060708090a0b0c0d0e0f");
  Bytes plain = fromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52ef"
      "f69f2445df4f9b17ad2b417be66c3710");
  Bytes data = plain;
  for (int i = 0; i < 16; ++i) data[i] ^= iv[i];
  ASSERT_TRUE(aesCbc(true, k.data(), data.data(), data.size()));
  EXPECT_EQ(hex(data), hex(fromHex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                                   "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7")));
  ASSERT_TRUE(aesCbc(false, k.data(), data.data(), data.size()));
  for (int i = 0; i < 16; ++i) data[i] ^= iv[i];
  EXPECT_EQ(hex(data), hex(plain));
  EXPECT_FALSE(aesCbc(true, k.data(), data.data(), 15)) << "a partial block is refused";
}

TEST(DongleCrypto, DerivationBlockAndKeyMatchAnIndependentDerivation) {
  uint8_t block[16];
  const uint8_t id[4] = {0x78, 0x56, 0x34, 0x12};
  kdfInput(vdongle::EncToMeter, 0x01020304, id, block);
  EXPECT_EQ(hex(block, 16), "10 04 03 02 01 78 56 34 12 07 07 07 07 07 07 07 ");
  for (uint8_t constant : {vdongle::EncFromMeter, vdongle::MacFromMeter, vdongle::EncToMeter, vdongle::MacToMeter}) {
    uint8_t derived[16];
    ASSERT_TRUE(deriveKey(kKey, constant, 0xA1B2C3D4, kId, derived));
    EXPECT_EQ(hex(derived, 16), hex(ossl::deriveKey(kKey, constant, kId, 0xA1B2C3D4).data(), 16));
  }
}

TEST(DongleCrypto, CrcsMatchTheirCheckValues) {
  const uint8_t abc[] = {'a', 'b', 'c'}, digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32Plain(0, abc, 3), 0xCA6598D0u);
  EXPECT_EQ(crc32Plain(crc32Plain(0, abc, 1), abc + 1, 2), 0xCA6598D0u);
  EXPECT_EQ(crc32Standard(digits, 9), 0xCBF43926u);  // the CRC-32 check value
}

// --- link layer ------------------------------------------------------------

TEST(DongleLink, AnswersSndNkeAndReqUd2HoweverTheBytesAreSplit) {
  Rig rig;
  EXPECT_EQ(hex(rig.send(kSndNke)), "E5 ");
  Bytes expected = fromHex("68161668" "08FB" "7204030201560A400300000000" "04FD0801000000" "2C16");
  EXPECT_EQ(hex(rig.send(kReqUd2)), hex(expected));
  for (size_t split = 1; split < kReqUd2.size(); ++split) {
    rig.engine.receive(kReqUd2.data(), split, rig.now);
    Bytes out = rig.send(Bytes(kReqUd2.begin() + (long)split, kReqUd2.end()));
    Bytes data = longFrameData(out);
    ASSERT_EQ(data.size(), 20u) << hex(out);
    EXPECT_EQ(data[16], 1 + split) << "the counter advances with every answer";
    EXPECT_EQ(data[9], split) << "and so does the access number";
  }
}

TEST(DongleLink, BrokenForeignAndPartialFramesGetNoAnswer) {
  Rig rig;
  EXPECT_TRUE(rig.send(withByte(kReqUd2, 3, 0x57)).empty()) << "short frame, wrong checksum";
  EXPECT_TRUE(rig.send(withByte(kReqUd2, 4, 0x17)).empty()) << "short frame, wrong stop byte";
  EXPECT_TRUE(rig.send(withByte(startTelegram(300), 10, 0x77)).empty()) << "long frame, wrong checksum";
  EXPECT_TRUE(rig.send({0x10, 0x5B, 0x01, 0x5C, 0x16}).empty()) << "another address";
  EXPECT_TRUE(rig.send({0x10, 0x5B, 0xFB}).empty()) << "cut short";
  // After the silent gap the cut frame is dropped, and garbage before a
  // frame does not hide it, not even a false start byte right in front.
  Bytes out = rig.send(Bytes{0x00, 0x55, 0x10, 0x68, 0x04, 0x05, 0xE5, 0x10, 0x40, 0xFB, 0x3B, 0x16});
  EXPECT_EQ(hex(out), "E5 ");
  EXPECT_EQ(hex(rig.send({0x10, 0x10, 0x40, 0xFB, 0x3B, 0x16})), "E5 ");
  EXPECT_EQ(longFrameData(rig.send({0x68, 0x10, 0x5B, 0xFB, 0x56, 0x16})).size(), 20u);
  EXPECT_EQ(rig.engine.stats().telegrams, 3u);
  EXPECT_EQ(rig.engine.stats().foreignFrames, 1u);
  EXPECT_EQ(rig.engine.stats().badFrames, 5u);
  EXPECT_EQ(rig.engine.stats().truncatedFrames, 1u);
}

TEST(DongleLink, HostileInputNeverCrashesAndTheDongleStillAnswers) {
  Rig rig;
  uint32_t seed = 12345;
  Bytes noise(200000);
  for (auto& b : noise) b = (uint8_t)((seed = seed * 1664525u + 1013904223u) >> 24);
  for (size_t i = 0; i < noise.size(); i += 997) rig.engine.receive(noise.data() + i, std::min<size_t>(997, noise.size() - i), rig.now);
  Bytes huge{0x68, 0xFF, 0xFF, 0x68, 0x53, 0xFB, 0x90};
  huge.resize(261, 0x2F);
  rig.send(huge);
  rig.send({0x68, 0x00, 0x00, 0x68, 0x00, 0x16});
  // Every length of a protected and a plain command, each with a right
  // checksum, so the application parsers see every cut.
  Bytes prot = protectedTelegram({0x0D, 0xFD, 0xF7, 0x32, 0x82, 0x00, 0x00}, 9);
  Bytes block = blockTelegram(0x0D, 0x32, blockParams(sampleImage(300, 1), 1));
  Bytes simple = simpleTelegram(0x88, {0xC0, 0x00, 0x48, 0x00, 0x00, 1, 2, 3});
  for (const Bytes* full : {&prot, &block, &simple}) {
    Bytes data = longFrameData(*full);
    for (size_t n = 0; n <= data.size(); ++n) rig.send(longFrame(0x53, 0xFB, Bytes(data.begin(), data.begin() + (long)n)));
  }
  rig.send(blockTelegram(0x0D, 0x32, {0x00, 0x00, 1, 2}));  // announced LVAR 4 ...
  rig.send(longFrame(0x53, 0xFB, {0x5A, 1, 0, 0, 0, 0x0D, 0xFD, 0xF7, 0x30, 0xFF, 1}));  // ... LVAR past the end
  EXPECT_EQ(longFrameData(rig.send(kReqUd2)).size(), 20u) << "still answering after all that";
}

// --- answers ----------------------------------------------------------------

TEST(DongleAnswers, ProtectedAnswerOpensWithFromMeterKeysAndInTheToolsOwnCode) {
  DongleConfig c = unpaced();
  c.protectAnswers = true;
  c.answerCounter = 0x11223344;
  Rig rig(c);
  Bytes app = longFrameData(rig.send(kReqUd2));
  ASSERT_EQ(app.size(), 47u) << hex(app);
  EXPECT_EQ(hex(Bytes(app.begin(), app.begin() + 9)), "90 0F 00 2C 25 44 33 22 11 ");
  EXPECT_EQ(hex(Bytes(app.begin() + 17, app.begin() + 31)), "72 04 03 02 01 56 0A 40 03 00 00 10 07 10 ");
  Bytes tool = app;
  EXPECT_TRUE(telegramDecrypt(tool.data(), (uint32_t)tool.size(), kId, kKey)) << hex(app);
  ASSERT_TRUE(ossl::verifyAndDecrypt(app, kId, kKey, true)) << hex(app);
  EXPECT_EQ(hex(Bytes(app.begin() + 31, app.end())), "2F 2F 04 FD 08 44 33 22 11 2F 2F 2F 2F 2F 2F 2F ");
  EXPECT_EQ(hex(Bytes(tool.begin() + 31, tool.end())), hex(Bytes(app.begin() + 31, app.end())));
  Bytes next = longFrameData(rig.send(kReqUd2));
  ASSERT_GE(next.size(), 9u);
  EXPECT_EQ(next[5], 0x45) << "the next answer carries the next counter";
  uint8_t otherKey[16] = {};
  EXPECT_FALSE(ossl::verifyAndDecrypt(next, kId, otherKey, true));
}

TEST(DongleAnswers, AnswerCounterNeverFallsBehindTheToolsCounter) {
  Rig rig;
  ASSERT_EQ(hex(rig.send(protectedTelegram({0x08, 0xFD, 0xF7, 0x31}, 500))), "E5 ");
  Bytes data = longFrameData(rig.send(kReqUd2));
  ASSERT_GE(data.size(), 20u);
  EXPECT_EQ(hex(Bytes(data.begin() + 13, data.begin() + 20)), "04 FD 08 F4 01 00 00 ");
  Report r = reportOf(data);
  EXPECT_EQ(r.type, 0x31);
  EXPECT_EQ(r.state, 0);
  data = longFrameData(rig.send(kReqUd2));
  EXPECT_EQ(data.size(), 20u) << "the report goes out once";
  EXPECT_EQ(data[16], 0xF5);
}

// --- protected telegrams from the tool ------------------------------------

TEST(DongleSecurity, WrongMacKeyOrStaleCounterIsNotAcknowledged) {
  Rig rig;
  Bytes status = {0x08, 0xFD, 0xF7, 0x31};
  EXPECT_EQ(hex(rig.send(protectedTelegram(status, 5))), "E5 ");
  EXPECT_EQ(hex(rig.send(protectedTelegram(status, 5))), "E5 ") << "a repetition carries the same counter";
  EXPECT_TRUE(rig.send(protectedTelegram(status, 4)).empty()) << "older counter";
  EXPECT_TRUE(rig.send(tamper(protectedTelegram(status, 6), 16, 0x01)).empty()) << "the last MAC byte";
  uint8_t otherKey[16] = {1};
  EXPECT_TRUE(rig.send(protectedTelegram(status, 6, otherKey)).empty());
  EXPECT_TRUE(rig.send(tamper(protectedTelegram(status, 6), 31, 0x80)).empty()) << "an encrypted byte";
  EXPECT_EQ(hex(rig.send(protectedTelegram(status, 6))), "E5 ");
  const DongleStats& s = rig.engine.stats();
  EXPECT_EQ(s.staleCounters, 1u);
  EXPECT_EQ(s.macFailures, 3u);
  EXPECT_EQ(s.lastAcceptedCounter, 6u);
}

TEST(DongleSecurity, TelegramProtectedByTheToolsOwnCodeIsAccepted) {
  // The tool's layout: a 256-byte work buffer of 2F, AFL, TPL 0x5B header,
  // E = 16, the activate record; then the tool's encrypt-and-MAC.
  Bytes app(47, 0x2F);
  Bytes head = fromHex("900F002C25" "07000000" "FFFFFFFFFFFFFFFF" "5B" "04030201560A4003" "0900" "1007" "10"
                       "2F2F0DFDF73400");
  std::copy(head.begin(), head.end(), app.begin());
  ASSERT_TRUE(telegramEncryptAndMac(app.data(), (uint32_t)app.size(), kId, kKey));
  Rig rig;
  EXPECT_EQ(hex(rig.send(longFrame(0x53, 0xFB, app))), "E5 ");
  EXPECT_EQ(rig.engine.stats().transfersFinished, 1u) << "the activate inside was read";
}

// --- firmware -------------------------------------------------------------

TEST(DongleFirmware, BlockProtocolReassemblesAndReports) {
  Rig rig;
  Bytes image = sampleImage(300, 7);
  EXPECT_EQ(hex(rig.send(blockTelegram(0x08, 0x31))), "E5 ");
  EXPECT_EQ(hex(rig.send(startTelegram(300))), "E5 ");
  Report r = reportOf(longFrameData(rig.send(kReqUd2)));
  EXPECT_EQ(r.type, 0x31);
  EXPECT_EQ(r.length, 300u);
  EXPECT_EQ(r.expected, 3);
  EXPECT_EQ(r.missing, 3);
  for (uint16_t b : {0, 2, 2}) EXPECT_EQ(hex(rig.send(blockTelegram(0x0D, 0x32, blockParams(image, b)))), "E5 ");
  Bytes shortBlock = blockParams(image, 1);
  shortBlock.resize(2 + 100);
  EXPECT_EQ(hex(rig.send(blockTelegram(0x0D, 0x32, shortBlock))), "E5 ") << "taken by the link, refused inside";
  EXPECT_EQ(hex(rig.send(blockTelegram(0x0D, 0x33))), "E5 ");
  EXPECT_EQ(hex(rig.send(blockTelegram(0x08, 0x36))), "E5 ");
  r = reportOf(longFrameData(rig.send(kReqUd2)));
  EXPECT_EQ(r.type, 0x36);
  EXPECT_EQ(r.state, 2) << "validated";
  EXPECT_EQ(r.received, 2);
  EXPECT_EQ(r.missing, 1);
  EXPECT_EQ(r.firstMissing, 1);
  EXPECT_EQ(r.repeats, 1);
  EXPECT_EQ(r.rejected, 1);
  EXPECT_TRUE(rig.engine.takeCompleted().empty());
  rig.send(blockTelegram(0x0D, 0x32, blockParams(image, 1)));
  rig.send(blockTelegram(0x0D, 0x32, {0x03, 0x00}));  // past the end: refused
  EXPECT_EQ(hex(rig.send(blockTelegram(0x0D, 0x34))), "E5 ");
  auto done = rig.engine.takeCompleted();
  ASSERT_EQ(done.size(), 1u);
  const TransferSummary& s = done[0].summary;
  EXPECT_EQ(s.protocol, FwProtocol::Block);
  EXPECT_EQ(hex(done[0].image), hex(image));
  EXPECT_TRUE(s.complete);
  EXPECT_EQ(s.units, 3u);
  EXPECT_EQ(s.repeats, 1u);
  EXPECT_EQ(s.rejected, 2u);
  EXPECT_EQ(s.crc32, crc32Plain(0, image.data(), image.size()));
  char line[256];
  snprintf(line, sizeof line,
           "firmware received: protocol=block blocks=3 repeats=1 missing=0 length=300 crc32=0x%08X "
           "crc32_std=0x%08X complete=yes rejected=2 file=out.bin",
           crc32Plain(0, image.data(), image.size()), crc32Standard(image.data(), image.size()));
  EXPECT_EQ(summaryLine(s, "out.bin"), line);
}

TEST(DongleFirmware, EncryptedProtocolWithASkippedBlockIsIncomplete) {
  Rig rig;
  Bytes image = sampleImage(6000, 3);
  uint32_t counter = 1;
  auto sendProtected = [&](const Bytes& record) { return hex(rig.send(protectedTelegram(record, counter++))); };
  EXPECT_EQ(sendProtected({0x0D, 0xFD, 0xF7, 0x30, 0x05, 0x70, 0x17, 0x00, 0x00, 0x80}), "E5 ");
  for (uint16_t b = 0; b * 128 < 6000; ++b) {
    if (b == 15) continue;
    Bytes p = blockParams(image, b);
    Bytes record{0x0D, 0xFD, 0xF7, 0x32, (uint8_t)p.size()};
    record.insert(record.end(), p.begin(), p.end());
    ASSERT_EQ(sendProtected(record), "E5 ") << "block " << b;
  }
  EXPECT_EQ(sendProtected({0x0D, 0xFD, 0xF7, 0x34, 0x00}), "E5 ");
  auto done = rig.engine.takeCompleted();
  ASSERT_EQ(done.size(), 1u);
  const TransferSummary& s = done[0].summary;
  EXPECT_EQ(s.protocol, FwProtocol::EncryptedBlock);
  EXPECT_EQ(s.length, 6000u);
  EXPECT_EQ(s.units, 46u);
  EXPECT_EQ(s.missing, 1u);
  EXPECT_EQ(s.firstMissing, 15);
  EXPECT_FALSE(s.complete);
  Bytes expected = image;
  std::fill(expected.begin() + 15 * 128, expected.begin() + 16 * 128, 0xFF);
  EXPECT_EQ(done[0].image, expected) << "a missing block reads as erased flash";
}

TEST(DongleFirmware, SimpleProtocolReassemblesChunksByAddress) {
  Rig rig;
  Bytes image = sampleImage(400, 11);
  auto chunk = [&](uint32_t offset) {
    size_t n = std::min<size_t>(192, image.size() - offset);
    uint32_t a = 0x4800 + offset;
    Bytes p{(uint8_t)n, (uint8_t)a, (uint8_t)(a >> 8), (uint8_t)(a >> 16), (uint8_t)(a >> 24)};
    p.insert(p.end(), image.begin() + offset, image.begin() + (long)(offset + n));
    return simpleTelegram(0x88, p);
  };
  for (uint32_t offset : {0u, 192u, 192u, 384u}) EXPECT_EQ(hex(rig.send(chunk(offset))), "E5 ");
  EXPECT_EQ(hex(rig.send(simpleTelegram(0x8D))), "E5 ");
  EXPECT_TRUE(rig.engine.takeCompleted().empty());
  EXPECT_EQ(hex(rig.send(simpleTelegram(0x8E))), "E5 ");
  auto done = rig.engine.takeCompleted();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].summary.protocol, FwProtocol::Simple);
  EXPECT_EQ(done[0].summary.units, 3u);
  EXPECT_EQ(done[0].summary.repeats, 1u);
  EXPECT_TRUE(done[0].summary.complete);
  EXPECT_EQ(hex(done[0].image), hex(image));
  EXPECT_EQ(summaryLine(done[0].summary, "f").rfind("firmware received: protocol=simple chunks=3 repeats=1 missing=0 length=400", 0), 0u);
}

// --- faults and pacing ------------------------------------------------------

TEST(DongleFaults, SameSeedSameFaultsAndEachFaultDoesWhatItSays) {
  auto run = [](uint64_t seed, Bytes* out, DongleStats* stats) {
    DongleConfig c = unpaced();
    c.faults = {0.3, 0.3, 0.3, 0.3, 2500000, -1, -1, seed};
    Rig rig(c);
    for (int i = 0; i < 60; ++i) {
      Bytes o = rig.send(i % 2 ? kReqUd2 : kSndNke);
      out->insert(out->end(), o.begin(), o.end());
    }
    *stats = rig.engine.stats();
  };
  Bytes a, b, other;
  DongleStats sa, sb, so;
  run(7, &a, &sa);
  run(7, &b, &sb);
  run(8, &other, &so);
  EXPECT_EQ(hex(a), hex(b));
  EXPECT_NE(hex(a), hex(other));
  EXPECT_GT(sa.acksDropped, 0u);
  EXPECT_GT(sa.acksLate, 0u);
  EXPECT_GT(sa.answersCorrupted, 0u);
  EXPECT_GT(sa.strayBytes, 0u);

  DongleConfig c = unpaced();
  c.faults.corrupt = 1;
  c.faults.stray = 1;
  Rig rig(c);
  for (int i = 0; i < 300; ++i) {
    Bytes ack = rig.send(kSndNke);
    ASSERT_TRUE(ack.size() >= 2 && ack.size() <= 4 && ack.back() == 0xE5) << hex(ack);
    for (size_t k = 0; k + 1 < ack.size(); ++k)
      ASSERT_TRUE(ack[k] != 0x10 && ack[k] != 0x68 && ack[k] != 0xE5) << "stray byte that reads as more: " << hex(ack);
  }
  Bytes out = rig.send(kReqUd2);
  ASSERT_GE(out.size(), 29u) << hex(out);
  Bytes frame(out.end() - 28, out.end());
  ASSERT_EQ(frame.size(), 28u) << hex(out);
  EXPECT_EQ(hex(Bytes(frame.begin(), frame.begin() + 4)), "68 16 16 68 ");
  EXPECT_EQ(frame.back(), 0x16);
  uint8_t sum = 0;
  for (size_t i = 4; i + 2 < frame.size(); ++i) sum = (uint8_t)(sum + frame[i]);
  EXPECT_NE(frame[frame.size() - 2], sum) << "the damage breaks the checksum: " << hex(frame);

  DongleConfig d = unpaced();
  d.faults.dropAck = 1;
  Rig dropper(d);
  EXPECT_TRUE(dropper.send(startTelegram(10)).empty());
  EXPECT_EQ(dropper.engine.firmware().announcedLength(), 10u) << "the telegram was taken all the same";
}

TEST(DongleFaults, LateAckWaitsAndSilentOrClosedLineStopsServing) {
  DongleConfig c = unpaced();
  c.faults.lateAck = 1;
  c.faults.lateAckUs = 2500000;
  DongleEngine late(c);
  late.receive(kSndNke.data(), kSndNke.size(), 0);
  Bytes out;
  late.takeDue(2499999, out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(late.nextDueUs(), 2500000u);
  late.takeDue(2500000, out);
  EXPECT_EQ(hex(out), "E5 ");

  DongleConfig s = unpaced();
  s.faults.silentAfter = 2;
  Rig silent(s);
  EXPECT_FALSE(silent.send(kReqUd2).empty());
  EXPECT_FALSE(silent.send(kSndNke).empty());
  EXPECT_TRUE(silent.send(kReqUd2).empty());
  EXPECT_TRUE(silent.send(kSndNke).empty());

  DongleConfig k = unpaced();
  k.faults.closeAfter = 2;
  Rig closing(k);
  closing.send(kSndNke);
  EXPECT_FALSE(closing.engine.closeRequested());
  closing.engine.receive(kReqUd2.data(), kReqUd2.size(), closing.now);
  EXPECT_FALSE(closing.engine.closeRequested()) << "not before the last answer is out";
  Bytes last;
  closing.engine.takeDue(closing.now + kSecond, last);
  EXPECT_EQ(last.size(), 28u);
  EXPECT_TRUE(closing.engine.closeRequested());
}

TEST(DonglePacing, OutputIsPacedAtElevenBitsACharacterAfterTheRequestArrived) {
  for (int baud : {9600, 2400}) {
    DongleConfig c;
    c.baud = baud;
    DongleEngine e(c);
    auto at = [&](int chars) { return (uint64_t)chars * 11000000ull / (uint64_t)baud; };
    e.receive(kReqUd2.data(), kReqUd2.size(), 0);  // written in one burst at 0
    // REQ_UD2 is on the line until 5 characters; one character of
    // turnaround; the 28-byte answer's first byte is due a character later.
    uint64_t first = at(5) + at(1) + at(1);
    EXPECT_NEAR((double)e.nextDueUs(), (double)first, 10.0) << baud;
    Bytes out;
    e.takeDue(e.nextDueUs() - 1, out);
    EXPECT_TRUE(out.empty());
    e.takeDue(first + at(9), out);
    EXPECT_EQ(out.size(), 10u) << baud;
    e.takeDue(at(5) + at(1) + at(28), out);
    EXPECT_EQ(out.size(), 28u) << baud;
    EXPECT_TRUE(e.idle());
  }
}

// --- options ---------------------------------------------------------------

TEST(DongleOptions, ParsesIdentityKeyAndFaultsAndRefusesBadValues) {
  Options o;
  std::string error;
  const char* args[] = {"vd", "--id", "12345678", "--manufacturer", "ABC", "--key", "000102030405060708090A0B0C0D0E0F",
                        "--counter", "0000000a", "--baud", "2400", "--drop-ack", "0.25", "--close-after", "3",
                        "--late-ms", "3000"};
  ASSERT_TRUE(parseOptions(17, args, o, error)) << error;
  EXPECT_EQ(hex(o.config.identity.id, 4), "78 56 34 12 ");
  EXPECT_EQ(o.config.identity.manufacturer, 0x0443);
  EXPECT_EQ(o.config.key[15], 0x0F);
  EXPECT_TRUE(o.config.protectAnswers) << "a key given means protected answers";
  EXPECT_EQ(o.config.answerCounter, 10u);
  EXPECT_EQ(o.config.baud, 2400);
  EXPECT_EQ(o.config.faults.dropAck, 0.25);
  EXPECT_EQ(o.config.faults.closeAfter, 3);
  EXPECT_EQ(o.config.faults.lateAckUs, 3000000u);
  const char* plain[] = {"vd", "--key", "000102030405060708090A0B0C0D0E0F", "--plain-answers"};
  Options p;
  ASSERT_TRUE(parseOptions(4, plain, p, error));
  EXPECT_FALSE(p.config.protectAnswers);
  for (auto bad : {std::vector<const char*>{"vd", "--baud", "4800"}, {"vd", "--drop-ack", "1.5"}, {"vd", "--id", "123"},
                   {"vd", "--manufacturer", "abc"}, {"vd", "--seed"}, {"vd", "--frobnicate", "1"}}) {
    Options b;
    EXPECT_FALSE(parseOptions((int)bad.size(), bad.data(), b, error)) << bad[1];
  }
}

// --- the program on a pseudo-terminal ----------------------------------------

namespace {

struct Program {
  pid_t pid = -1;
  int out = -1;
  std::string firstLine;
  Program(std::vector<std::string> args) {
    // The program sits next to this test in the build folder.
    const char* dir = std::getenv("MBUS_BUILD_DIR");
    char self[4096] = {};
    if (!dir && readlink("/proc/self/exe", self, sizeof self - 1) > 0) *std::strrchr(self, '/') = 0;
    std::string exe = std::string(dir ? dir : self) + "/virtual-dongle";
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::vector<char*> argv{const_cast<char*>(exe.c_str())};
      for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
    firstLine = readLine(5000);
  }
  ~Program() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
  std::string readLine(int ms) {
    std::string line;
    char c;
    pollfd p{out, POLLIN, 0};
    while (poll(&p, 1, ms) > 0 && read(out, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  int waitExit(int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
};

Bytes readFor(int fd, int ms, size_t want) {
  Bytes got;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.size() < want && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) > 0) {
      if (p.revents & POLLIN) {
        uint8_t buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.insert(got.end(), buf, buf + n);
      }
      if ((p.revents & POLLHUP) && !(p.revents & POLLIN)) break;
    }
  }
  return got;
}

}  // namespace

TEST(DongleProgram, AnswersOnItsPtyAndEndsCleanlyOnSigterm) {
  std::string link = "dongle-link", summary = "dongle-summary.txt";
  unlink(link.c_str());
  Program prog({"--link", link, "--summary-file", summary});
  ASSERT_EQ(prog.firstLine.rfind("virtual dongle on /dev/pts/", 0), 0u) << prog.firstLine;
  int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0) << "the link leads to the pty";
  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(write(fd, kReqUd2.data(), kReqUd2.size()), 5);
  Bytes answer = readFor(fd, 3000, 28);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(longFrameData(answer).size(), 20u) << hex(answer);
  EXPECT_GE(ms, 30.0) << "33 characters at 9600 baud take about 38 ms";
  close(fd);
  kill(prog.pid, SIGTERM);
  EXPECT_EQ(prog.waitExit(3000), 0);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed";
  std::ifstream f(summary);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("telegrams=1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("answers_sent=1\n"), std::string::npos) << text;
}

TEST(DongleProgram, CloseAfterHangsUpTheLineOnceTheLastAnswerIsRead) {
  Program prog({"--print-path-only", "--baud", "0", "--close-after", "1"});
  ASSERT_EQ(prog.firstLine.rfind("/dev/pts/", 0), 0u) << prog.firstLine;
  int fd = open(prog.firstLine.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, kSndNke.data(), kSndNke.size()), 5);
  EXPECT_EQ(hex(readFor(fd, 3000, 1)), "E5 ");
  EXPECT_EQ(prog.waitExit(3000), 0);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP) << "the tool's side sees the hang-up";
  EXPECT_EQ(prog.readLine(1000), "virtual dongle closed the line after 1 telegrams");
  close(fd);
}
