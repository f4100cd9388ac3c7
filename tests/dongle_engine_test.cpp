// The virtual dongle's engine, driven headless with telegrams built here and
// by the OpenSSL far end (tests/support/openssl_telegram.h); one test runs
// the real program on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "security/telegram_protection.h"
#include "tests/support/crypto_vectors.h"
#include "tests/support/dongle_process.h"
#include "tests/support/dongle_model.h"
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

// The sum of a long frame's C field to its last data byte.
uint8_t checksum(const Bytes& f) {
  uint8_t sum = 0;
  for (size_t i = 4; i + 2 < f.size(); ++i) sum = (uint8_t)(sum + f[i]);
  return sum;
}

// The data (CI onwards) of a long frame, after checking its framing.
Bytes longFrameData(const Bytes& f) {
  EXPECT_GE(f.size(), 8u) << hex(f);
  if (f.size() < 8) return {};
  EXPECT_EQ(f[0], 0x68);
  EXPECT_EQ(f[1], f[2]);
  EXPECT_EQ(f[3], 0x68);
  EXPECT_EQ(f.size(), (size_t)f[1] + 6) << hex(f);
  EXPECT_EQ(f[f.size() - 2], checksum(f)) << hex(f);
  EXPECT_EQ(f.back(), 0x16);
  return Bytes(f.begin() + 6, f.end() - 2);
}

Bytes blockTelegram(uint8_t command, const Bytes& params = {}) {
  Bytes d{0x5A, 0x01, 0x00, 0x00, 0x00};
  const Bytes record = blockRecord(command, params);
  d.insert(d.end(), record.begin(), record.end());
  return longFrame(0x53, 0xFB, d);
}
Bytes startParams(uint32_t length) {
  return {(uint8_t)length, (uint8_t)(length >> 8), (uint8_t)(length >> 16), (uint8_t)(length >> 24), 0x80};
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

// The report behind the counter record of a plain answer, without its CRC:
// 0F, type, state, protocol, length (4), block size, then 2 bytes each for
// blocks expected, received, missing, repeats, first missing and rejected.
std::string reportOf(const Bytes& data) {
  EXPECT_EQ(data.size(), 45u) << hex(data);
  return data.size() < 45 ? hex(data) : hex(data.data() + 20, 21);
}

}  // namespace

// --- crypto wrappers against published vectors ---------------------------

