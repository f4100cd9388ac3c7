#include "tests/support/virtual_line.h"

#include <cstdlib>
#include <fstream>

#include "app/front/answer_fields.h"
#include "commands/identity_fields.h"
#include "commands/meter_answers.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"

void VirtualPump::runPending() { line_.tick(); }

void VirtualPump::pumpEvents() {
  line_.nowUs += VirtualLine::POLL_US;
  line_.portInput();
  line_.tick();
  ++line_.polls;
  if (line_.afterPoll) line_.afterPoll(line_);
}

void VirtualPump::pause(int ms) { line_.nowUs += (uint64_t)ms * 1000; }

vdongle::DongleConfig VirtualLine::dongleConfig() {
  vdongle::DongleConfig config;
  config.baud = 9600;
  return config;
}

VirtualLine::VirtualLine(const vdongle::DongleConfig& config)
    : port((resetCoreState(), new FakeSerialPort)),
      link(std::unique_ptr<SerialPort>(port), out, fields),
      ctx{out, fields, link, pump, &progress},
      engine(config) {
  port->onWrite = [this](const uint8_t* bytes, int n) {
    if (lastArrivalUs <= nowUs && nowUs - lastArrivalUs < shortestRestUs) shortestRestUs = nowUs - lastArrivalUs;
    engine.receive(bytes, (size_t)n, nowUs);
  };
  // A rig that cannot start would make every test after it a lie.
  if (link.connect("/dev/ttyFAKE0", 1) != SerialOpenResult::Ok) std::abort();
  readIdentityFields(fields);
}

void VirtualLine::receive() {
  std::vector<uint8_t> due;
  engine.takeDue(nowUs, due);
  if (!due.empty()) lastArrivalUs = nowUs;
  port->queue(due);
  poll();
}

void VirtualLine::poll() {
  for (const MeterAnswer& answer : receiveAnswers(ctx)) showAnswer(fields, answer);
}

void VirtualLine::tick() {
  if (nowUs < nextReceiveUs) return;
  receive();
  nextReceiveUs = nowUs + 200000;
}

void VirtualLine::portInput() {
  if (fastAnswers && engine.nextDueUs() <= nowUs) receive();
}

void VirtualLine::idle(int count) {
  for (int i = 0; i < count; ++i) pump.pumpEvents();
}

std::vector<uint8_t> VirtualLine::loadImage(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = (uint8_t)(i * 7 + 3);
  std::ofstream("image.cfw", std::ios::binary).write((const char*)bytes.data(), (std::streamsize)n);
  if (loadFirmwareFile("image.cfw", out) != LoadResult::Loaded) std::abort();
  return bytes;
}
