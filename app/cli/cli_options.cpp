#include "app/cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>

#include "app/cli/working_files.h"
#include "app/front/config_file.h"
#include "app/front/front_texts.h"

namespace {

// What CLI11 collects, before our own checks give it meaning.
struct RawArgs {
  bool help = false, version = false, listPorts = false, reqUd2 = false, sndNke = false, quiet = false, fast = false, json = false;
  std::vector<std::string> ports, images;
  std::string baud, protocol, log, keyFile, decode;
  std::string fields[FIELD_COUNT];
};

void describe(CLI::App& app, RawArgs& raw) {
  app.set_help_flag();  // our own -h, with the usage text below
  app.allow_extras();   // an unknown option is told in our words
  // As before: an option given twice keeps its last value.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  // A flag takes no value: "--json=false" is refused, not read as false.
  auto flag = [&app](const char* names, bool& value) { app.add_flag(names, value)->disable_flag_override(); };
  flag("-h,--help", raw.help);
  flag("-V,--version", raw.version);
  flag("--list-ports", raw.listPorts);
  // One value an occurrence: "-p P IMAGE" must not take IMAGE for a port.
  app.add_option("-p,--port", raw.ports)->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_option("-b,--baud", raw.baud);
  app.add_option("--protocol", raw.protocol);
  for (int f = 0; f < FIELD_COUNT; ++f) app.add_option(fieldRule((Field)f).option, raw.fields[f]);
  app.add_option("--key-file", raw.keyFile);
  app.add_option("--log", raw.log);
  flag("--req-ud2", raw.reqUd2);
  flag("--snd-nke", raw.sndNke);
  app.add_option("--decode", raw.decode);
  flag("-q,--quiet", raw.quiet);
  flag("--fast", raw.fast);
  flag("--json", raw.json);
  app.add_option("image", raw.images);
}

// A key file holds the digits on its first line; editors add a line end.
std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line;
}

// CLI11's refusals in the words this program has always used.
std::string parseError(const CLI::ParseError& e) {
  const std::string what = e.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && what.find(" missing") != std::string::npos)
    return what.substr(0, what.find(':')) + " needs a value";
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && what.find(" flag override") != std::string::npos)
    return "--" + what.substr(0, what.find(' ')) + " takes no value";  // CLI11 names it without its dashes
  return what;
}

}  // namespace

CliParse parseCommandLine(const std::vector<std::string>& args, const CliSources& sources, CliOptions& options,
                      std::string& error) {
  options = CliOptions();
  CLI::App app("mbus-fwupdate");
  RawArgs raw;
  describe(app, raw);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    return error = parseError(e), CliParse::Refused;
  }
  if (raw.help || raw.version) {
    options.command = raw.help ? CliCommand::Help : CliCommand::Version;
    return CliParse::Ok;
  }
  for (const std::string& extra : app.remaining())
    if (extra.size() > 1 && extra[0] == '-') return error = "unknown option " + extra, CliParse::Refused;
  if (raw.listPorts) {
    options.command = CliCommand::ListPorts;
    return CliParse::Ok;
  }

  const bool decode = app.count("--decode") > 0;
  if (raw.reqUd2 + raw.sndNke + decode > 1) return error = "--req-ud2, --snd-nke and --decode exclude each other", CliParse::Refused;
  options.command = raw.reqUd2 ? CliCommand::ReqUd2 : raw.sndNke ? CliCommand::SndNke : decode ? CliCommand::Decode
                                                                                            : CliCommand::Update;
  options.frame = raw.decode;
  if (!raw.decode.empty() && raw.decode[0] == '@' &&
      (!sources.readFile || !sources.readFile(raw.decode.substr(1), FRAME_TEXT_LIMIT, options.frame)))
    return error = "--decode " + raw.decode + ": " + options.frame, CliParse::Refused;
  options.quiet = raw.quiet;
  options.fast = raw.fast;
  options.json = raw.json;
  for (int f = 0; f < FIELD_COUNT; ++f) {
    options.given[f] = app.count(fieldRule((Field)f).option) > 0;
    options.fields[f] = raw.fields[f];
  }
  options.keyFile = raw.keyFile;
  for (const std::string& port : raw.ports) {
    if (port.empty()) return error = "--port needs a value", CliParse::Refused;
    if (std::count(options.ports.begin(), options.ports.end(), port)) return error = "port " + port + " given twice", CliParse::Refused;
    options.ports.push_back(port);
  }
  if (app.count("--baud")) {
    if (raw.baud != "2400" && raw.baud != "9600") return error = "--baud must be 2400 or 9600", CliParse::Refused;
    options.baudIndex = raw.baud == "2400" ? 0 : 1;
  }
  if (app.count("--protocol")) {
    if (raw.protocol == "encrypted") options.protocol = CliProtocol::Encrypted;
    else if (raw.protocol == "block") options.protocol = CliProtocol::Block;
    else if (raw.protocol == "simple") options.protocol = CliProtocol::Simple;
    else return error = "--protocol must be encrypted, block or simple", CliParse::Refused;
  }
  const bool logGiven = app.count("--log") > 0;
  if (logGiven) options.logPath = raw.log;

  const std::vector<std::string>& images = raw.images;
  if (decode && !options.ports.empty()) return error = "--decode opens no port", CliParse::Refused;
  if (decode && !images.empty()) return error = "--decode takes no image: " + images[0], CliParse::Refused;
  if (options.ports.empty() && !decode) return error = "--port is required", CliParse::Refused;
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
  return decode ? CliParse::Ok : resolveFields(sources, options, error);
}

