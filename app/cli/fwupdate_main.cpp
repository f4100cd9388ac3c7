// mbus-fwupdate: the window's firmware update, SND_NKE and REQ_UD2 for a
// terminal or a script, with the window's core, telegrams and log; several
// ports run as one child process each (port_runs); --decode needs no port.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/cli/child_process.h"
#include "app/cli/cli_options.h"
#include "app/cli/decode_command.h"
#include "app/cli/json_events.h"
#include "app/cli/port_runs.h"
#include "app/cli/terminal_front.h"
#include "app/cli/wait_notice.h"
#include "app/cli/working_files.h"
#include "app/front/answer_fields.h"
#include "app/front/config_file.h"
#include "app/front/front_texts.h"
#include "app/front/program_flags.h"
#include "commands/answer_wait.h"
#include "commands/identity_fields.h"
#include "commands/meter_answers.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"
#include "interfaces/log_file.h"
#include "link/com_ports.h"
#include "link/connection.h"

namespace {

constexpr int REQUEST_BUDGET = 2500;  // polls of 2 ms: 5 s at least

// One port's run: where its human text goes, and its events with --json.
struct Run {
  const CliOptions& options;
  FILE* human;          // stdout, or stderr with --json
  JsonEvents* events;   // null without --json
  long long counter = -1;  // where the next update starts, once known
  bool answered = false;   // an answer came since the last request went out
  MeterAnswer lastAnswer{};  // the latest of them