TEST(DongleCrypto, WrappersMatchPublishedVectorsAndAnIndependentDerivation) {
  using namespace vectors;
  for (const CmacExample& example : cmacExamples) {  // RFC 4493 section 4
    uint8_t tag[16];
    ASSERT_TRUE(aesCmac(key.data(), plain.data(), (size_t)example.length, tag));
    EXPECT_EQ(hex(tag, 16), hex(example.tag)) << "message length " << example.length;
  }
  Bytes out(16);  // FIPS-197 C.1
  ASSERT_TRUE(aesEcbEncryptBlock(c1Key.data(), c1Plain.data(), out.data()));
  EXPECT_EQ(hex(out), hex(c1Cipher));
  // SP 800-38A F.2.1: the IV is folded into the first plaintext block, since
  // the dongle's CBC always starts at zero.
  Bytes data = plain;
  for (int i = 0; i < 16; ++i) data[i] ^= cbcIv[i];
  ASSERT_TRUE(aesCbc(true, key.data(), data.data(), data.size()));
  EXPECT_EQ(hex(data), hex(cbcCipher));
  ASSERT_TRUE(aesCbc(false, key.data(), data.data(), data.size()));
  for (int i = 0; i < 16; ++i) data[i] ^= cbcIv[i];
  EXPECT_EQ(hex(data), hex(plain));
  EXPECT_FALSE(aesCbc(true, key.data(), data.data(), 15)) << "a partial block is refused";

  uint8_t block[16];
  const uint8_t id[4] = {0x78, 0x56, 0x34, 0x12};
  kdfInput(vdongle::EncToMeter, 0x01020304, id, block);
  EXPECT_EQ(hex(block, 16), "10 04 03 02 01 78 56 34 12 07 07 07 07 07 07 07 ");
  for (uint8_t constant : {vdongle::EncFromMeter, vdongle::MacFromMeter, vdongle::EncToMeter, vdongle::MacToMeter}) {
    uint8_t derived[16];
    ASSERT_TRUE(deriveKey(kKey, constant, 0xA1B2C3D4, kId, derived));
    EXPECT_EQ(hex(derived, 16), hex(ossl::deriveKey(kKey, constant, kId, 0xA1B2C3D4).data(), 16));
  }

  const uint8_t abc[] = {'a', 'b', 'c'}, digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32Plain(crc32Plain(0, abc, 1), abc + 1, 2), 0xCA6598D0u);  // the tool's check value
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
  EXPECT_TRUE(rig.send(withByte(blockTelegram(0x30, startParams(300)), 10, 0x77)).empty()) << "long frame, wrong checksum";
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
  Bytes prot = protectedTelegram({0x0D, 0xFD, 0xF7, 0x32, 0x82, 0x00, 0x00}, 9);  // LVAR past the end
  Bytes block = blockTelegram(0x32, blockParams(sampleImage(300, 1), 1));
  Bytes simple = simpleTelegram(0x88, {0xC0, 0x00, 0x48, 0x00, 0x00, 1, 2, 3});
  for (const Bytes* full : {&prot, &block, &simple}) {
    Bytes data = longFrameData(*full);
    for (size_t n = 0; n <= data.size(); ++n) rig.send(longFrame(0x53, 0xFB, Bytes(data.begin(), data.begin() + (long)n)));
  }
  rig.send(blockTelegram(0x32, {0x00, 0x00, 1, 2}));  // announced LVAR 4 ...
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
  ASSERT_EQ(hex(rig.send(protectedTelegram(blockRecord(0x31), 500))), "E5 ");
  Bytes data = longFrameData(rig.send(kReqUd2));
  ASSERT_GE(data.size(), 20u);
  EXPECT_EQ(hex(Bytes(data.begin() + 13, data.begin() + 20)), "04 FD 08 F4 01 00 00 ");
  EXPECT_EQ(reportOf(data), "0F 31 00 00 00 00 00 00 80 00 00 00 00 00 00 00 00 FF FF 00 00 ");  // idle
  data = longFrameData(rig.send(kReqUd2));
  EXPECT_EQ(data.size(), 20u) << "the report goes out once";
  EXPECT_EQ(data[16], 0xF5);
}

// --- protected telegrams from the tool ------------------------------------

TEST(DongleSecurity, WrongMacKeyOrStaleCounterIsNotAcknowledged) {
  Rig rig;
  const Bytes status = blockRecord(0x31);
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
  EXPECT_EQ(hex(rig.send(blockTelegram(0x31))), "E5 ");
  EXPECT_EQ(hex(rig.send(blockTelegram(0x30, startParams(300)))), "E5 ");
  // Receiving a block-protocol image of 300 bytes: 3 blocks, all missing.
  EXPECT_EQ(reportOf(longFrameData(rig.send(kReqUd2))), "0F 31 01 02 2C 01 00 00 80 03 00 00 00 03 00 00 00 00 00 00 00 ");
  for (uint16_t b : {0, 2, 2}) EXPECT_EQ(hex(rig.send(blockTelegram(0x32, blockParams(image, b)))), "E5 ");
  Bytes shortBlock = blockParams(image, 1);
  shortBlock.resize(2 + 100);
  EXPECT_EQ(hex(rig.send(blockTelegram(0x32, shortBlock))), "E5 ") << "taken by the link, refused inside";
  EXPECT_EQ(hex(rig.send(blockTelegram(0x33))), "E5 ");
  EXPECT_EQ(hex(rig.send(blockTelegram(0x36))), "E5 ");
  // Validated: 2 received, block 1 missing, 1 repeat, 1 refused.
  EXPECT_EQ(reportOf(longFrameData(rig.send(kReqUd2))), "0F 36 02 02 2C 01 00 00 80 03 00 02 00 01 00 01 00 01 00 01 00 ");
  EXPECT_TRUE(rig.engine.takeCompleted().empty());
  rig.send(blockTelegram(0x32, blockParams(image, 1)));
  rig.send(blockTelegram(0x32, {0x03, 0x00}));  // past the end: refused
  EXPECT_EQ(hex(rig.send(blockTelegram(0x34))), "E5 ");
  auto done = rig.engine.takeCompleted();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(hex(done[0].image), hex(image));
  char line[256];
  snprintf(line, sizeof line,
           "firmware received: protocol=block blocks=3 repeats=1 missing=0 length=300 crc32=0x%08X "
           "crc32_std=0x%08X complete=yes rejected=2 file=out.bin",
           crc32Plain(0, image.data(), image.size()), crc32Standard(image.data(), image.size()));
  EXPECT_EQ(summaryLine(done[0].summary, "out.bin"), line);
}