CliParse resolveFields(const CliSources& sources, CliOptions& options, std::string& error, bool keyAndId) {
  bool* given = options.given;
  const int key = (int)Field::Key;
  std::string keySource;  // how a refused key is named
  if (!given[key] && !options.keyFile.empty()) {
    std::string text;
    if (!sources.readFile || !sources.readFile(options.keyFile, KEY_FILE_LIMIT, text))
      return error = "--key-file " + options.keyFile + ": " + text, CliParse::Refused;
    options.fields[key] = firstLine(text);
    given[key] = true;
    keySource = "--key-file " + options.keyFile + ":";
  } else if (!given[key] && sources.keyVariable) {
    options.fields[key] = sources.keyVariable;
    given[key] = true;
    keySource = "MBUS_KEY";
  }
  for (int f = 0; f < FIELD_COUNT; ++f) {
    const Field field = (Field)f;
    if (keyAndId && f != key && !(f == (int)Field::IdNumber && given[f])) continue;
    const std::vector<std::string>* config = given[f] || f >= CONFIG_FIELD_COUNT ? nullptr : sources.config();
    if (!given[f]) options.fields[f] = startFieldText(field, config);
    if (checkFieldText(field, options.fields[f]) == FieldCheck::Ok) continue;
    // The key itself is never repeated in the message.
    if (config)
      error = std::string(CONFIG_FILE_NAME) + " line " + std::to_string(f + 1) + ": " + fieldRule(field).name + " " + fieldRuleText(field);
    else
      error = (f == key && !keySource.empty() ? keySource : fieldRule(field).option) + std::string(" ") + fieldRuleText(field);
    return CliParse::Refused;
  }
  return CliParse::Ok;
}

std::vector<std::string> cliOptionNames() {
  CLI::App app;
  RawArgs raw;
  describe(app, raw);
  std::vector<std::string> names;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& s : option->get_snames()) names.push_back("-" + s);
    for (const std::string& l : option->get_lnames()) names.push_back("--" + l);
  }
  return names;
}