  // The counter told once, as the next run's --counter takes it.
  void tellCounter() {
    if (counter >= 0) std::fprintf(human, "counter for the next update: --counter %08llX\n", counter);
  }
  // summary: the closing line; shown: also on the terminal, not only in JSON.
  int done(const std::string& summary, bool shown = true) {
    tellCounter();
    if (shown) std::fprintf(human, "%s\n", summary.c_str());
    if (events) events->result(exitCode(EXIT_DONE), counter, summary);
    return exitCode(EXIT_DONE);
  }
  int fail(CliExit exit, const std::string& text) {
    const int code = exitCode(exit);
    tellCounter();
    std::fprintf(stderr, "mbus-fwupdate: %s\n", text.c_str());
    if (events) events->result(code, counter, text);
    return code;
  }
};

// Before the log is opened or the port: a script must never get a partial
// update, nor an empty one.
std::string imageError(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return path + ": " + std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return path + " is a folder";
  if (info.st_size == 0) return path + " is empty";
  if (!fitsDongle((unsigned long long)info.st_size)) return imageTooLargeText(path, (unsigned long long)info.st_size);
  return "";
}

const char* protocolName(CliProtocol protocol) {
  switch (protocol) {
    case CliProtocol::Encrypted: return "encrypted";
    case CliProtocol::Block: return "block";
    case CliProtocol::Simple: break;
  }
  return "simple";
}

// Every answer into the fields as the window shows it, where the update
// reads them; an identity given as an option stays as given.
void receive(ToolContext& ctx, Run& run) {
  bool keep[FIELD_COUNT] = {};
  for (int f = 0; f < (int)Field::Key; ++f) keep[f] = run.options.given[f];
  for (MeterAnswer& answer : receiveAnswers(ctx)) {
    showAnswer(ctx.fields, answer, keep);
    run.lastAnswer = std::move(answer);
    run.answered = true;
  }
}

// The last answer to the request, if one came.
WaitOutcome request(ToolContext& ctx, Run& run, LinkRequest kind, MeterAnswer& answer, bool& answered) {
  run.answered = false;
  const WaitOutcome outcome = requestAndWait(ctx, kind, REQUEST_BUDGET);
  answered = run.answered;
  if (answered) {
    answer = run.lastAnswer;
    // An answer that fails verification is no source of a counter.
    if (answer.verification != Verification::Error) run.counter = answer.invocationCounter;
    if (run.events) run.events->answer(answer);
  }
  return outcome;
}

int waitFailure(Run& run, WaitOutcome outcome, const std::string& what) {
  switch (outcome) {
    case WaitOutcome::Raised: break;
    case WaitOutcome::PortLost: return run.fail(EXIT_PORT, "Serial port " + run.options.port + " lost.");
    case WaitOutcome::Cancelled: return run.fail(EXIT_CANCELLED, "cancelled");
    case WaitOutcome::Expired: break;
  }
  return run.fail(EXIT_NO_ANSWER, what);
}

int runUpdate(ToolContext& ctx, Run& run) {
  if (stopRequested) return run.fail(EXIT_CANCELLED, "cancelled before the update started");
  const CliOptions& options = run.options;
  setUpdateOption(UpdateOption::Encryption, options.protocol == CliProtocol::Encrypted);
  setUpdateOption(UpdateOption::SimpleProtocol, options.protocol == CliProtocol::Simple);
  if (!options.given[(int)Field::Counter] && options.protocol == CliProtocol::Encrypted) {
    // A counter below one the dongle has seen would be refused as a replay.
    MeterAnswer answer;
    bool answered = false;
    const WaitOutcome outcome = request(ctx, run, LinkRequest::ReqUd2, answer, answered);
    if (outcome != WaitOutcome::Raised) return waitFailure(run, outcome, "the dongle did not answer the counter request");
    // Its counter and identity cannot be trusted, and telegrams under a wrong
    // key would only go unanswered until every repetition is spent.
    if (answered && answer.verification == Verification::Error)
      return run.fail(EXIT_NOT_VERIFIED, std::string("the answer to the counter request does not verify (") +
                                             decryptCheckText(answer.decryptCheck) +
                                             "): check the key and the identification (--id)");
  }
  const UpdateOutcome outcome = runFirmwareUpdate(ctx);
  // Only the encrypted protocol sends a counter; another's would replay as the next --counter.
  run.counter = options.protocol == CliProtocol::Encrypted ? (long long)outcome.counter : -1;
  switch (outcome.result) {
    // The window's closing line stays in the log; here what it means and what comes next.
    case UpdateResult::Finished:
      return run.done("firmware sent: the dongle is now reprogramming itself; when it is back, check it with "
                      "mbus-fwupdate -p " + options.port + " --req-ud2");
    case UpdateResult::NoFirmware: return run.fail(EXIT_IMAGE, "no firmware loaded");
    case UpdateResult::Cancelled: return run.fail(EXIT_CANCELLED, outcome.line);
    case UpdateResult::NoAnswer: return run.fail(EXIT_NO_ANSWER, outcome.line);
    case UpdateResult::PortLost: return run.fail(EXIT_PORT, outcome.line);
    case UpdateResult::NotConnected: break;
  }
  ctx.out.outputText(NOT_CONNECTED_LINE, STYLE_SENT);
  return run.fail(EXIT_PORT, "serial not connected");
}

// One request, its answer shown as the window's timer would show it.
int runRequest(ToolContext& ctx, Run& run, TerminalConsole& console) {
  const CliOptions& options = run.options;
  MeterAnswer answer;
  bool answered = false;
  ctx.decodeRecords = options.command == CliCommand::ReqUd2;  // the answer's records after it
  console.echoTo(run.human);
  const WaitOutcome outcome = request(
      ctx, run, options.command == CliCommand::SndNke ? LinkRequest::SndNke : LinkRequest::ReqUd2, answer, answered);
  console.echoTo(nullptr);
  std::fflush(run.human);
  if (outcome != WaitOutcome::Raised) return waitFailure(run, outcome, "no answer from the dongle within 5 s");
  if (answered && answer.verification == Verification::Error)
    return run.fail(EXIT_NOT_DECODED, std::string("the answer does not verify: ") + decryptCheckText(answer.decryptCheck));
  if (options.command == CliCommand::ReqUd2 && answered) {
    // Without an identity in the answer the one given still stands.
    const bool named = answer.identified && answer.manufacturer[0];
    std::fprintf(run.human, "manufacturer: %s\n", named ? answer.manufacturer : options.fields[0].c_str());
    if (answer.identified)
      std::fprintf(run.human, "id: %08X\nversion: %02X\ndevice type: %02X\n", (unsigned)answer.idNumber,
                   answer.version, answer.deviceType);
    else
      std::fprintf(run.human, "id: %s\nversion: %s\ndevice type: %s\n", options.fields[1].c_str(),
                   options.fields[2].c_str(), options.fields[3].c_str());
  }
  return run.done(options.command == CliCommand::SndNke ? "the dongle acknowledged SND_NKE" : "the dongle answered REQ_UD2",
                  false);
}

// What a log's header line says was asked.
std::string asked(const CliOptions& options) {
  switch (options.command) {
    case CliCommand::ReqUd2: return "REQ_UD2";
    case CliCommand::SndNke: return "SND_NKE";
    default: break;
  }
  return std::string("update ") + options.image + " by the " + protocolName(options.protocol) + " protocol" +
         (options.given[(int)Field::Counter] ? " from counter " + options.fields[(int)Field::Counter] : "");
}

int runPort(const CliOptions& options) {
  JsonEvents json(stdout, options.port);
  Run run{options, options.json ? stderr : stdout, options.json ? &json : nullptr};
  const char* command = options.command == CliCommand::Update   ? "update"
                        : options.command == CliCommand::ReqUd2 ? "req-ud2"
                                                                : "snd-nke";
  if (run.events)
    run.events->start(command, options.image, options.command == CliCommand::Update ? protocolName(options.protocol) : "");
  if (options.command == CliCommand::Update) {
    const std::string imageProblem = imageError(options.image);
    if (!imageProblem.empty()) return run.fail(EXIT_IMAGE, imageProblem);
  }
  const std::string input =
      inputUnderLog(options.logPath, {options.image, options.keyFile, CONFIG_FILE_NAME, options.port});
  if (!input.empty()) return run.fail(EXIT_FILE, "--log " + options.logPath + " is " + input + ", an input of this run");
  const OwnFileResult log = openLogFile(options.logPath.c_str(), WriteMode::Append);
  if (log != OwnFileResult::Opened)
    return run.fail(EXIT_FILE, "log " + options.logPath + " refused: " + ownFileText(log) +
                                   (log == OwnFileResult::InUse ? "; give this run its own with --log FILE" : ""));
  const std::string header = logHeaderLine(std::time(nullptr), options.port, asked(options));
  logWrite(header.data(), header.size());
  TerminalConsole console;
  console.hideKeyLine("hidden on the terminal; the log " + options.logPath + " holds it");
  Output out(&console);
  FieldTexts fields;
  for (int f = 0; f < FIELD_COUNT; ++f) fields.setFieldText((Field)f, options.fields[f]);
  // A protected answer decrypts with the identity and key given, as in the window.
  resetIdentityStores();
  readIdentityFields(fields);
  Connection link(createSerialPort(), out, fields);
  ToolContext* context = nullptr;
  WaitNotice* waiting = nullptr;
  TerminalPump pump([&] {
    receive(*context, run);
    waiting->tick();
  });
  setUpdateOption(UpdateOption::FastAnswers, options.fast);
  link.keepLatencyLow(options.fast);
  // Asked at every 2 ms pass of a wait: cheap on both systems, and a Windows
  // COM port has no descriptor to wait on.
  if (options.fast) pump.watch([&] { return link.connected() && link.serialHandle().bytesWaiting() > 0; });
  FILE* bar = options.quiet ? nullptr : isatty(2) ? stderr : (isatty(1) && !options.json) ? stdout : nullptr;
  TerminalProgress progress(bar, run.human, run.events);
  // Without a bar or JSON a long wait would pass in silence.
  WaitNotice notice(progress, bar || run.events ? nullptr : run.human);
  ToolContext ctx{out, fields, link, pump, &notice};
  context = &ctx;
  waiting = &notice;

  int code = exitCode(EXIT_DONE);
  unsigned long long size = 0;
  const LoadResult loaded =
      options.command == CliCommand::Update ? loadFirmwareFile(options.image.c_str(), out, &size) : LoadResult::Loaded;
  if (loaded == LoadResult::TooLarge) {
    code = run.fail(EXIT_IMAGE, imageTooLargeText(options.image, size));
  } else if (loaded == LoadResult::CannotOpen) {
    out.outputText(IMAGE_NOT_OPENED_LINE, STYLE_SENT);
    code = run.fail(EXIT_IMAGE, "cannot read " + options.image);
  } else if (options.command == CliCommand::Update && (firmwareLength == 0 || firmwareLength < size)) {
    // The bytes read, not the size the folder told, decide what is delivered.
    code = run.fail(EXIT_IMAGE, options.image + ": read " + std::to_string(firmwareLength) + " of the " +
                                    std::to_string(size) + " bytes its size gives");
  } else if (const SerialOpenResult opened = link.connect(options.port, options.baudIndex);
             opened != SerialOpenResult::Ok) {
    code = run.fail(EXIT_PORT, serialErrorReason(opened, options.port));
  } else {
    code = options.command == CliCommand::Update ? runUpdate(ctx, run) : runRequest(ctx, run, console);
  }
  link.disconnect();
  closeLogFile();
  return code;
}

}  // namespace

