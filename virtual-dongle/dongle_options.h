// Command line of the virtual dongle, and the texts it prints about a
// finished transfer (a summary line, and a key=value file for scripts).
#pragma once
#include <string>

#include "virtual-dongle/dongle_engine.h"

namespace vdongle {

struct Options {
  // A real slave turns round in 11 to 330 bit times; the engine's own
  // default of one character time is the quickest a slave may be.
  Options() { config.replyDelayUs = 3000; }
  DongleConfig config;
  std::string link;                             // symlink to the slave, or none
  bool printPathOnly = false;
  std::string output = "received-firmware.bin";  // image of each finished transfer
  std::string summaryFile;                       // key=value file, or none
  uint64_t usbLatencyUs = 0;                     // an adapter's latency timer on our sends, or 0
  bool help = false;
};

// false with `error` set on a bad option or value.
bool parseOptions(int argc, const char* const* argv, Options& options, std::string& error);
std::string usage();

// "firmware received: protocol=... blocks=N (or chunks=N) repeats=N missing=N
// length=N crc32=0x... crc32_std=0x... complete=yes|no rejected=N file=..."
std::string summaryLine(const TransferSummary& s, const std::string& file);
// The last transfer (when there was one) and the session's counts, one
// key=value a line.
std::string summaryFileText(const TransferSummary* last, const std::string& file, const DongleStats& stats);

}  // namespace vdongle
