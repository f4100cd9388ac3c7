#include "app/cli/cli_options.h"

#include "app/cli/working_files.h"
#include "app/front/config_file.h"
#include "app/front/front_texts.h"

namespace {

bool takesValue(const std::string& name) {
  for (int f = 0; f < FIELD_COUNT; ++f)
    if (name == fieldRule((Field)f).option) return true;
  return name == "--port" || name == "--baud" || name == "--protocol" || name == "--log" || name == "--key-file" ||
         name == "--decode";
}

// A key file holds the digits on its first line; editors add a line end.
std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line;
}

}  // namespace

CliParse parseCommandLine(const std::vector<std::string>& args, const CliSources& sources, CliOptions& options,
                      std::string& error) {
  options = CliOptions();
  bool* given = options.given;
  std::string keyFile;
  std::vector<std::string> images;
  bool request = false, logGiven = false;
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
      if (i + 1 >= args.size()) return error = arg + " needs a value", CliParse::Refused;
      value = args[++i];
    } else {
      name = arg;
    }
    int field = -1;
    for (int f = 0; f < FIELD_COUNT; ++f)
      if (name == fieldRule((Field)f).option) field = f;

    if (name == "--help" || name == "-h") {
      options.command = CliCommand::Help;
      return CliParse::Ok;
    } else if (name == "--req-ud2" || name == "--snd-nke" || name == "--decode") {
      if (request) return error = "--req-ud2, --snd-nke and --decode exclude each other", CliParse::Refused;
      request = true;
      options.command = name == "--req-ud2" ? CliCommand::ReqUd2 : name == "--snd-nke" ? CliCommand::SndNke : CliCommand::Decode;
      options.frame = value;
      if (!value.empty() && value[0] == '@' &&
          (!sources.readFile || !sources.readFile(value.substr(1), FRAME_TEXT_LIMIT, options.frame)))
        return error = "--decode " + value + ": " + options.frame, CliParse::Refused;
    } else if (name == "-q" || name == "--quiet") {
      options.quiet = true;
    } else if (name == "--fast") {
      options.fast = true;
    } else if (name == "--json") {
      options.json = true;
    } else if (field >= 0) {
      options.fields[field] = value;
      given[field] = true;
    } else if (name == "--key-file") {
      keyFile = value;
      options.keyFile = value;
    } else if (name == "--port") {
      if (value.empty()) return error = "--port needs a value", CliParse::Refused;
      for (const std::string& port : options.ports)
        if (port == value) return error = "port " + value + " given twice", CliParse::Refused;
      options.ports.push_back(value);
    } else if (name == "--baud") {
      if (value != "2400" && value != "9600") return error = "--baud must be 2400 or 9600", CliParse::Refused;
      options.baudIndex = value == "2400" ? 0 : 1;
    } else if (name == "--protocol") {
      if (value == "encrypted") options.protocol = CliProtocol::Encrypted;
      else if (value == "block") options.protocol = CliProtocol::Block;
      else if (value == "simple") options.protocol = CliProtocol::Simple;
      else return error = "--protocol must be encrypted, block or simple", CliParse::Refused;
    } else if (name == "--log") {
      options.logPath = value;
      logGiven = true;
    } else if (name.size() > 1 && name[0] == '-') {
      return error = "unknown option " + arg, CliParse::Refused;
    } else {
      images.push_back(arg);
    }
  }
  if (options.command == CliCommand::Decode && !options.ports.empty()) return error = "--decode opens no port", CliParse::Refused;
  if (options.command == CliCommand::Decode && !images.empty()) return error = "--decode takes no image: " + images[0], CliParse::Refused;
  if (options.ports.empty() && options.command != CliCommand::Decode) return error = "--port is required", CliParse::Refused;
  if (!options.ports.empty()) options.port = options.ports[0];
  if (options.ports.size() > 1 && options.command != CliCommand::Update)
    return error = "a request goes to one port at a time", CliParse::Refused;
  if (options.ports.size() > 1 && logGiven)
    return error = "--log names one file; with several ports each gets QORFW-<port>.log", CliParse::Refused;
  if (options.logPath.empty()) return error = "--log needs a file name", CliParse::Refused;
  if (options.command == CliCommand::Update && images.empty()) return error = "no firmware image given", CliParse::Refused;
  if (options.command != CliCommand::Update && !images.empty())
    return error = "a request takes no image: " + images[0], CliParse::Refused;
  if (images.size() > 1) return error = "one image at a time: " + images[1], CliParse::Refused;
  if (!images.empty()) options.image = images[0];

  const int key = (int)Field::Key;
  std::string keySource;  // how a refused key is named
  if (!given[key] && !keyFile.empty()) {
    std::string text;
    if (!sources.readFile || !sources.readFile(keyFile, KEY_FILE_LIMIT, text))
      return error = "--key-file " + keyFile + ": " + text, CliParse::Refused;
    options.fields[key] = firstLine(text);
    given[key] = true;
    keySource = "--key-file " + keyFile + ":";
  } else if (!given[key] && sources.keyVariable) {
    options.fields[key] = sources.keyVariable;
    given[key] = true;
    keySource = "MBUS_KEY";
  }
  for (int f = 0; f < FIELD_COUNT; ++f) {
    const Field field = (Field)f;
    const bool fromConfig = !given[f] && sources.config && f < CONFIG_FIELD_COUNT;
    if (!given[f]) options.fields[f] = startFieldText(field, sources.config);
    if (checkFieldText(field, options.fields[f]) == FieldCheck::Ok) continue;
    // The key itself is never repeated in the message.
    if (fromConfig)
      error = std::string(CONFIG_FILE_NAME) + " line " + std::to_string(f + 1) + ": " + fieldRule(field).name + " " + fieldRuleText(field);
    else
      error = (f == key && !keySource.empty() ? keySource : fieldRule(field).option) + std::string(" ") + fieldRuleText(field);
    return CliParse::Refused;
  }
  return CliParse::Ok;
}

