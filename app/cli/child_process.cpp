#include "app/cli/child_process.h"

void LineSplitter::take(const char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != '\n') {
      line_ += bytes[i];
      continue;
    }
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    sink_(line_);
    line_.clear();
  }
}

void LineSplitter::end() {
  if (!line_.empty()) sink_(line_);
  line_.clear();
}

ChildProcess::~ChildProcess() { wait(); }
