// Several ports in one run: one child process per port with the same
// options, each logging to QORFW-<port>.log and speaking JSON to us; its
// human lines carry the port as a prefix, and a summary table ends the run.
#pragma once
#include <string>
#include <vector>

#include "app/cli/cli_options.h"

// The exit code: 0 when every port finished, else the largest of theirs.
int runPorts(const std::string& program, const std::vector<std::string>& args, const CliOptions& options);

// "ttyUSB0" for /dev/ttyUSB0, "COM7" for COM7, "pi4-2000" for rfc2217://pi4:2000:
// in logs' names and line prefixes.
std::string portShortName(const std::string& port);
// "QORFW-ttyUSB0.log"
std::string portLogName(const std::string& port);
// A child's arguments: ours without the ports and the output choices, then its port, log and --json.
std::vector<std::string> childArguments(const std::vector<std::string>& args, const std::string& port);
