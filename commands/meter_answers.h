// What the tool takes from a meter's long answer, as one value: its identity,
// its message counter and where that came from, the invocation counter it
// leaves in the store, the verification of a protected answer (CI 0x90) and
// its records. The console lines are written here; each front shows the
// value its own way (the window in its fields, the command line in its
// summary and JSON).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "link/records.h"
#include "link/telegram.h"
#include "link/tool_context.h"
#include "security/telegram_protection.h"

// Record: the 04 FD 08 record, found by walking the records. ByteSearch: the
// first 04 FD 08 in the bytes, where the records cannot be walked. Afl: the
// protected answer's MCR.
enum class CounterSource : uint8_t { None, Record, ByteSearch, Afl };
enum class Verification : uint8_t { NotProtected, Ok, Error };

struct MeterAnswer {
  int ci = -1;                // -1: the frame ends before a CI field
  bool identified = false;    // the answer carried an identity
  char manufacturer[4] = "";  // "" when its code has no letters
  uint32_t idNumber = 0;      // as shown, most significant digit first
  uint8_t version = 0;
  uint8_t deviceType = 0;
  CounterSource counterSource = CounterSource::None;
  uint32_t messageCounter = 0;     // as the answer carried it
  bool counterMoved = false;       // the answer moved the invocation counter store
  uint32_t invocationCounter = 0;  // the store afterwards: the counter of the next telegram
  Verification verification = Verification::NotProtected;
  DecryptResult decryptCheck = DecryptResult::Ok;  // Error: the check that refused it
  // With ctx.decodeRecords: the records, and the bytes their offsets count from.
  bool decoded = false;
  FrameRecords records;
  std::vector<uint8_t> recordBytes;
};

// One run of the receive poll: every long answer applied to the stores, its
// lines printed, and returned in the order it came.
[[nodiscard]] std::vector<MeterAnswer> receiveAnswers(ToolContext& ctx);
// The counter record of a CI 0x72 answer: by the records, else by the bytes.
struct FoundCounter {
  CounterSource source = CounterSource::None;
  uint32_t value = 0;
};
[[nodiscard]] FoundCounter findMessageCounter(const uint8_t* frame, uint16_t length);
// The records of a protected answer that telegramDecrypt has opened in place,
// with the frame's control and address; offsets count from its protectedPart.
[[nodiscard]] FrameRecords decryptedAnswerRecords(const uint8_t* frame, const Answer& answer);
// One line per record, then where and why decoding stopped early.
[[nodiscard]] std::string decodedRecordLines(const RecordList& list);
// The check that refused a protected answer, for a console line.
[[nodiscard]] const char* decryptCheckText(DecryptResult result);
