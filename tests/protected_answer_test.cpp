// Protected answers: identity and counter into the fields, the key shown,
// then verified and decrypted; answers are made with the OpenSSL far end.
// That the poll hands CI 0x90 answers on is tested in answer_reception_test.
#include "link/protected_answer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands/identity_fields.h"
#include "link/link_frames.h"
#include "tests/support/fakes.h"
#include "tests/support/openssl_telegram.h"

namespace {

const std::vector<uint8_t> kPlainArea{0x2F, 0x2F, 0x04, 0x13, 0x10, 0x27, 0x00, 0x00,
                                      0x02, 0xFD, 0x17, 0x00, 0x00, 0x2F, 0x2F, 0x2F};

struct ProtectedAnswer : ::testing::Test {
  Harness h;
  uint8_t meterId[4] = {0x04, 0x03, 0x02, 0x01};  // field text 01020304
  uint8_t key[16];

  void SetUp() override {
    readIdentityFields(h.fields);  // the key and identity the decryption uses
    std::memcpy(key, communicationKey, 16);
  }

  // A CI 0x90 application part with a long header (id 12345678, ABC, 01, 07).
  std::vector<uint8_t> applicationPart(uint32_t counter, const uint8_t* id = nullptr) {
    ossl::TelegramLayout layout;
    layout.counter = counter;
    layout.tplCi = 0x72;
    layout.address = {0x78, 0x56, 0x34, 0x12, 0x43, 0x04, 0x01, 0x07};
    layout.area = kPlainArea;
    return ossl::protectedApplicationPart(layout, id ? id : meterId, key, true);
  }
  // The frame as received, left in the link buffer like the poll leaves it.
  std::vector<uint8_t> receive(const std::vector<uint8_t>& app) {
    const auto frame = longFrame(0x08, 0x01, app);
    resetReceiver();
    for (uint8_t b : frame) receiveByte(b);
    return frame;
  }
  // "0x%02X " a byte and two line ends, as a dump of the 16 bytes reads.
  std::string keyLine() { return "Decrypting using key: " + consoleDump(key, 16); }
};

TEST_F(ProtectedAnswer, CorrectMacPrintsCounterKeyAndFrameInClear) {
  const auto frame = receive(applicationPart(0x7FFFFFFF));
  handleProtectedAnswer(h.ctx);
  // In clear: the area, and MCL/MCR copied over the last five MAC bytes.
  std::vector<uint8_t> clear = frame;
  std::memcpy(clear.data() + 6 + 12, frame.data() + 6 + 4, 5);
  std::copy(kPlainArea.begin(), kPlainArea.end(), clear.begin() + 6 + 31);
  EXPECT_EQ(h.console.text(),
            "Message counter found: -2147483648\n" + keyLine() + "Decrypt OK.\n" + consoleDump(clear));
  uint16_t n = 0;
  EXPECT_EQ(hex(getLinkBuffer(n), clear.size()), hex(clear));
  EXPECT_EQ(h.console.pieces().front().style, STYLE_RECEIVED);
  for (size_t i = 1; i < h.console.pieces().size(); ++i) EXPECT_EQ(h.console.pieces()[i].style, STYLE_PROGRESS);
  EXPECT_EQ(invocationCounter, 0x80000000u);
  EXPECT_EQ(h.fields.fieldText(Field::Counter), "80000000");
  EXPECT_EQ(h.fields.fieldText(Field::Manufacturer), "ABC");
  EXPECT_EQ(h.fields.fieldText(Field::IdNumber), "12345678");
  EXPECT_EQ(h.fields.fieldText(Field::Version), "01");
  EXPECT_EQ(h.fields.fieldText(Field::DeviceType), "07");
}

TEST_F(ProtectedAnswer, ChangedByteGivesErrorAndNoSecondDump) {
  auto app = applicationPart(5);
  for (size_t at : {size_t(9), size_t(17), size_t(31), app.size() - 1}) {  // MAC, TPL CI, area start and end
    h.console.clear();
    auto bad = app;
    bad[at] ^= 0x40;
    receive(bad);
    handleProtectedAnswer(h.ctx);
    EXPECT_EQ(h.console.text(), "Message counter found: 6\n" + keyLine() + "Decrypt Error.\n") << "byte " << at;
  }
}

TEST_F(ProtectedAnswer, OtherMeterDecryptsOnlyAfterFieldsAreRead) {
  const uint8_t otherId[4] = {0x78, 0x56, 0x34, 0x12};
  receive(applicationPart(9, otherId));
  handleProtectedAnswer(h.ctx);
  EXPECT_NE(h.console.text().find("Decrypt Error.\n"), std::string::npos);
  EXPECT_EQ(h.fields.fieldText(Field::IdNumber), "12345678");
  EXPECT_EQ(hex(meterIdBytes, 4), "04 03 02 01 ");  // the field text only

  readIdentityFields(h.fields);
  h.console.clear();
  receive(applicationPart(10, otherId));
  handleProtectedAnswer(h.ctx);
  EXPECT_NE(h.console.text().find("Decrypt OK.\n"), std::string::npos);
}

TEST_F(ProtectedAnswer, EveryTruncationIsSafe) {
  const auto app = applicationPart(3);
  for (size_t n = 0; n <= app.size(); ++n) {
    SCOPED_TRACE("application part of " + std::to_string(n) + " bytes");
    const std::vector<uint8_t> part(app.begin(), app.begin() + (long)n);
    std::string seen[2];
    for (int fill = 0; fill < 2; ++fill) {
      // Different stale bytes behind the frame, with a known TPL CI where a
      // cut-off part would have had it.
      std::memset(linkBuffer, fill ? 0xFF : 0x00, sizeof linkBuffer);
      linkBuffer[6 + 17] = fill ? 0x72 : 0x7A;
      h.console.clear();
      h.fields = FakeFields();
      invocationCounter = 77;
      buildLongFrame(0x01, 0x08, part.data(), (uint8_t)part.size());
      handleProtectedAnswer(h.ctx);
      seen[fill] = h.console.text() + "|" + h.fields.fieldText(Field::IdNumber) +
                   h.fields.fieldText(Field::Counter) + h.fields.fieldText(Field::DeviceType);
    }
    EXPECT_EQ(seen[0], seen[1]);
    // Up to byte 31 of the frame (the device type) must lie before the checksum.
    if (n < 26) {
      EXPECT_EQ(seen[0], "Protected answer too short.\nDecrypt Error.\n|010203040000000103");
      EXPECT_EQ(invocationCounter, 77u);
    } else {
      EXPECT_EQ(h.fields.fieldText(Field::DeviceType), "07");
      EXPECT_NE(seen[0].find(n < app.size() ? "Decrypt Error.\n" : "Decrypt OK.\n"), std::string::npos);
    }
  }
}

}  // namespace
