#include "app/cli/working_files.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#ifndef MBUS_VERSION
#define MBUS_VERSION "unknown"
#endif

bool readInputFile(const std::string& path, size_t limit, std::string& text) {
  text.clear();
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return text = "cannot read it", false;
  std::string read(limit + 1, '\0');
  const size_t n = std::fread(&read[0], 1, read.size(), file);
  const bool failed = std::ferror(file) != 0;  // a folder opens, and its read fails
  std::fclose(file);
  if (failed) return text = "cannot read it", false;
  if (n > limit) return text = "it is longer than " + std::to_string(limit) + " bytes, more than it can validly hold", false;
  text = read.substr(0, n);
  return true;
}

std::string inputUnderLog(const std::string& log, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    std::error_code error;
    if (!input.empty() && std::filesystem::equivalent(log, input, error) && !error) return input;
  }
  return "";
}

std::string logHeaderLine(std::time_t now, const std::string& port, const std::string& asked) {
  char stamp[32] = "";
  // The main thread alone asks: gmtime's shared result is safe here.
  if (const std::tm* utc = std::gmtime(&now)) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", utc);
  return std::string(stamp) + " mbus-fwupdate " + MBUS_VERSION + " port " + port + ": " + asked + "\n";
}