std::string cliUsage() {
  // The defaults as the fields' rules hold them, the file names as their owners do.
  auto start = [](Field f) { return std::string(fieldRule(f).defaultText); };
  const std::string config = CONFIG_FILE_NAME;
  return "usage: mbus-fwupdate [options] IMAGE.cfw   update the dongle on --port with IMAGE\n"
         "       mbus-fwupdate --req-ud2 [options]   send REQ_UD2, print the answer decoded\n"
         "       mbus-fwupdate --snd-nke [options]   send SND_NKE, report the acknowledgement\n"
         "       mbus-fwupdate --decode FRAME [--key HEX32] [--id HEX8] [--json]\n"
         "                          decode a long frame offline, no port: FRAME is its hex\n"
         "                          (blanks and line breaks allowed) or @FILE holding it; a\n"
         "                          protected one (CI 90) is decrypted with the key and --id,\n"
         "                          else the frame's own identification\n"
         "  -p, --port PATH         serial port (required); give it again for more dongles:\n"
         "                          each port is updated in parallel, logs to QORFW-<port>.log,\n"
         "                          and a summary table ends the run\n"
         "  -b, --baud 2400|9600    line speed (9600)\n"
         "  --protocol encrypted|block|simple   update protocol (encrypted)\n"
         "  --manufacturer ABC  --id HEX8  --version HEX2  --device-type HEX2  --counter HEX8\n"
         "                          meter identity and first invocation counter; the first\n"
         "                          four default to " + config + " in this folder when present,\n"
         "                          else " + start(Field::Manufacturer) + " " + start(Field::IdNumber) + " " +
         start(Field::Version) + " " + start(Field::DeviceType) + ". Without --counter an encrypted\n"
         "                          update starts with REQ_UD2 and takes the counter (and\n"
         "                          the identity not given here) from the dongle's answer\n"
         "  --key-file FILE         communication key: 32 hex digits on the file's first line\n"
         "  MBUS_KEY=HEX32          the same from the environment, when --key-file is not given\n"
         "  --key HEX32             the same on the command line, where every user of this\n"
         "                          machine can read it (ps) while the update runs\n"
         "                          Without any of them: " + config + " line " + std::to_string((int)Field::Key + 1) +
         ", else\n"
         "                          " + start(Field::Key) + "\n"
         "  --log FILE              log (" + LOG_FILE_NAME + "), appended to: each run adds a header line\n"
         "                          (UTC time, version, port, what was asked), then its text;\n"
         "                          it alone shows the key, never the terminal\n"
         "  --fast                  fast answers: read each answer as it arrives\n"
         "  --json                  one JSON object per event on stdout (see README);\n"
         "                          human text goes to stderr; with --decode one object\n"
         "                          for the frame: header fields, records, end\n"
         "  -q, --quiet             no progress bar\n"
         "  -h, --help              this text\n"
         "A request waits 5 s for its answer. After an update the next counter is printed\n"
         "as 'counter: HEX8', for --counter of the next run.\n"
         "exit codes: 0 done, 1 usage, 2 firmware file, 3 serial port, 4 no answer from the\n"
         "dongle, 5 cancelled (SIGINT, SIGTERM or SIGHUP); with several ports the largest\n"
         "of theirs; 6 --decode: not a valid long frame, or a protected one that does not\n"
         "verify, --req-ud2: an answer that does not verify; 7 the counter request's answer\n"
         "does not verify (wrong key or identification); 8 the log or QORconfig.txt is\n"
         "refused (a symlink, not your own, in use by another run) or names an input\n";
}
