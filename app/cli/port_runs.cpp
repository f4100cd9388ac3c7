#include "app/cli/port_runs.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/cli/child_process.h"
#include "app/cli/terminal_front.h"
#include "link/remote_port_name.h"

namespace {

struct PortRow {
  std::string port, name;
  ChildProcess child;
  bool started = false;
  int exit = -1;
  double seconds = 0;
  std::string counter = "-";
  std::chrono::steady_clock::time_point began;
};

const char* resultName(int exit) {
  switch ((CliExit)exit) {
    case EXIT_DONE: return "done";
    case EXIT_USAGE: return "usage";
    case EXIT_IMAGE: return "firmware file";
    case EXIT_PORT: return "serial port";
    case EXIT_NO_ANSWER: return "no answer";
    case EXIT_CANCELLED: return "cancelled";
    case EXIT_NOT_DECODED:
    case EXIT_NOT_VERIFIED:
    case EXIT_FILE: break;
  }
  return "failed";
}

void printSummary(FILE* to, const std::vector<std::unique_ptr<PortRow>>& rows) {
  size_t width = 4;
  for (const auto& row : rows) width = std::max(width, row->port.size());
  std::fprintf(to, "%-*s  %-13s  %4s  %8s  %s\n", (int)width, "port", "result", "exit", "seconds", "counter");
  for (const auto& row : rows)
    std::fprintf(to, "%-*s  %-13s  %4d  %8.1f  %s\n", (int)width, row->port.c_str(), resultName(row->exit),
                 row->exit, row->seconds, row->counter.c_str());
}

}  // namespace

std::string portShortName(const std::string& port) {
  RemoteAddress address;
  const PortNameKind kind = classifyPortName(port, address);
  if (kind == PortNameKind::Rfc2217 || kind == PortNameKind::RawTcp) return remotePortTag(address);
  const size_t cut = port.find_last_of("/\\");
  return cut == std::string::npos ? port : port.substr(cut + 1);
}

std::string portLogName(const std::string& port) { return "QORFW-" + portShortName(port) + ".log"; }

std::vector<std::string> childArguments(const std::vector<std::string>& args, const std::string& port) {
  std::vector<std::string> kept;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-p" || arg == "--port") {
      ++i;  // and its value
      continue;
    }
    // -pPATH too: the parser takes a short option's value joined to it.
    if (arg.rfind("--port=", 0) == 0 || (arg.size() > 2 && arg.rfind("-p", 0) == 0) || arg == "--json" || arg == "-q" ||
        arg == "--quiet")
      continue;
    kept.push_back(arg);
  }
  kept.insert(kept.end(), {"-p", port, "--log", portLogName(port), "--json", "-q"});
  return kept;
}

namespace {

// COM7 and com7 are one port on Windows, and one log on a folder that ignores case.
bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
         });
}

// A child's error line (it starts with the program's name) goes to stderr in every mode.
bool isErrorLine(const std::string& line) { return line.rfind("mbus-fwupdate: ", 0) == 0; }

}  // namespace

int runPorts(const std::string& program, const std::vector<std::string>& args, const CliOptions& options) {
  // Two ports of one name would write one log.
  for (size_t i = 0; i < options.ports.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (sameName(portShortName(options.ports[i]), portShortName(options.ports[j]))) {
        std::fprintf(stderr, "mbus-fwupdate: %s and %s would share the log %s (see --help)\n", options.ports[j].c_str(),
                     options.ports[i].c_str(), portLogName(options.ports[i]).c_str());
        return exitCode(EXIT_USAGE);
      }
  std::mutex output;
  FILE* human = options.json ? stderr : stdout;
  std::vector<std::unique_ptr<PortRow>> rows;
  for (const std::string& port : options.ports) {
    rows.push_back(std::make_unique<PortRow>());
    PortRow& row = *rows.back();
    row.port = port;
    row.name = portShortName(port);
    std::vector<std::string> argv = childArguments(args, port);
    argv.insert(argv.begin(), program);
    auto fromJson = [&output, &row, &options](const std::string& line) {
      const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
      std::lock_guard<std::mutex> lock(output);
      if (event.is_object() && event.value("event", "") == "result" && event["counter"].is_string())
        row.counter = event["counter"].get<std::string>();
      if (!options.json) return;
      std::fprintf(stdout, "%s\n", line.c_str());
      std::fflush(stdout);
    };
    auto fromText = [&output, &row, human](const std::string& line) {
      std::lock_guard<std::mutex> lock(output);
      FILE* to = isErrorLine(line) ? stderr : human;
      std::fprintf(to, "[%s] %s\n", row.name.c_str(), line.c_str());
      std::fflush(to);
    };
    row.began = std::chrono::steady_clock::now();
    row.started = row.child.start(argv, fromJson, fromText);
    if (!row.started) fromText("mbus-fwupdate: cannot start " + program);
  }
  // Every child is asked once; its own log then ends with its cancel line.
  bool forwarded = false;
  for (bool any = true; any;) {
    any = false;
    for (auto& row : rows) {
      if (!row->started || row->seconds > 0) continue;
      if (row->child.running()) {
        any = true;
        continue;
      }
      row->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - row->began).count();
    }
    if (stopRequested && !forwarded) {
      for (auto& row : rows) row->child.interrupt();
      forwarded = true;
    }
    if (any) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  int code = exitCode(EXIT_DONE);
  for (auto& row : rows) {
    row->exit = row->started ? row->child.wait() : exitCode(EXIT_USAGE);
    if (row->exit < 0) row->exit = 128;  // ended by a signal
    code = std::max(code, row->exit);
  }
  std::lock_guard<std::mutex> lock(output);
  printSummary(human, rows);
  return code;
}
