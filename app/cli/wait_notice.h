// Plain output's answer to a long silence: while an update step waits for the
// dongle, one "waiting for ..." line every 10 s; the rest goes to the view
// behind it.
#pragma once
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "interfaces/window_interfaces.h"

class WaitNotice : public ProgressView {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // out null: no lines (a bar or JSON tells the wait already).
  WaitNotice(ProgressView& inner, FILE* out, Clock now = [] { return std::chrono::steady_clock::now(); })
      : inner_(inner), out_(out), now_(std::move(now)) {}
  void start(const char* protocol, unsigned totalBlocks) override;
  void update(const std::string& step, unsigned done) override;  // the step's wait starts
  bool cancelRequested() override { return inner_.cancelRequested(); }
  void finish() override;
  // Asked by the receive poll: prints when another 10 s of the wait have passed.
  void tick();

 private:
  static constexpr int EVERY_S = 10;
  ProgressView& inner_;
  FILE* out_;
  Clock now_;
  std::string step_;  // empty: no step waits
  std::chrono::steady_clock::time_point since_;
  int told_ = 0;  // seconds of this wait already told
};

// "waiting for the dongle's answer to block 3 of 6 (20 s)"
std::string waitingLine(const std::string& step, int seconds);
