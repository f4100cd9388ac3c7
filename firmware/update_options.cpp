#include "firmware/update_options.h"

uint8_t encryptionOn = 1;
uint8_t useSimpleProtocol = 0;
uint8_t doubleBlock42 = 0;
uint8_t skipBlock15 = 0;
uint8_t fastAnswers = 0;

namespace {

uint8_t& flagOf(UpdateOption option) {
  switch (option) {
    case UpdateOption::Encryption: return encryptionOn;
    case UpdateOption::SimpleProtocol: return useSimpleProtocol;
    case UpdateOption::DoubleBlock42: return doubleBlock42;
    case UpdateOption::SkipBlock15: return skipBlock15;
    case UpdateOption::FastAnswers: break;
  }
  return fastAnswers;
}

}  // namespace

void setUpdateOption(UpdateOption option, bool on) { flagOf(option) = on ? 1 : 0; }

bool updateOption(UpdateOption option) { return flagOf(option) != 0; }

void resetUpdateOptions() {
  setUpdateOption(UpdateOption::Encryption, true);
  setUpdateOption(UpdateOption::SimpleProtocol, false);
  setUpdateOption(UpdateOption::DoubleBlock42, false);
  setUpdateOption(UpdateOption::SkipBlock15, false);
  setUpdateOption(UpdateOption::FastAnswers, false);
}
