// mbus-fwupdate --decode: a long frame given as hex text, decoded offline
// with no port and no log; a protected one is verified and decrypted first.
#pragma once
#include <string>

#include "app/cli/cli_options.h"

struct DecodeRun {
  CliExit exit = EXIT_DONE;  // EXIT_NOT_DECODED: no valid long frame, or a protected one that does not verify
  std::string out;       // the header and records, or one JSON object
  std::string err;       // why it was not decoded
};

// options.frame holds the text; the key and, when given, --id open a protected frame.
[[nodiscard]] DecodeRun decodeFrameCommand(const CliOptions& options);
