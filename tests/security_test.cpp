// The tool's AES, CBC and CMAC against published vectors; protected telegrams
// both ways between the tool and the virtual dongle's OpenSSL code, which checks
// the key derivation for all four constants on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "link/link_frames.h"
#include "link/telegram.h"
#include "security/cipher_modes.h"
#include "security/telegram_protection.h"
#include "tests/support/fakes.h"
#include "virtual-dongle/dongle_crypto.h"
#include "virtual-dongle/dongle_protection.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(std::mt19937& rng, size_t n) {
  Bytes out(n);
  for (uint8_t& b : out) b = (uint8_t)rng();
  return out;
}
struct NullTrace : TraceSink { void trace(const char*, size_t) override {} } trace;

// Shared by NIST SP 800-38A and RFC 4493 (also FIPS-197 appendix B's key).
const Bytes kNistKey = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
const Bytes kNistPlain = fromHex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");

// FIPS-197 appendix C.1 and appendix B; decryption runs in place.
TEST(Aes128, Fips197Vectors) {
  const struct { const char *key, *plain, *cipher; } vectors[] = {
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"}};
  for (const auto& v : vectors) {
    AesKeySchedule schedule;
    aesExpandKey(fromHex(v.key).data(), schedule);
    Bytes block(16);
    aesEncryptBlock(fromHex(v.plain).data(), block.data(), schedule);
    EXPECT_EQ(hex(fromHex(v.cipher)), hex(block)) << v.key;
    aesDecryptBlock(block.data(), block.data(), schedule);
    EXPECT_EQ(hex(fromHex(v.plain)), hex(block)) << v.key;
  }
}

// NIST SP 800-38A F.2.1 / F.2.2 CBC-AES128, split over two calls without a
// reset; the second call ends in a partial block that must stay as it is.
TEST(Cbc, Sp800_38aVectorsAcrossTwoCalls) {
  const Bytes iv = fromHex("000102030405060708090a0b0c0d0e0f");
  Bytes cipher = fromHex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  Bytes plain = kNistPlain;
  plain.insert(plain.end(), 8, 0xEE);
  cipher.insert(cipher.end(), 8, 0xEE);
  AesKeySchedule schedule;
  aesExpandKey(kNistKey.data(), schedule);
  for (uint8_t split : {0, 16, 32, 48, 64}) {
    Bytes buffer = plain;
    std::memcpy(cbcChainingValue, iv.data(), 16);
    cbcEncrypt(buffer.data(), split, schedule);
    cbcEncrypt(buffer.data() + split, (uint8_t)(72 - split), schedule);
    EXPECT_EQ(hex(cipher), hex(buffer)) << "split " << (int)split;
    std::memcpy(cbcChainingValue, iv.data(), 16);
    cbcDecrypt(buffer.data(), split, schedule);
    cbcDecrypt(buffer.data() + split, (uint8_t)(72 - split), schedule);
    EXPECT_EQ(hex(plain), hex(buffer)) << "split " << (int)split;
  }
}

// RFC 4493 section 4: subkeys and examples 1 to 4.
TEST(Cmac, Rfc4493Examples) {
  uint8_t k1[16], k2[16];
  cmacSubkeys(kNistKey.data(), k1, k2);
  EXPECT_EQ(hex(fromHex("fbeed618357133667c85e08f7236a8de")), hex(k1, 16));
  EXPECT_EQ(hex(fromHex("f7ddac306ae266ccf90bc11ee46d513b")), hex(k2, 16));
  const struct { int length; const char* tag; } examples[] = {
      {0, "bb1d6929e95937287fa37d129b756746"}, {16, "070a16b46b4d4144f79bdd9dd04a287c"},
      {40, "dfa66747de9ae63030ca32611497c827"}, {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
  for (const auto& e : examples) {
    uint8_t tag[16];
    aesCmac(kNistKey.data(), kNistPlain.data(), e.length, tag);
    EXPECT_EQ(hex(fromHex(e.tag)), hex(tag, 16)) << "length " << e.length;
  }
}

const uint8_t kKey[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                          0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
// Manufacturer (LE), id LSB first, version, device type.
const uint8_t kAddress[8] = {0x52, 0x0A, 0x78, 0x56, 0x34, 0x12, 0x40, 0x03};
const uint8_t* const kId = kAddress + 2;

// Parameter lengths 0..16 give every fill length before the block boundary;
// a full data block gives nine blocks.
TEST(TelegramProtection, WhatTheToolProtectsTheDongleOpens) {
  std::mt19937 rng(7);
  for (int length = 0; length <= 17; ++length) {
    const bool block = length == 17;
    const Bytes params = randomBytes(rng, block ? BLOCK_SIZE : (size_t)length);
    BlockRecord record{block ? CMD_DATA_BLOCK : CMD_SEND_START, params.data(), (uint8_t)params.size(), 0x0102};
    const uint32_t counter = 0x0A0B0C0Du + (uint32_t)length;
    ASSERT_EQ(buildProtectedTelegram({kAddress, counter, 0x17, kKey}, record, trace), ProtectResult::Protected);
    const size_t n = linkLength - 8u;  // CI field to the last data byte
    const vdongle::OpenedTelegram opened = vdongle::openToMeter(linkBuffer + FRAME_DATA_OFFSET, n, kId, kKey);
    ASSERT_EQ(vdongle::OpenStatus::Ok, opened.status) << "length " << length;
    EXPECT_EQ(counter, opened.counter);
    Bytes expected{0x2F, 0x2F, 0x0D, 0xFD, 0xF7, record.command, (uint8_t)(params.size() + (block ? 2 : 0))};
    if (block) expected.insert(expected.end(), {0x02, 0x01});
    expected.insert(expected.end(), params.begin(), params.end());
    expected.resize((expected.size() + 15) / 16 * 16, 0x2F);
    EXPECT_EQ(hex(expected), hex(opened.app.data() + opened.areaOffset, opened.areaLength)) << "length " << length;
  }
}

const Bytes kTplHeader{0x72, 0x78, 0x56, 0x34, 0x12, 0x52, 0x0A, 0x40, 0x03, 0x2A, 0x00};
const uint32_t kCounter = 0x11223344;
const size_t kAreaOffset = 31;

TEST(TelegramProtection, WhatTheDongleProtectsTheToolOpens) {
  std::mt19937 rng(11);
  for (size_t length : {0, 13, 14, 30, 77, 238}) {
    const Bytes records = randomBytes(rng, length);
    Bytes app = vdongle::protectFromMeter(kTplHeader, records, kCounter, kId, kKey);
    EXPECT_EQ(telegramDecrypt(trace, app.data(), (uint32_t)app.size(), kId, kKey), DecryptResult::Ok) << "length " << length;
    Bytes expected{0x2F, 0x2F};
    expected.insert(expected.end(), records.begin(), records.end());
    expected.resize(app.size() - kAreaOffset, 0x2F);
    EXPECT_EQ(hex(expected), hex(app.data() + kAreaOffset, expected.size())) << "length " << length;
  }
}

void remac(Bytes& app) {
  Bytes covered(app.begin() + 4, app.end());
  covered.erase(covered.begin() + 5, covered.begin() + 13);  // MCL, MCR, then bytes 17 on
  uint8_t macKey[16], tag[16];
  ASSERT_TRUE(vdongle::deriveKey(kKey, vdongle::MacFromMeter, kCounter, kId, macKey));
  ASSERT_TRUE(vdongle::aesCmac(macKey, covered.data(), covered.size(), tag));
  std::memcpy(app.data() + 9, tag, 8);
}

// Every case is refused and nothing from the TPL CI on is decrypted.
TEST(TelegramProtection, TamperedAnswersAreRefusedUndecrypted) {
  const Bytes good = vdongle::protectFromMeter(kTplHeader, Bytes(40, 0x5C), kCounter, kId, kKey);
  ASSERT_EQ(kAreaOffset + 48, good.size());
  // `flip` is XORed in; `remac` then writes a valid MAC so the layout checks are reached.
  const struct {
    const char* what; size_t byte; uint8_t flip; bool remac; size_t cutTo; uint8_t keyFlip, idFlip;
  } cases[] = {
      {"MAC first byte", 9, 0x01, false, 0, 0, 0},   {"MAC last byte", 16, 0x80, false, 0, 0, 0},
      {"counter", 5, 0x01, false, 0, 0, 0},          {"encrypted area", 50, 0x10, false, 0, 0, 0},
      {"wrong key", 0, 0, false, 0, 0x01, 0},        {"wrong id", 0, 0, false, 0, 0, 0x01},
      {"area past the end", 28, 0xC0, true, 0, 0, 0}, {"cut inside the area", 0, 0, true, 40, 0, 0}};
  for (const auto& c : cases) {
    Bytes app = good, key(kKey, kKey + 16), id(kId, kId + 4);
    if (c.cutTo) app.resize(c.cutTo);
    app[c.byte] ^= c.flip;
    if (c.remac) remac(app);
    key[7] ^= c.keyFlip;
    id[3] ^= c.idFlip;
    const Bytes sent = app;
    // A right MAC over a bad layout: the layout check is the one that refuses.
    EXPECT_EQ(telegramDecrypt(trace, app.data(), (uint32_t)app.size(), id.data(), key.data()),
              c.remac ? DecryptResult::AreaBeyondEnd : DecryptResult::MacMismatch) << c.what;
    EXPECT_EQ(hex(sent.data() + 17, sent.size() - 17), hex(app.data() + 17, app.size() - 17)) << c.what;
  }
}

// The 8-bit length must not wrap past 255 (300 bytes: 32 encrypted): the first 240 are, no more.
TEST(TelegramProtection, EncryptionCoversTheFirst240BytesOfALongerArea) {
  Bytes ours(300, 0x5C), theirs = ours;
  telegramEncrypt(trace, ours.data(), (int32_t)ours.size(), kId, kCounter, kKey, false);
  uint8_t encKey[16];
  ASSERT_TRUE(vdongle::deriveKey(kKey, vdongle::EncToMeter, kCounter, kId, encKey));
  ASSERT_TRUE(vdongle::aesCbc(true, encKey, theirs.data(), 240));
  EXPECT_EQ(hex(theirs), hex(ours));
}

// A right MAC over an area that does not decrypt to 2F 2F is still refused.
TEST(TelegramProtection, AnAreaWithoutBothFillBytesIsRefused) {
  Bytes app = vdongle::protectFromMeter(kTplHeader, Bytes(40, 0x5C), kCounter, kId, kKey);
  uint8_t encKey[16];
  ASSERT_TRUE(vdongle::deriveKey(kKey, vdongle::EncFromMeter, kCounter, kId, encKey));
  ASSERT_TRUE(vdongle::aesCbc(false, encKey, app.data() + kAreaOffset, 48));
  app[kAreaOffset + 1] = 0x00;
  ASSERT_TRUE(vdongle::aesCbc(true, encKey, app.data() + kAreaOffset, 48));
  remac(app);
  EXPECT_EQ(telegramDecrypt(trace, app.data(), (uint32_t)app.size(), kId, kKey), DecryptResult::NoFillerAfterDecrypt);
}

}  // namespace
