#include "app/cli/frame_report.h"

#include <cmath>
#include <vector>

#include "interfaces/text_format.h"

namespace {

std::string hexByte(unsigned value, int digits = 2) { return hexNumber(value, digits); }

// Label for a person, key for JSON, value as hex text; only the fields the header carries.
struct HeaderField {
  const char* label;
  const char* key;
  std::string value;
};

std::vector<HeaderField> headerFields(const MeterHeader& h) {
  std::vector<HeaderField> fields = {{"control", "control", hexByte(h.control)},
                                     {"address", "address", hexByte(h.address)},
                                     {"ci", "ci", hexByte(h.ci)}};
  if (h.hasIdentity) {
    // Empty for a code with its top bit set, as in the answer event.
    fields.push_back({"manufacturer", "manufacturer", h.manufacturer});
    fields.push_back({"id", "id", h.id});
    fields.push_back({"version", "version", hexByte(h.version)});
    fields.push_back({"device type", "device_type", hexByte(h.medium)});
  }
  if (h.hasAccess) {
    fields.push_back({"access number", "access_number", hexByte(h.accessNumber)});
    fields.push_back({"status", "status", hexByte(h.status)});
    fields.push_back({"signature", "signature", hexByte(h.signature, 4)});
  }
  return fields;
}

const char* functionName(RecordFunction function) {
  switch (function) {
    case RecordFunction::Instantaneous: return "instantaneous";
    case RecordFunction::Maximum: return "maximum";
    case RecordFunction::Minimum: return "minimum";
    case RecordFunction::DuringError: break;
  }
  return "during_error";
}

// Whole numbers as JSON integers (42, not 42.0), the rest as decimals.
nlohmann::json recordValue(const Record& r) {
  switch (r.kind) {
    case ValueKind::Number:
      if (r.number == std::floor(r.number) && std::fabs(r.number) < 9007199254740992.0)
        return (long long)r.number;
      return r.number;
    case ValueKind::Text: return r.text;
    case ValueKind::Error: return "error: " + r.text;
    case ValueKind::None: break;
  }
  return nullptr;
}

nlohmann::json recordObject(const Record& r, const uint8_t* bytes) {
  // What the VIFEs add ("upper limit value") qualifies the quantity.
  std::string quantity = r.quantity;
  for (size_t i = 0; i < r.notes.size(); ++i) quantity += (i ? ", " : " (") + r.notes[i];
  if (!r.notes.empty()) quantity += ")";
  return {{"storage", r.storage},
          {"tariff", r.tariff},
          {"subunit", r.subunit},
          {"function", functionName(r.function)},
          {"quantity", quantity},
          {"value", recordValue(r)},
          {"unit", r.unit.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.unit)},
          {"raw", hexText(bytes + r.offset, r.length)}};
}

}  // namespace

std::string frameHeaderLines(const MeterHeader& header) {
  std::string lines;
  for (const HeaderField& field : headerFields(header)) lines += std::string(field.label) + ": " + field.value + "\n";
  return lines;
}

void addFrameReport(nlohmann::json& object, const FrameRecords& decoded, const uint8_t* bytes, size_t length) {
  for (const HeaderField& field : headerFields(decoded.header)) object[field.key] = field.value;
  nlohmann::json records = nlohmann::json::array();
  for (const Record& r : decoded.list.records)
    if (r.offset + r.length <= length) records.push_back(recordObject(r, bytes));
  object["records"] = records;
  if (decoded.list.end != DecodeEnd::Complete) object["end"] = describeEnd(decoded.list);
}

const char* decryptCheckName(DecryptResult result) {
  switch (result) {
    case DecryptResult::Ok: return "ok";
    case DecryptResult::NoAfl: return "afl";
    case DecryptResult::LengthOutOfRange: return "length";
    case DecryptResult::MacMismatch: return "mac";
    case DecryptResult::AreaBeyondEnd: return "area";
    case DecryptResult::NoFillerAfterDecrypt: break;
  }
  return "2f2f";
}
