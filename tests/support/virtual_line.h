// The tool's core against the virtual dongle's engine in virtual time: every
// poll of the pump is 2 ms, the receive poll runs 200 ms after the end of the
// previous one, and the dongle's bytes arrive when the paced line delivers
// them. Each line starts from a fresh core (resetCoreState), connected, with
// the stores read from the default fields as the window does at start.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/connection.h"
#include "link/tool_context.h"
#include "tests/support/fakes.h"
#include "virtual-dongle/dongle_engine.h"

struct VirtualLine;

class VirtualPump : public EventPump {
 public:
  explicit VirtualPump(VirtualLine& line) : line_(line) {}
  void runPending() override;
  void pumpEvents() override;
  void pause(int ms) override;

 private:
  VirtualLine& line_;
};

// A progress view whose Cancel is pressed once `cancelAfterPolls` polls have run.
class FakeProgress : public ProgressView {
 public:
  void start(const char*, unsigned units) override { total = units; }
  void update(const std::string&, unsigned) override {}
  bool cancelRequested() override { return cancel; }
  void finish() override { finished = true; }
  bool cancel = false, finished = false;
  unsigned total = 0;
};

struct VirtualLine {
  static constexpr uint64_t POLL_US = 2000;  // one turn of the pump
  explicit VirtualLine(const vdongle::DongleConfig& config = dongleConfig());
  static vdongle::DongleConfig dongleConfig();  // the defaults at 9600 baud

  void poll();              // the receive poll now, its answers shown in the fields as the window does
  void tick();              // the receive poll, when it is due
  void portInput();         // with fast answers: the poll as soon as bytes are due
  void idle(int polls = 250);
  // Writes an image of n bytes (byte i is i * 7 + 3) to image.cfw and loads it.
  std::vector<uint8_t> loadImage(size_t n);

  FakeConsole console;
  Output out{&console};
  FakeFields fields;
  FakeSerialPort* port;  // owned by link
  Connection link;
  VirtualPump pump{*this};
  FakeProgress progress;
  ToolContext ctx;
  vdongle::DongleEngine engine;
  uint64_t nowUs = 0;
  uint64_t nextReceiveUs = 200000;
  long polls = 0;
  uint64_t lastArrivalUs = ~0ull;   // when the tool last took bytes from the line
  uint64_t shortestRestUs = ~0ull;  // shortest time from taking bytes to the next write
  std::function<void(VirtualLine&)> afterPoll;  // runs after every pump poll

 private:
  void receive();
};
