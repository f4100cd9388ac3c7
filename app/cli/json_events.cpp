#include "app/cli/json_events.h"

#include <nlohmann/json.hpp>

#include "app/cli/frame_report.h"
#include "commands/meter_answers.h"
#include "interfaces/text_format.h"

namespace {

const char* decryptName(Verification verification) {
  switch (verification) {
    case Verification::Ok: return "ok";
    case Verification::Error: return "error";
    case Verification::NotProtected: break;
  }
  return "not protected";
}

void emit(FILE* out, const nlohmann::json& event) {
  // Replacement characters for bytes of a path that are no UTF-8: never an exception.
  const std::string line = jsonText(event, -1);
  std::fprintf(out, "%s\n", line.c_str());
  std::fflush(out);
}

}  // namespace

double JsonEvents::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void JsonEvents::start(const char* command, const std::string& image, const std::string& protocol) {
  nlohmann::json event = {{"event", "start"}, {"port", port_}, {"command", command}};
  if (!image.empty()) event["image"] = image;
  if (!protocol.empty()) event["protocol"] = protocol;
  emit(out_, event);
}

void JsonEvents::step(const std::string& step, unsigned done, unsigned total) {
  emit(out_, {{"event", "step"}, {"port", port_}, {"step", step}, {"done", done}, {"total", total}});
}

void JsonEvents::progress(unsigned done, unsigned total) {
  const auto now = std::chrono::steady_clock::now();
  const bool allDone = done >= total && !toldAllDone_;
  if (!allDone && now - lastProgress_ < std::chrono::seconds(1)) return;
  toldAllDone_ = toldAllDone_ || done >= total;
  lastProgress_ = now;
  const double share = total ? 100.0 * done / total : 100.0;
  emit(out_, {{"event", "progress"}, {"port", port_}, {"done", done}, {"total", total}, {"percent", share},
              {"seconds", seconds()}});
}

void JsonEvents::answer(const MeterAnswer& answer) {
  const bool refused = answer.verification == Verification::Error;
  // A refused answer's counter and identity are anyone's claim: not told as the meter's.
  nlohmann::json event = {{"event", "answer"}, {"port", port_},
                          {"counter", refused ? nlohmann::json(nullptr) : nlohmann::json(hexNumber(answer.invocationCounter, 8))},
                          {"decrypt", decryptName(answer.verification)}};
  if (answer.identified && !refused) {
    event["manufacturer"] = answer.manufacturer;
    event["id"] = hexNumber(answer.idNumber, 8);
    event["version"] = hexNumber(answer.version, 2);
    event["device_type"] = hexNumber(answer.deviceType, 2);
  }
  if (answer.verification == Verification::Error && answer.decryptCheck != DecryptResult::Ok)
    event["decrypt_check"] = decryptCheckName(answer.decryptCheck);
  if (answer.decoded)
    addFrameReport(event, answer.records, answer.recordBytes.data(), answer.recordBytes.size());
  emit(out_, event);
}

void JsonEvents::result(int exit, long long counter, const std::string& message) {
  nlohmann::json event = {{"event", "result"}, {"port", port_}, {"exit", exit}, {"seconds", seconds()},
                          {"message", message}};
  event["counter"] = counter >= 0 ? nlohmann::json(hexNumber((unsigned long long)counter, 8)) : nlohmann::json(nullptr);
  emit(out_, event);
}
