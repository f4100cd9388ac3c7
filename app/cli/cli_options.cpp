#include "app/cli/cli_options.h"

#include <cctype>

namespace {

struct FieldRule {
  const char* option;
  const char* name;          // in errors about the config file
  const char* windowDefault;  // the window's start text
  size_t length;
  bool letters;  // A-Z instead of hex digits
};

// The counter never comes from the config file: the window starts it at 1 too.
const FieldRule FIELD_RULES[FIELD_COUNT] = {
    {"--manufacturer", "manufacturer", "BRV", 3, true},
    {"--id", "id", "01020304", 8, false},
    {"--version", "version", "40", 2, false},
    {"--device-type", "device type", "03", 2, false},
    {"--key", "key", "5A17C3E90B4D62F8A1C07E3B9D2F4A68", 32, false},
    {"--counter", "counter", "00000001", 8, false},
};
constexpr int CONFIG_FIELDS = 5;

bool fits(const FieldRule& rule, const std::string& text) {
  if (text.size() != rule.length) return false;
  for (unsigned char c : text)
    if (rule.letters ? !(c >= 'A' && c <= 'Z') : !std::isxdigit(c)) return false;
  return true;
}

std::string ruleText(const FieldRule& rule) {
  return rule.letters ? "must be " + std::to_string(rule.length) + " capital letters"
                      : "must be " + std::to_string(rule.length) + " hex digits";
}

bool takesValue(const std::string& name) {
  for (const FieldRule& rule : FIELD_RULES)
    if (name == rule.option) return true;
  return name == "--port" || name == "--baud" || name == "--protocol" || name == "--log";
}

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, const std::vector<std::string>* config,
                      CliOptions& options, std::string& error) {
  options = CliOptions();
  bool given[FIELD_COUNT] = {};
  std::vector<std::string> images;
  bool request = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // Both long forms, --key=HEX and --key HEX, as scripts write either.
    const size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
    std::string name = arg.substr(0, eq), value;
    if (name == "-p") name = "--port";
    if (name == "-b") name = "--baud";
    if (eq != std::string::npos && takesValue(name)) {
      value = arg.substr(eq + 1);
    } else if (eq == std::string::npos && takesValue(name)) {
      if (i + 1 >= args.size()) return error = arg + " needs a value", false;
      value = args[++i];
    } else {
      name = arg;
    }
    int field = -1;
    for (int f = 0; f < FIELD_COUNT; ++f)
      if (name == FIELD_RULES[f].option) field = f;

    if (name == "--help" || name == "-h") {
      options.command = CliCommand::Help;
      return true;
    } else if (name == "--req-ud2" || name == "--snd-nke") {
      if (request) return error = "--req-ud2 and --snd-nke exclude each other", false;
      request = true;
      options.command = name == "--req-ud2" ? CliCommand::ReqUd2 : CliCommand::SndNke;
    } else if (name == "-q" || name == "--quiet") {
      options.quiet = true;
    } else if (name == "--fast") {
      options.fast = true;
    } else if (field >= 0) {
      options.fields[field] = value;
      given[field] = true;
    } else if (name == "--port") {
      options.port = value;
    } else if (name == "--baud") {
      if (value != "2400" && value != "9600") return error = "--baud must be 2400 or 9600", false;
      options.baudIndex = value == "2400" ? 0 : 1;
    } else if (name == "--protocol") {
      if (value == "encrypted") options.protocol = CliProtocol::Encrypted;
      else if (value == "block") options.protocol = CliProtocol::Block;
      else if (value == "simple") options.protocol = CliProtocol::Simple;
      else return error = "--protocol must be encrypted, block or simple", false;
    } else if (name == "--log") {
      options.logPath = value;
    } else if (name.size() > 1 && name[0] == '-') {
      return error = "unknown option " + arg, false;
    } else {
      images.push_back(arg);
    }
  }
  if (options.port.empty()) return error = "--port is required", false;
  if (options.logPath.empty()) return error = "--log needs a file name", false;
  if (options.command == CliCommand::Update && images.empty()) return error = "no firmware image given", false;
  if (options.command != CliCommand::Update && !images.empty())
    return error = "a request takes no image: " + images[0], false;
  if (images.size() > 1) return error = "one image at a time: " + images[1], false;
  if (!images.empty()) options.image = images[0];

  for (int f = 0; f < FIELD_COUNT; ++f) {
    const FieldRule& rule = FIELD_RULES[f];
    const bool fromConfig = !given[f] && config && f < CONFIG_FIELDS;
    if (!given[f]) options.fields[f] = fromConfig ? (f < (int)config->size() ? (*config)[f] : "") : rule.windowDefault;
    if (fits(rule, options.fields[f])) continue;
    error = fromConfig ? "QORconfig.txt line " + std::to_string(f + 1) + ": " + rule.name + " " + ruleText(rule)
                       : std::string(rule.option) + " " + ruleText(rule);
    return false;
  }
  return true;
}

std::string cliUsage() {
  return "usage: mbus-fwupdate [options] IMAGE.cfw   update the dongle on --port with IMAGE\n"
         "       mbus-fwupdate --req-ud2 [options]   send REQ_UD2, print the answer decoded\n"
         "       mbus-fwupdate --snd-nke [options]   send SND_NKE, report the acknowledgement\n"
         "  -p, --port PATH         serial port (required)\n"
         "  -b, --baud 2400|9600    line speed (9600)\n"
         "  --protocol encrypted|block|simple   update protocol (encrypted)\n"
         "  --manufacturer ABC  --id HEX8  --version HEX2  --device-type HEX2\n"
         "  --key HEX32  --counter HEX8\n"
         "                          meter identity, key and first invocation counter; the first\n"
         "                          five default to QORconfig.txt in this folder when present,\n"
         "                          else BRV 01020304 40 03 5A17C3E90B4D62F8A1C07E3B9D2F4A68;\n"
         "                          the counter to 00000001\n"
         "  --log FILE              log of the session (QORFW.log)\n"
         "  --fast                  fast answers: read each answer as it arrives\n"
         "  -q, --quiet             no progress bar\n"
         "  -h, --help              this text\n"
         "A request waits 5 s for its answer. After an update the next counter is printed\n"
         "as 'counter: HEX8', for --counter of the next run.\n"
         "exit codes: 0 done, 1 usage, 2 firmware file, 3 serial port, 4 no answer from the\n"
         "dongle, 5 cancelled (SIGINT or SIGTERM)\n";
}
