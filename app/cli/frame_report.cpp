#include "app/cli/frame_report.h"

#include <vector>

#include "interfaces/text_format.h"

namespace {

const std::string NUMBER_MARK = "\x01#";  // written as "\u0001#" by the dump

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

// JSON has no NaN or infinity: those stay texts, apart from null ("no value").
// A finite number is marked here and written with its own digits by jsonText.
nlohmann::json exactNumber(const std::string& number) {
  return isFiniteNumber(number) ? nlohmann::json(NUMBER_MARK + number) : nlohmann::json(number);
}

nlohmann::json profileObject(const CompactProfile& p) {
  nlohmann::json elements = nlohmann::json::array();
  const char* position = p.kind == ProfileKind::WithRegisters ? "storage" : "spacings";
  for (const ProfileElement& e : p.elements) elements.push_back({{position, e.position}, {"value", exactNumber(e.value)}});
  return {{"spacing", p.spacing}, {"spacing_unit", p.spacingUnit}, {"mode", p.mode}, {"elements", elements}};
}

nlohmann::json recordValue(const Record& r) {
  switch (r.kind) {
    case ValueKind::Number: return exactNumber(r.number);
    case ValueKind::Profile: return profileObject(r.profile);
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

std::string jsonText(const nlohmann::json& object, int indent) {
  const std::string text = object.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
  static const std::string mark = "\"\\u0001#";
  std::string out;
  size_t from = 0;
  for (size_t at; (at = text.find(mark, from)) != std::string::npos;) {
    const size_t digits = at + mark.size(), end = text.find('"', digits);
    const std::string number = text.substr(digits, end - digits);
    const bool plain = number.find_first_not_of("-0123456789.e") == std::string::npos && isFiniteNumber(number);
    out += text.substr(from, at - from) + (plain ? number : text.substr(at, end + 1 - at));
    from = end + 1;
  }
  return out + text.substr(from);
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