int main(int argc, char* argv[]) {
  const Utf8Console utf8;
  // First: a stop signal from now on cancels, and a child's blocked ones come through.
  installStopHandlers();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {  // nothing asked: what could be
    std::fputs(cliUsage().c_str(), stderr);
    return exitCode(EXIT_USAGE);
  }
  // QORconfig.txt is read once, when a field first needs it.
  OwnFileResult configRead = OwnFileResult::Missing;
  bool configAsked = false;
  CliSources sources;
  sources.config = [&] {
    if (!configAsked) configRead = readConfigFile(CONFIG_FILE_NAME);
    configAsked = true;
    return configFieldLines();
  };
  // Set but empty counts as unset, as a shell's `MBUS_KEY= cmd` means.
  const char* keyVariable = std::getenv("MBUS_KEY");
  sources.keyVariable = keyVariable && *keyVariable ? keyVariable : nullptr;
  sources.readFile = readInputFile;
  const auto configRefused = [&] {
    if (configRead == OwnFileResult::Opened || configRead == OwnFileResult::Missing) return false;
    std::fprintf(stderr, "mbus-fwupdate: %s refused: %s\n", CONFIG_FILE_NAME, ownFileText(configRead).c_str());
    return true;
  };
  CliOptions options;
  std::string error;
  if (parseCommandLine(args, sources, options, error) == CliParse::Refused) {
    std::fprintf(stderr, "mbus-fwupdate: %s (see --help)\n", error.c_str());
    return exitCode(EXIT_USAGE);
  }
  if (options.command == CliCommand::Help || options.command == CliCommand::Version) {
    std::printf("%s", options.command == CliCommand::Help ? cliUsage().c_str()
                                                          : (versionLine("mbus-fwupdate") + "\n").c_str());
    return exitCode(EXIT_DONE);
  }
  if (options.command == CliCommand::ListPorts) {
    enumerateComPorts();
    for (int i = 0; i < comPortCount; ++i) std::printf("%s\n", comPortNames[i]);
    return exitCode(EXIT_DONE);
  }
  if (configRefused()) return exitCode(EXIT_FILE);
  if (options.command == CliCommand::Decode) {
    const DecodeRun decoded = decodeFrameCommand(options, sources);
    if (configRefused()) return exitCode(EXIT_FILE);  // read for a protected frame only
    std::fputs(decoded.out.c_str(), stdout);
    std::fputs(decoded.err.c_str(), stderr);
    return exitCode(decoded.exit);
  }
  if (options.ports.size() > 1) return runPorts(ownProgramPath(argv[0]), args, options);
  return runPort(options);
}
