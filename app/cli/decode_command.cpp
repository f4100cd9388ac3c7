#include "app/cli/decode_command.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "app/cli/frame_report.h"
#include "commands/identity_fields.h"
#include "commands/meter_answers.h"
#include "security/secure_wipe.h"

namespace {

// Offline there is no log to hold the decryption's traces.
class DiscardTrace : public TraceSink {
 public:
  void trace(const char*, size_t) override {}
};

// Pairs of hex digits; blanks and line breaks may stand anywhere between them.
std::string frameFromHex(const std::string& text, std::vector<uint8_t>& frame) {
  std::string digits;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = (unsigned char)text[i];
    if (std::isspace(c)) continue;
    if (!std::isxdigit(c)) return "character " + std::to_string(i + 1) + " of the frame is no hex digit";
    digits += (char)c;
  }
  if (digits.empty()) return "the frame holds no hex digits";
  if (digits.size() % 2) return "the frame has an odd number of hex digits";
  frame.resize(digits.size() / 2);
  parseHex(digits.c_str(), frame.data(), (int)frame.size());
  return "";
}

struct Decoded {
  std::string error;  // empty: decoded
  FrameRecords records;
  const uint8_t* bytes = nullptr;  // what the records' offsets count from
  size_t length = 0;
  bool protectedFrame = false;
  DecryptResult check = DecryptResult::Ok;
  bool usage = false;  // the key or --id was refused
};

// As the window opens a protected answer: decodeAnswer finds the part, telegramDecrypt opens it in place.
// The key and --id are read and checked only here: an open frame needs neither.
void openProtected(std::vector<uint8_t>& frame, const CliSources& sources, CliOptions options, Decoded& d) {
  d.protectedFrame = true;
  const Answer answer = decodeAnswer(frame.data(), (uint16_t)frame.size());
  if (!answer.protectedPart) return void(d.error = "the protected frame is too short for its header");
  if (resolveFields(sources, options, d.error, true) == CliParse::Refused) return void(d.usage = true);
  uint8_t key[16], id[4], given[4];
  parseHex(options.fields[(int)Field::Key].c_str(), key, 16);
  std::memcpy(id, answer.identity, 4);  // LSB first, as sent
  if (options.given[(int)Field::IdNumber] && parseHex(options.fields[(int)Field::IdNumber].c_str(), given, 4) == 4)
    for (int i = 0; i < 4; ++i) id[i] = given[3 - i];
  DiscardTrace trace;
  d.check = telegramDecrypt(trace, answer.protectedPart, answer.protectedLength, id, key);
  secureWipe(key, sizeof key);
  if (d.check != DecryptResult::Ok)
    return void(d.error = std::string("the protected frame does not verify: ") + decryptCheckText(d.check));
  d.records = decryptedAnswerRecords(frame.data(), answer);
  d.bytes = answer.protectedPart;
  d.length = answer.protectedLength;
}

Decoded decodeText(const CliOptions& options, const CliSources& sources, std::vector<uint8_t>& frame) {
  Decoded d;
  if (!(d.error = frameFromHex(options.frame, frame)).empty()) return d;
  d.records = decodeFrame(frame.data(), frame.size());
  d.bytes = frame.data();
  d.length = frame.size();
  const DecodeEnd end = d.records.list.end;
  if (end == DecodeEnd::NotALongFrame || end == DecodeEnd::BadChecksum)
    d.error = "the frame is refused: " + describeEnd(d.records.list);
  else if (d.records.header.ci == CI_PROTECTED)
    openProtected(frame, sources, options, d);
  else if (end == DecodeEnd::UnsupportedCi || end == DecodeEnd::HeaderTruncated)
    d.error = "no records to decode: " + describeEnd(d.records.list);
  return d;
}

}  // namespace

DecodeRun decodeFrameCommand(const CliOptions& options, const CliSources& sources) {
  std::vector<uint8_t> frame;
  const Decoded d = decodeText(options, sources, frame);
  DecodeRun run;
  const char* decrypt = !d.protectedFrame ? "not protected" : d.error.empty() ? "ok" : "error";
  if (!d.error.empty()) {
    run.exit = d.usage ? EXIT_USAGE : EXIT_NOT_DECODED;
    run.err = "mbus-fwupdate: " + d.error + "\n";
  }
  if (options.json) {
    nlohmann::json object = nlohmann::json::object();
    if (d.error.empty()) addFrameReport(object, d.records, d.bytes, d.length);
    if (!d.usage && (d.error.empty() || d.protectedFrame)) object["decrypt"] = decrypt;
    if (d.check != DecryptResult::Ok) object["decrypt_check"] = decryptCheckName(d.check);
    if (!d.error.empty()) object["error"] = d.error;
    run.out = jsonText(object, 2) + "\n";
  } else if (d.error.empty()) {
    run.out = frameHeaderLines(d.records.header) + (d.protectedFrame ? "decrypt: ok\n" : "") +
              decodedRecordLines(d.records.list);
  }
  return run;
}
