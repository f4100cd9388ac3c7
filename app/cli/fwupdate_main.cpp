// mbus-fwupdate: the window's firmware update, SND_NKE and REQ_UD2 for a
// terminal or a script, with the window's core, telegrams and log.
#ifndef _WIN32
#include <poll.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/cli/cli_options.h"
#include "app/cli/terminal_front.h"
#include "app/config_file.h"
#include "commands/identity_fields.h"
#include "commands/link_requests.h"
#include "commands/meter_answers.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"
#include "interfaces/log_file.h"
#include "link/answer_reception.h"
#include "link/connection.h"

namespace {

const char* const CONFIG_FILE = "QORconfig.txt";
constexpr int REQUEST_WAIT_MS = 5000;

int fail(int code, const std::string& text) {
  std::fprintf(stderr, "mbus-fwupdate: %s\n", text.c_str());
  return code;
}

std::string serialErrorText(SerialOpenResult result, const std::string& port) {
  switch (result) {
    case SerialOpenResult::Ok: break;
    case SerialOpenResult::NoPortSelected: return "no serial port given";
    case SerialOpenResult::NotFound: return "serial port " + port + " not found";
    case SerialOpenResult::OpenFailed: return "error opening serial port " + port + " (in use, or no permission)";
    case SerialOpenResult::GetParamsFailed: return "error getting serial parameters of " + port;
    case SerialOpenResult::SetParamsFailed: return "error setting serial parameters of " + port;
    case SerialOpenResult::SetTimeoutsFailed: return "error setting timeouts of " + port;
  }
  return "";
}

// The window cuts a longer image to what the dongle holds; a script must
// never get such a partial update.
std::string imageError(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return path + ": " + std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return path + " is a folder";
  if (info.st_size == 0) return path + " is empty";
  if (info.st_size > (off_t)FIRMWARE_CAPACITY)
    return path + " has " + std::to_string((long long)info.st_size) + " bytes; a dongle takes at most " +
           std::to_string(FIRMWARE_CAPACITY);
  return "";
}

void chooseProtocol(CliProtocol protocol) {
  setUpdateOption(UpdateOption::Encryption, protocol == CliProtocol::Encrypted);
  setUpdateOption(UpdateOption::SimpleProtocol, protocol == CliProtocol::Simple);
}

int runUpdate(ToolContext& ctx, TerminalConsole& console) {
  if (stopRequested) return fail(EXIT_CANCELLED, "cancelled before the update started");
  const UpdateResult result = runFirmwareUpdate(ctx);
  std::printf("counter: %s\n", ctx.fields.fieldText(Field::Counter).c_str());
  switch (result) {
    case UpdateResult::Finished:
      std::printf("%s\n", console.lastLine().c_str());
      return EXIT_DONE;
    case UpdateResult::NoFirmware: return fail(EXIT_IMAGE, "no firmware loaded");
    case UpdateResult::Cancelled: return fail(EXIT_CANCELLED, console.lastLine());
    case UpdateResult::NoAnswer: return fail(EXIT_NO_ANSWER, console.lastLine());
    case UpdateResult::PortLost: return fail(EXIT_PORT, console.lastLine());
    case UpdateResult::NotConnected: break;
  }
  ctx.out.outputText("Serial not connected.\n", STYLE_SENT);
  return fail(EXIT_PORT, "serial not connected");
}

// One request, its answer awaited like the window's timer would show it.
int runRequest(ToolContext& ctx, CliCommand command, TerminalConsole& console) {
  console.echoTo(stdout);
  clearAnswerFlags();
  if (command == CliCommand::SndNke) sendSndNke(ctx);
  else sendReqUd2(ctx);
  const uint8_t& answered = command == CliCommand::SndNke ? ackReceived : answerReceived;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(REQUEST_WAIT_MS);
  while (!answered && ctx.link.connected() && !stopRequested && std::chrono::steady_clock::now() < deadline)
    ctx.pump.pumpEvents();
  console.echoTo(nullptr);
  std::fflush(stdout);
  if (answered && command == CliCommand::ReqUd2) {
    const char* const names[] = {"manufacturer", "id", "version", "device type"};
    for (int f = 0; f < 4; ++f) std::printf("%s: %s\n", names[f], ctx.fields.fieldText((Field)f).c_str());
    std::printf("counter: %s\n", ctx.fields.fieldText(Field::Counter).c_str());
  }
  if (answered) return EXIT_DONE;
  if (!ctx.link.connected()) return fail(EXIT_PORT, console.lastLine());
  if (stopRequested) return fail(EXIT_CANCELLED, "cancelled");
  return fail(EXIT_NO_ANSWER, "no answer from the dongle within " + std::to_string(REQUEST_WAIT_MS / 1000) + " s");
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::string> config;
  if (readConfigFile(CONFIG_FILE))
    for (int i = 0; i < CONFIG_LINE_COUNT; ++i) config.push_back(configLines[i]);
  CliOptions options;
  std::string error;
  if (!parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), configLoaded ? &config : nullptr, options,
                        error)) {
    return fail(EXIT_USAGE, error + " (see --help)");
  }
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
  TerminalFields fields;
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
  if (options.command == CliCommand::Update && loadFirmwareFile(options.image.c_str(), out) != LoadResult::Loaded) {
    out.outputText("Error opening firmware file.\n", STYLE_SENT);
    code = fail(EXIT_IMAGE, "cannot read " + options.image);
  } else if (const SerialOpenResult opened = link.connect(options.port, options.baudIndex);
             opened != SerialOpenResult::Ok) {
    code = fail(EXIT_PORT, serialErrorText(opened, options.port));
  } else if (options.command == CliCommand::Update) {
    chooseProtocol(options.protocol);
    code = runUpdate(ctx, console);
  } else {
    code = runRequest(ctx, options.command, console);
  }
  link.disconnect();
  closeLogFile();
  return code;
}
