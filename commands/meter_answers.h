// What the tool takes from a meter's long answer: its identity into the
// fields, its message counter into the counter store, and for a protected
// answer (CI 0x90) the verification and decryption, printed in clear.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "records/records.h"
#include "link/telegram.h"
#include "link/tool_context.h"
#include "security/telegram_protection.h"

// What the last long answer said, as values, for a front that shows no
// fields (ctx.answer). Filled as the fields are.
struct AnswerValues {
  enum class Decrypt { NotProtected, Ok, Error };
  bool answered = false;
  bool identified = false;    // the answer carried an identity
  char manufacturer[4] = "";  // "" when its code has no letters
  uint32_t idNumber = 0;      // as shown, most significant digit first
  uint8_t version = 0;
  uint8_t deviceType = 0;
  uint32_t counter = 0;       // the invocation counter the answer left
  Decrypt decrypt = Decrypt::NotProtected;
  DecryptResult decryptCheck = DecryptResult::Ok;  // Error: the check that refused it
  // With ctx.decodeRecords: the records, and the bytes their offsets count from.
  bool decoded = false;
  FrameRecords records;
  std::vector<uint8_t> recordBytes;
};

void applyAnswer(ToolContext& ctx, const Answer& answer);
// The records of a protected answer that telegramDecrypt has opened in place,
// with the frame's control and address; offsets count from its protectedPart.
FrameRecords decryptedAnswerRecords(const uint8_t* frame, const Answer& answer);
// One line per record, then where and why decoding stopped early.
std::string decodedRecordLines(const RecordList& list);
// The check that refused a protected answer, for a console line.
const char* decryptCheckText(DecryptResult result);
// One run of the receive poll with the answers applied.
void receiveAnswers(ToolContext& ctx);
