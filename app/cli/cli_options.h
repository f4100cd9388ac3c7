// The command line of mbus-fwupdate as a pure function: what to run, on which
// port, and the six field texts, every value checked before anything is sent.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "app/front/field_rules.h"

enum class CliCommand { Update, ReqUd2, SndNke, Decode, ListPorts, Help, Version };
enum class CliProtocol { Encrypted, Block, Simple };

enum CliExit {
  EXIT_DONE = 0,
  EXIT_USAGE = 1,
  EXIT_IMAGE = 2,
  EXIT_PORT = 3,
  EXIT_NO_ANSWER = 4,
  EXIT_CANCELLED = 5,
  EXIT_NOT_DECODED = 6,  // --decode: no valid long frame, or a protected one that does not verify
};

struct CliOptions {
  CliCommand command = CliCommand::Update;
  std::vector<std::string> ports;  // -p once or more: one update per port, in parallel
  std::string port;                // the first of them
  std::string image;
  std::string frame;  // --decode: the frame's hex text, from the option or its @FILE
  int baudIndex = 1;  // as the window's list: 0 = 2400, 1 = 9600
  CliProtocol protocol = CliProtocol::Encrypted;
  std::string logPath = "QORFW.log";
  bool quiet = false;
  bool fast = false;  // fast answers: read an answer as soon as it arrives
  bool json = false;  // NDJSON events on stdout, human text on stderr
  std::string keyFile;              // --key-file, read when the key is resolved
  std::string fields[FIELD_COUNT];  // manufacturer, id, version, device type, key, counter
  bool given[FIELD_COUNT] = {};     // by an option, not from a file or default
};

// Where values come from besides the arguments; each is asked for only when a
// field needs it.
struct CliSources {
  // The lines of QORconfig.txt, null when there is none.
  std::function<const std::vector<std::string>*()> config = [] { return nullptr; };
  const char* keyVariable = nullptr;  // MBUS_KEY, null when unset
  // A whole file into text; false when it cannot be read.
  std::function<bool(const std::string& path, std::string& text)> readFile;
};

// args without the program name. Resolves every field (resolveFields) except
// for --decode, which needs them only for a protected frame. False with a
// one-line error.
bool parseCommandLine(const std::vector<std::string>& args, const CliSources& sources, CliOptions& options,
                      std::string& error);
// The fields not given as options: the key from --key, else --key-file, else
// MBUS_KEY, else like the other fields from the config file and then the
// window's defaults; each then checked. Without --counter an update learns it
// from the dongle. keyAndId: only the key and a given --id (--decode).
bool resolveFields(const CliSources& sources, CliOptions& options, std::string& error, bool keyAndId = false);
std::string cliUsage();
// The option names the parser knows, for checking that the usage names each.
std::vector<std::string> cliOptionNames();
