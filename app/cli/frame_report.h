// A decoded frame as mbus-fwupdate shows it: header lines for a person, or
// header fields, records and end as JSON for a script.
#pragma once
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "records/records.h"
#include "security/telegram_protection.h"

// "control: 08\n", "ci: 72\n", ... for the fields the frame carries.
std::string frameHeaderLines(const MeterHeader& header);
// The header fields (hex texts, keys as the answer event's), `records` and,
// unless decoding reached the end, `end`. The records' offsets count from `bytes`.
void addFrameReport(nlohmann::json& object, const FrameRecords& decoded, const uint8_t* bytes, size_t length);
// The object as text (indent as nlohmann's dump), record numbers with their
// own digits: 123456789012345678, not as a double would round it.
std::string jsonText(const nlohmann::json& object, int indent);
// The failed check as a JSON token: "mac", "2f2f", ...
const char* decryptCheckName(DecryptResult result);
