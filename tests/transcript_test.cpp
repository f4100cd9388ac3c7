// Whole console and log transcripts, byte for byte and with the console's
// colours, of requests and of every update protocol against the virtual
// dongle in virtual time: clean lines, a faulty line (lost, corrupted and
// stray answers) and a dongle that falls silent. The references in tests/golden were recorded from a reviewed run;
// the 200-byte images end on a block whose length is 8 mod 16, so a wrong
// rounding of the encrypted length shows. MBUS_RECORD_TRANSCRIPTS=1 rewrites
// the references after a deliberate change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "firmware/firmware_update.h"
#include "interfaces/log_file.h"
#include "tests/support/virtual_line.h"

namespace {

// The first differing line, so a failure shows where, not 60 kB of text.
void expectSameText(const std::string& expected, const std::string& actual, const std::string& what) {
  if (expected == actual) return;
  std::istringstream e(expected), a(actual);
  std::string el, al;
  int line = 1;
  while (std::getline(e, el) && std::getline(a, al) && el == al) ++line;
  ADD_FAILURE() << what << " differs at line " << line << "\n expected: " << el << "\n   actual: " << al;
}

std::string resultText(VirtualLine& line, const std::vector<UpdateResult>& results) {
  std::ostringstream out;
  for (UpdateResult r : results) out << "UpdateResult=" << (int)r << "\n";
  const std::pair<const char*, Field> fields[] = {
      {"Manufacturer", Field::Manufacturer}, {"IdNumber", Field::IdNumber}, {"Version", Field::Version},
      {"DeviceType", Field::DeviceType},     {"Key", Field::Key},           {"Counter", Field::Counter}};
  for (const auto& f : fields) out << f.first << "=" << line.fields.fieldText(f.second) << "\n";
  out << "invocationCounter=" << invocationCounter << "\naccessNumber=" << (unsigned)accessNumber
      << "\nnowUs=" << line.nowUs << "\n";
  return out.str();
}

using Configure = std::function<void(vdongle::DongleConfig&)>;
using Body = std::function<void(VirtualLine&, std::vector<UpdateResult>&)>;

Body update(size_t bytes, std::function<void()> options, bool idleAfter, int runs = 1) {
  return [=](VirtualLine& line, std::vector<UpdateResult>& results) {
    if (options) options();
    line.loadImage(bytes);
    for (int i = 0; i < runs; ++i) {
      results.push_back(runFirmwareUpdate(line.ctx).result);
      if (idleAfter) line.idle();
    }
  };
}

void faulty(vdongle::DongleConfig& c) {
  c.faults.dropAck = 0.2;
  c.faults.corrupt = 0.1;
  c.faults.stray = 0.1;
  c.faults.seed = 7;
}

// Acknowledgements 2.5 s late: some come after the wait gave up, during the next exchange.
void late(vdongle::DongleConfig& c) {
  c.faults.lateAck = 0.5;
  c.faults.seed = 3;
}

Configure silentAfter(int64_t telegrams) {
  return [=](vdongle::DongleConfig& c) { c.faults.silentAfter = telegrams; };
}

void plainBlocks() { setUpdateOption(UpdateOption::Encryption, false); }
void simple() { setUpdateOption(UpdateOption::SimpleProtocol, true); }
void testOptions() {
  setUpdateOption(UpdateOption::SkipBlock15, true);
  setUpdateOption(UpdateOption::DoubleBlock42, true);
}

struct Scenario {
  const char* name;
  Configure configure;
  Body body;
};

const Scenario kScenarios[] = {
    {"req-plain", nullptr,
     [](VirtualLine& line, std::vector<UpdateResult>&) {
       sendSndNke(line.ctx);
       line.idle();
       sendReqUd2(line.ctx);
       line.idle();
     }},
    {"req-protected", [](vdongle::DongleConfig& c) { c.protectAnswers = true; },
     [](VirtualLine& line, std::vector<UpdateResult>&) {
       for (int i = 0; i < 2; ++i) {
         sendReqUd2(line.ctx);
         line.idle();
       }
     }},
    {"enc-1", nullptr, update(1, nullptr, true)},
    {"enc-128", nullptr, update(128, nullptr, true)},
    {"enc-200", nullptr, update(200, nullptr, true)},
    {"enc-6000", nullptr, update(6000, nullptr, true)},
    {"enc-6000-options", nullptr, update(6000, testOptions, false)},
    {"block-200", nullptr, update(200, plainBlocks, false)},
    {"block-700", nullptr, update(700, plainBlocks, false)},
    {"simple-200", nullptr, update(200, simple, false)},
    {"simple-700", nullptr, update(700, simple, false)},
    {"enc-700-faulty", faulty, update(700, nullptr, false)},
    {"block-700-faulty", faulty, update(700, plainBlocks, false)},
    {"simple-700-faulty", faulty, update(700, simple, false)},
    {"enc-700-silent", silentAfter(6), update(700, nullptr, false)},
    {"block-700-silent", silentAfter(6), update(700, plainBlocks, false)},
    {"simple-700-silent", silentAfter(3), update(700, simple, false)},
    {"two-enc-runs", nullptr, update(200, nullptr, false, 2)},
    {"enc-700-late", late, update(700, nullptr, false)},
    {"block-700-late", late, update(700, plainBlocks, false)},
};

TEST(Transcripts, ConsoleLogAndFieldsMatchTheReferenceByteForByte) {
  const std::string golden = std::string(std::getenv("MBUS_SOURCE_DIR")) + "/tests/golden/";
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    const std::string log = std::string(s.name) + ".log";
    ASSERT_EQ(openLogFile(log.c_str()), OwnFileResult::Opened);
    vdongle::DongleConfig config = VirtualLine::dongleConfig();
    if (s.configure) s.configure(config);
    VirtualLine line(config);
    std::vector<UpdateResult> results;
    s.body(line, results);
    closeLogFile();
    if (std::getenv("MBUS_RECORD_TRANSCRIPTS")) {  // after a deliberate change: review the diff
      std::ofstream(golden + s.name + ".console", std::ios::binary) << line.console.text();
      std::ofstream(golden + s.name + ".log", std::ios::binary) << readText(log);
      std::ofstream(golden + s.name + ".result", std::ios::binary) << resultText(line, results);
      std::ofstream(golden + s.name + ".styles", std::ios::binary) << line.console.styles();
      continue;
    }
    expectSameText(readText(golden + s.name + ".console"), line.console.text(), "console");
    expectSameText(readText(golden + s.name + ".log"), readText(log), "log");
    expectSameText(readText(golden + s.name + ".result"), resultText(line, results), "result");
    expectSameText(readText(golden + s.name + ".styles"), line.console.styles(), "console styles");
  }
}

}  // namespace