TEST(DongleFirmware, EncryptedProtocolWithASkippedBlockIsIncomplete) {
  Rig rig;
  Bytes image = sampleImage(6000, 3);
  uint32_t counter = 1;
  auto sendProtected = [&](const Bytes& record) { return hex(rig.send(protectedTelegram(record, counter++))); };
  EXPECT_EQ(sendProtected(blockRecord(0x30, startParams(6000))), "E5 ");
  for (uint16_t b = 0; b * 128 < 6000; b = (uint16_t)(b == 14 ? 16 : b + 1))
    ASSERT_EQ(sendProtected(blockRecord(0x32, blockParams(image, b))), "E5 ") << "block " << b;
  EXPECT_EQ(sendProtected(blockRecord(0x34)), "E5 ");
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
  EXPECT_EQ(hex(done[0].image), hex(image));
  const std::string line = summaryLine(done[0].summary, "f");
  EXPECT_EQ(line.rfind("firmware received: protocol=simple chunks=3 repeats=1 missing=0 length=400 ", 0), 0u) << line;
  EXPECT_NE(line.find(" complete=yes rejected=0 file=f"), std::string::npos) << line;
}

// --- faults and pacing ------------------------------------------------------

TEST(DongleFaults, SameSeedSameFaultsAndEachFaultDoesWhatItSays) {
  auto run = [](uint64_t seed, DongleStats* stats = nullptr) {
    DongleConfig c = unpaced();
    c.faults = {0.3, 0.3, 0.3, 0.3, 2500000, -1, -1, seed};
    Rig rig(c);
    std::string out;
    for (int i = 0; i < 60; ++i) out += hex(rig.send(i % 2 ? kReqUd2 : kSndNke));
    if (stats) *stats = rig.engine.stats();
    return out;
  };
  DongleStats s;
  const std::string seven = run(7, &s);
  EXPECT_EQ(seven, run(7));
  EXPECT_NE(seven, run(8));
  EXPECT_TRUE(s.acksDropped && s.acksLate && s.answersCorrupted && s.strayBytes)
      << s.acksDropped << " " << s.acksLate << " " << s.answersCorrupted << " " << s.strayBytes;

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
  const Bytes frame(out.end() - 28, out.end());
  EXPECT_EQ(hex(Bytes(frame.begin(), frame.begin() + 4)), "68 16 16 68 ");
  EXPECT_EQ(frame.back(), 0x16);
  EXPECT_NE(frame[26], checksum(frame)) << "the damage breaks the checksum: " << hex(frame);

  DongleConfig d = unpaced();
  d.faults.dropAck = 1;
  Rig dropper(d);
  EXPECT_TRUE(dropper.send(blockTelegram(0x30, startParams(10))).empty());
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
// (Its --close-after hang-up is run end to end in tests/e2e/e2e_faults_test.cpp.)

namespace {

Bytes readFor(int fd, int ms, size_t want) {
  Bytes got;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.size() < want && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    uint8_t buf[256];
    ssize_t n = poll(&p, 1, 20) > 0 && (p.revents & POLLIN) ? read(fd, buf, sizeof buf) : 0;
    if (n > 0) got.insert(got.end(), buf, buf + n);
  }
  return got;
}

}  // namespace

TEST(DongleProgram, AnswersOnItsPtyAndEndsCleanlyOnSigterm) {
  DongleProcess dongle("dongle-link", {});
  ASSERT_TRUE(dongle.started());
  ASSERT_EQ(dongle.lines.front().rfind("virtual dongle on /dev/pts/", 0), 0u) << dongle.lines.front();
  int fd = open(dongle.link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0) << "the link leads to the pty";
  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(write(fd, kReqUd2.data(), kReqUd2.size()), 5);
  Bytes answer = readFor(fd, 3000, 28);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(longFrameData(answer).size(), 20u) << hex(answer);
  EXPECT_GE(ms, 30.0) << "33 characters at 9600 baud take about 38 ms";
  close(fd);
  EXPECT_EQ(dongle.stop(), 0);
  struct stat st;
  EXPECT_NE(lstat(dongle.link.c_str(), &st), 0) << "the link is removed";
  auto summary = dongle.summary();
  EXPECT_EQ(summary["telegrams"], "1");
  EXPECT_EQ(summary["answers_sent"], "1");
}
