// The command line of mbus-fwupdate as a pure function: what to run, on which
// port, and the six field texts, every value checked before anything is sent.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "app/front/field_rules.h"
#include "app/front/front_texts.h"

enum class CliCommand { Update, ReqUd2, SndNke, Decode, ListPorts, Help, Version };
enum class CliProtocol { Encrypted, Block, Simple };

// The process's exit codes.
enum class CliExit : int {
  Done = 0,
  Usage = 1,
  Image = 2,
  Port = 3,
  NoAnswer = 4,
  Cancelled = 5,
  NotDecoded = 6,   // --decode: no valid long frame, or a protected one that does not verify; --req-ud2: an
                    // answer that does not verify
  NotVerified = 7,  // an update's counter request answered by one that does not verify: key or identification
  File = 8,         // the log or QORconfig.txt refused (a symlink, not one's own, in use), or the log names an input
};
constexpr CliExit EXIT_DONE = CliExit::Done;
constexpr CliExit EXIT_USAGE = CliExit::Usage;
constexpr CliExit EXIT_IMAGE = CliExit::Image;
constexpr CliExit EXIT_PORT = CliExit::Port;
constexpr CliExit EXIT_NO_ANSWER = CliExit::NoAnswer;
constexpr CliExit EXIT_CANCELLED = CliExit::Cancelled;
constexpr CliExit EXIT_NOT_DECODED = CliExit::NotDecoded;
constexpr CliExit EXIT_NOT_VERIFIED = CliExit::NotVerified;
constexpr CliExit EXIT_FILE = CliExit::File;
// As the process ends with it, and as a child's end is read back.
constexpr int exitCode(CliExit exit) { return (int)exit; }

struct CliOptions {
  CliCommand command = CliCommand::Update;
  std::vector<std::string> ports;  // -p once or more: one update per port, in parallel
  std::string port;                // the first of them
  std::string image;
  std::string frame;  // --decode: the frame's hex text, from the option or its @FILE
  int baudIndex = 1;  // as the window's list: 0 = 2400, 1 = 9600
  CliProtocol protocol = CliProtocol::Encrypted;
  std::string logPath = LOG_FILE_NAME;
  bool quiet = false;
  bool fast = false;  // fast answers: read an answer as soon as it arrives
  bool json = false;  // NDJSON events on stdout, human text on stderr
  std::string keyFile;              // --key-file: read when the key is resolved; an input the log must not be
  std::string fields[FIELD_COUNT];  // manufacturer, id, version, device type, key, counter
  bool given[FIELD_COUNT] = {};     // by an option, not from a file or default
};

// Where values come from besides the arguments; each is asked for only when a
// field needs it.
struct CliSources {
  // The lines of QORconfig.txt, null when there is none.
  std::function<const std::vector<std::string>*()> config = [] { return nullptr; };
  const char* keyVariable = nullptr;  // MBUS_KEY, null when unset
  // At most limit bytes of a file into text; false with the reason in text.
  std::function<bool(const std::string& path, size_t limit, std::string& text)> readFile;
};

// args without the program name. Resolves every field (resolveFields) except
// for --decode, which needs them only for a protected frame. Refused with a
// one-line error.
enum class CliParse { Ok, Refused };
[[nodiscard]] CliParse parseCommandLine(const std::vector<std::string>& args, const CliSources& sources, CliOptions& options,
                      std::string& error);
// The fields not given as options: the key from --key, else --key-file, else
// MBUS_KEY, else like the other fields from the config file and then the
// window's defaults; each then checked. Without --counter an update learns it
// from the dongle. keyAndId: only the key and a given --id (--decode).
[[nodiscard]] CliParse resolveFields(const CliSources& sources, CliOptions& options, std::string& error,
                                    bool keyAndId = false);
std::string cliUsage();
// The option names the parser knows, for checking that the usage names each.
std::vector<std::string> cliOptionNames();
