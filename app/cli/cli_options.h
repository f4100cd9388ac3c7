// The command line of mbus-fwupdate as a pure function: what to run, on which
// port, and the six field texts, every value checked before anything is sent.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "app/front/field_rules.h"

enum class CliCommand { Update, ReqUd2, SndNke, Decode, Help };
enum class CliProtocol { Encrypted, Block, Simple };

enum CliExit {
  EXIT_DONE = 0,
  EXIT_USAGE = 1,
  EXIT_IMAGE = 2,
  EXIT_PORT = 3,
  EXIT_NO_ANSWER = 4,
  EXIT_CANCELLED = 5,
  EXIT_NOT_DECODED = 6,  // --decode: no valid long frame, or a protected one that does not verify; --req-ud2: an
                         // answer that does not verify
  EXIT_NOT_VERIFIED = 7,  // an update's counter request answered by one that does not verify: key or identification
  EXIT_FILE = 8,          // the log or QORconfig.txt refused (a symlink, not one's own, in use), or the log names an input
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
  std::string keyFile;  // --key-file, an input the log must not be
  bool quiet = false;
  bool fast = false;  // fast answers: read an answer as soon as it arrives
  bool json = false;  // NDJSON events on stdout, human text on stderr
  std::string fields[FIELD_COUNT];  // manufacturer, id, version, device type, key, counter
  bool given[FIELD_COUNT] = {};     // by an option, not from a file or default
};

// Where values come from besides the arguments.
struct CliSources {
  const std::vector<std::string>* config = nullptr;  // the lines of QORconfig.txt, null when none
  const char* keyVariable = nullptr;                 // MBUS_KEY, null when unset
  // At most limit bytes of a file into text; false with the reason in text.
  std::function<bool(const std::string& path, size_t limit, std::string& text)> readFile;
};

// args without the program name. The key comes from --key, else --key-file,
// else MBUS_KEY, else like the other fields from the config file and then the
// window's defaults. Without --counter an update learns it from the dongle.
// False with a one-line error.
bool parseCommandLine(const std::vector<std::string>& args, const CliSources& sources, CliOptions& options,
                      std::string& error);
std::string cliUsage();
