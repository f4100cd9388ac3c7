// --json: one JSON object per line on a stream, each naming its port:
// start, step, progress (at most once a second), answer (with its records
// when they were decoded), result.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

struct MeterAnswer;

class JsonEvents {
 public:
  JsonEvents(FILE* out, std::string port) : out_(out), port_(std::move(port)) {}

  void start(const char* command, const std::string& image, const std::string& protocol);
  void step(const std::string& step, unsigned done, unsigned total);
  // Dropped when the last one went out less than a second ago, unless it
  // is the first to tell that every unit is done.
  void progress(unsigned done, unsigned total);
  void answer(const MeterAnswer& answer);
  // exit as the process ends; counter: where the next update starts (-1: none known).
  void result(int exit, long long counter, const std::string& message);

 private:
  double seconds() const;
  FILE* out_;
  std::string port_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastProgress_{};
  bool toldAllDone_ = false;
};
