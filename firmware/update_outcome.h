// How a firmware update ended, as values a front shows or turns into an exit code.
#pragma once
#include <cstdint>
#include <string>

enum class UpdateResult { Finished, NoFirmware, Cancelled, NoAnswer, PortLost, NotConnected };

struct UpdateOutcome {
  UpdateResult result = UpdateResult::Finished;
  std::string step;  // the step it stopped at; "" when it finished or never started
  std::string line;  // the closing line the console shows, without its line end
  uint32_t counter = 0;  // the invocation counter afterwards: where the next update starts
};