std::string cliUsage() {
  // The defaults as the fields' rules hold them, the file names as their owners do.
  auto start = [](Field f) { return std::string(fieldRule(f).defaultText); };
  const std::string config = CONFIG_FILE_NAME, log = LOG_FILE_NAME;
  return "Usage: mbus-fwupdate -p PORT [options] IMAGE.cfw\n"
         "  or:  mbus-fwupdate -p PORT --req-ud2 [options]\n"
         "  or:  mbus-fwupdate -p PORT --snd-nke [options]\n"
         "  or:  mbus-fwupdate --decode FRAME|@FILE [--key HEX32] [--id HEX8] [--json]\n"
         "Update the firmware of the M-Bus dongle on PORT with IMAGE; send it REQ_UD2 and\n"
         "print the answer decoded, or SND_NKE and report the acknowledgement; or decode\n"
         "a long frame offline, with no port: FRAME is its hex (blanks and line breaks\n"
         "allowed) or @FILE holding it; a protected one (CI 90) is decrypted with the key\n"
         "and --id, else the frame's own identification.\n"
         "\n"
         "Options:\n"
         "  -p, --port PATH         serial port (required); give it again for more dongles:\n"
         "                          each port is updated in parallel, logs to\n"
         "                          QORFW-<port>.log, and a summary table ends the run\n"
         "  -b, --baud 2400|9600    line speed (9600)\n"
         "  --protocol encrypted|block|simple\n"
         "                          update protocol (encrypted)\n"
         "  --manufacturer ABC      meter manufacturer, 3 capital letters (" + start(Field::Manufacturer) + ")\n"
         "  --id HEX8               meter identification number (" + start(Field::IdNumber) + ")\n"
         "  --meter-version HEX2    meter version (" + start(Field::Version) + ")\n"
         "  --device-type HEX2      meter device type (" + start(Field::DeviceType) + "); these four default to\n"
         "                          " + config + " in this folder when present, else to\n"
         "                          the values shown\n"
         "  --counter HEX8          first invocation counter of an encrypted update;\n"
         "                          without it the update starts with REQ_UD2 and takes\n"
         "                          the counter (and the identity not given here) from\n"
         "                          the dongle's answer\n"
         "  --key-file FILE         communication key: 32 hex digits on the file's first\n"
         "                          line; else from the environment, MBUS_KEY=HEX32\n"
         "  --key HEX32             the same on the command line, where every user of\n"
         "                          this machine can read it (ps) while the update runs;\n"
         "                          without any of them: " + config + " line 5, else\n"
         "                          " + start(Field::Key) + "\n"
         "  --log FILE              log (" + log + "), appended to: each run adds a header line\n"
         "                          (UTC time, version, port, what was asked), then its text;\n"
         "                          it alone shows the key, never the terminal\n"
         "  --fast                  fast answers: read each answer as it arrives\n"
         "  --json                  one JSON object per event on stdout (start, step,\n"
         "                          progress, answer, result: see the manual page);\n"
         "                          human text goes to stderr; with --decode one object\n"
         "                          for the frame: header fields, records, end\n"
         "  -q, --quiet             no progress bar\n"
         "  --list-ports            the serial port list, one name a line, as the window\n"
         "                          shows it (with MBUS_FWTOOL_PORTS)\n"
         "  -h, --help              this text\n"
         "  -V, --version           the program's name and version\n"
         "\n"
         "A request waits 5 s for its answer. After an encrypted update or a --req-ud2\n"
         "the counter where the next update starts is printed once, as --counter HEX8.\n"
         "Without a progress bar or --json a wait of the update says every 10 s what it\n"
         "waits for. A command or report of the update waits 22 s a send and gives up\n"
         "after 5 sends (110 s); a chunk or an unencrypted block 2 s and 10 sends (20 s);\n"
         "an encrypted block 8 s and 5 sends (40 s).\n"
         "\n"
         "Exit status:\n"
         "  0 done, 1 usage, 2 firmware file, 3 serial port, 4 no answer from the dongle,\n"
         "  5 cancelled (SIGINT, SIGTERM or SIGHUP), 6 --decode: not a valid long frame,\n"
         "  or a protected one that does not verify, --req-ud2: an answer that does not\n"
         "  verify; 7 the counter request's answer does not verify (wrong key or\n"
         "  identification); 8 the log or " + config + " is refused (a symlink, not your\n"
         "  own, in use by another run) or the log names an input; with several ports the\n"
         "  largest of theirs.\n";
}
