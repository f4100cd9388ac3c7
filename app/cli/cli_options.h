// The command line of mbus-fwupdate as a pure function: what to run, on which
// port, and the six field texts, every value checked before anything is sent.
#pragma once
#include <string>
#include <vector>

enum class CliCommand { Update, ReqUd2, SndNke, Help };
enum class CliProtocol { Encrypted, Block, Simple };

enum CliExit { EXIT_DONE = 0, EXIT_USAGE = 1, EXIT_IMAGE = 2, EXIT_PORT = 3, EXIT_NO_ANSWER = 4, EXIT_CANCELLED = 5 };

constexpr int FIELD_COUNT = 6;  // in the order of Field

struct CliOptions {
  CliCommand command = CliCommand::Update;
  std::string port;
  std::string image;
  int baudIndex = 1;  // as the window's list: 0 = 2400, 1 = 9600
  CliProtocol protocol = CliProtocol::Encrypted;
  std::string logPath = "QORFW.log";
  bool quiet = false;
  bool fast = false;  // fast answers: read an answer as soon as it arrives
  std::string fields[FIELD_COUNT];  // manufacturer, id, version, device type, key, counter
};

// args without the program name. config: the lines of QORconfig.txt, or null
// when there is none; it and then the window's defaults fill the fields not
// given. False with a one-line error.
bool parseCommandLine(const std::vector<std::string>& args, const std::vector<std::string>* config,
                      CliOptions& options, std::string& error);
std::string cliUsage();
