// mbus-fwupdate: the window's firmware update, SND_NKE and REQ_UD2 for a
// terminal or a script, with the window's core, telegrams and log.
#ifndef _WIN32
#include <poll.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/cli/cli_options.h"
#include "app/cli/terminal_front.h"
#include "app/config_file.h"
#include "app/front/front_texts.h"
#include "commands/answer_wait.h"
#include "commands/identity_fields.h"
#include "commands/meter_answers.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"
#include "interfaces/log_file.h"
#include "link/connection.h"

namespace {

const char* const CONFIG_FILE = "QORconfig.txt";
constexpr int REQUEST_BUDGET = 2500;  // polls of 2 ms: 5 s at least

int fail(int code, const std::string& text) {
  std::fprintf(stderr, "mbus-fwupdate: %s\n", text.c_str());
  return code;
}

bool readWholeFile(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream all;
  all << file.rdbuf();
  text = all.str();
  return !file.bad();
}

// Before the log is emptied or the port opened: a script must never get a
// partial update, nor an empty one.
std::string imageError(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return path + ": " + std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return path + " is a folder";
  if (info.st_size == 0) return path + " is empty";
  if (!fitsDongle((unsigned long long)info.st_size)) return imageTooLargeText(path, (unsigned long long)info.st_size);
  return "";
}

void chooseProtocol(CliProtocol protocol) {
  setUpdateOption(UpdateOption::Encryption, protocol == CliProtocol::Encrypted);
  setUpdateOption(UpdateOption::SimpleProtocol, protocol == CliProtocol::Simple);
}

int runUpdate(ToolContext& ctx) {
  if (stopRequested) return fail(EXIT_CANCELLED, "cancelled before the update started");
  const UpdateOutcome outcome = runFirmwareUpdate(ctx);
  std::printf("counter: %08X\n", (unsigned)outcome.counter);
  switch (outcome.result) {
    case UpdateResult::Finished:
      std::printf("%s\n", outcome.line.c_str());
      return EXIT_DONE;
    case UpdateResult::NoFirmware: return fail(EXIT_IMAGE, "no firmware loaded");
    case UpdateResult::Cancelled: return fail(EXIT_CANCELLED, outcome.line);
    case UpdateResult::NoAnswer: return fail(EXIT_NO_ANSWER, outcome.line);
    case UpdateResult::PortLost: return fail(EXIT_PORT, outcome.line);
    case UpdateResult::NotConnected: break;
  }
  ctx.out.outputText("Serial not connected.\n", STYLE_SENT);
  return fail(EXIT_PORT, "serial not connected");
}

// One request, its answer shown as the window's timer would show it.
int runRequest(ToolContext& ctx, CliCommand command, TerminalConsole& console, const CliOptions& options) {
  AnswerValues answer;
  ctx.answer = &answer;
  console.echoTo(stdout);
  const WaitOutcome outcome =
      requestAndWait(ctx, command == CliCommand::SndNke ? LinkRequest::SndNke : LinkRequest::ReqUd2, REQUEST_BUDGET);
  console.echoTo(nullptr);
  std::fflush(stdout);
  ctx.answer = nullptr;
  switch (outcome) {
    case WaitOutcome::Raised: break;
    case WaitOutcome::PortLost: return fail(EXIT_PORT, "Serial port " + options.port + " lost.");
    case WaitOutcome::Cancelled: return fail(EXIT_CANCELLED, "cancelled");
    case WaitOutcome::Expired: return fail(EXIT_NO_ANSWER, "no answer from the dongle within 5 s");
  }
  if (command == CliCommand::ReqUd2 && answer.answered) {
    // Without an identity in the answer the one given still stands.
    const bool named = answer.identified && answer.manufacturer[0];
    std::printf("manufacturer: %s\n", named ? answer.manufacturer : options.fields[(int)Field::Manufacturer].c_str());
    if (answer.identified)
      std::printf("id: %08X\nversion: %02X\ndevice type: %02X\n", (unsigned)answer.idNumber, answer.version,
                  answer.deviceType);
    else
      std::printf("id: %s\nversion: %s\ndevice type: %s\n", options.fields[(int)Field::IdNumber].c_str(),
                  options.fields[(int)Field::Version].c_str(), options.fields[(int)Field::DeviceType].c_str());
    std::printf("counter: %08X\n", (unsigned)answer.counter);
  }
  return EXIT_DONE;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::string> config;
  if (readConfigFile(CONFIG_FILE))
    for (int i = 0; i < CONFIG_LINE_COUNT; ++i) config.push_back(configLines[i]);
  CliSources sources;
  sources.config = configLoaded ? &config : nullptr;
  sources.keyVariable = std::getenv("MBUS_KEY");
  sources.readFile = readWholeFile;
  CliOptions options;
  std::string error;
  if (!parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), sources, options, error))
    return fail(EXIT_USAGE, error + " (see --help)");
  if (options.command == CliCommand::Help) {
    std::printf("%s", cliUsage().c_str());
    return EXIT_DONE;
  }
  if (options.command == CliCommand::Update) {
    const std::string imageProblem = imageError(options.image);
    if (!imageProblem.empty()) return fail(EXIT_IMAGE, imageProblem);
  }
  installStopHandlers();

  if (!openLogFile(options.logPath.c_str()))
    std::fprintf(stderr, "mbus-fwupdate: Log file %s could not be created; output is shown in the console only.\n",
                 options.logPath.c_str());
  TerminalConsole console;
  Output out(&console);
  FieldTexts fields;
  for (int f = 0; f < FIELD_COUNT; ++f) fields.setFieldText((Field)f, options.fields[f]);
  // A protected answer decrypts with the identity and key given, as in the window.
  resetIdentityStores();
  readIdentityFields(fields);
  Connection link(createSerialPort(), out, fields);
  ToolContext* context = nullptr;
  TerminalPump pump([&] { receiveAnswers(*context); });
  setUpdateOption(UpdateOption::FastAnswers, options.fast);
#ifndef _WIN32
  if (options.fast)
    pump.watch([&] {
      pollfd p{(int)link.serialHandle().waitHandle(), POLLIN, 0};
      return link.connected() && poll(&p, 1, 0) > 0;
    });
#endif
  FILE* bar = options.quiet ? nullptr : isatty(2) ? stderr : isatty(1) ? stdout : nullptr;
  TerminalProgress progress(bar, stdout);
  ToolContext ctx{out, fields, link, pump, &progress};
  context = &ctx;

  int code = EXIT_DONE;
  unsigned long long size = 0;
  if (options.command == CliCommand::Update) {
    const LoadResult loaded = loadFirmwareFile(options.image.c_str(), out, &size);
    if (loaded == LoadResult::TooLarge) code = fail(EXIT_IMAGE, imageTooLargeText(options.image, size));
    if (loaded == LoadResult::CannotOpen) {
      out.outputText("Error opening firmware file.\n", STYLE_SENT);
      code = fail(EXIT_IMAGE, "cannot read " + options.image);
    }
  }
  if (code == EXIT_DONE) {
    const SerialOpenResult opened = link.connect(options.port, options.baudIndex);
    if (opened != SerialOpenResult::Ok) {
      code = fail(EXIT_PORT, serialErrorReason(opened, options.port));
    } else if (options.command == CliCommand::Update) {
      chooseProtocol(options.protocol);
      code = runUpdate(ctx);
    } else {
      code = runRequest(ctx, options.command, console, options);
    }
  }
  link.disconnect();
  closeLogFile();
  return code;
}
