// A headless dongle for firmware-update tests. It takes every frame the tool
// writes to a FakeSerialPort, answers as a dongle does (0xE5 for a good
// telegram, a long frame for REQ_UD2), checks and decrypts protected
// telegrams with the OpenSSL far end, and reassembles the image it was sent.
// It also drives virtual time: each poll of the harness pump is 2 ms, and
// the receive poll runs every 200 ms of it.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "firmware/firmware_update.h"
#include "tests/support/fakes.h"

struct SeenTelegram {
  enum Kind { SimpleChunk, SimpleCommand, BlockCommand, ReqUd2, OtherShort, Unknown };
  Kind kind = Unknown;
  std::vector<uint8_t> frame;     // as written
  std::vector<uint8_t> userData;  // CI onwards, as written (encrypted area for protected ones)
  std::vector<uint8_t> plain;     // CI onwards with the area decrypted
  bool isProtected = false;
  bool macOk = false;          // protected only: MAC right and area decrypted
  uint32_t counter = 0;        // protected only: MCR
  uint8_t accessNumber = 0;
  uint8_t command = 0;         // simple command code or blockCommand
  uint32_t address = 0;        // simple write chunk
  int block = -1;              // data block number
  std::vector<uint8_t> params;   // after LVAR (block commands)
  std::vector<uint8_t> payload;  // image bytes carried
  bool valid = false;          // a telegram the dongle accepts (and would acknowledge)
  long pausedMsBefore = 0;     // the pump's pauses so far
  std::string counterFieldAfter;  // the counter field at the first poll after the write
};

// What the dongle does about one telegram.
struct Reply {
  bool answer = true;
  long delayMs = 20;
};

class DongleModel {
 public:
  // Hooks the harness's port and pump and connects the port.
  explicit DongleModel(Harness& harness);

  // Called for every valid telegram (index into seen); default: answer at once.
  std::function<Reply(const SeenTelegram&, size_t)> policy;
  // Runs after every poll of the pump, with the poll count (cancel buttons, etc.).
  std::function<void(long)> onPoll;
  bool silent = false;  // answers nothing at all
  // Blanks the counter field to "?" at every write, so counterFieldAfter shows
  // whether the tool wrote it after that telegram.
  bool markCounterField = false;

  // The long answer to REQ_UD2; default a report with CI 0x78 that changes no field.
  std::vector<uint8_t> reportAnswer;
  // An answer with CI 0x72 and the 04 FD 08 counter record.
  static std::vector<uint8_t> counterAnswer(uint32_t counter);

  std::vector<SeenTelegram> seen;
  std::vector<uint8_t> image;           // bytes received, by address or block number
  std::vector<bool> imageWritten;       // which of them arrived
  long nowMs = 0;
  long polls = 0;
  uint8_t meterId[4] = {0x04, 0x03, 0x02, 0x01};  // the harness fields' defaults
  uint8_t key[16];

  // The telegrams of one kind (and command, when given).
  std::vector<const SeenTelegram*> of(SeenTelegram::Kind kind, int command = -1) const;
  // The data blocks as sent, by block number, in order.
  std::vector<int> blockSequence() const;

 private:
  void written(const uint8_t* bytes, int length);
  void take(const std::vector<uint8_t>& frame);
  void parseUserData(SeenTelegram& t);
  void store(uint32_t offset, const std::vector<uint8_t>& bytes);
  void tick();

  Harness& h_;
  std::vector<uint8_t> pendingBytes_;
  std::multimap<long, std::vector<uint8_t>> due_;  // virtual time -> bytes to deliver
  long lastReceivePoll_ = 0;
  bool awaitingFieldCapture_ = false;
};

// Records what a firmware sequence tells its progress view; cancels on demand.
class RecordingProgress : public ProgressView {
 public:
  void start(const char* protocol, unsigned totalBlocks) override {
    started.push_back(std::string(protocol) + "/" + std::to_string(totalBlocks));
  }
  void update(const std::string& step, unsigned done) override {
    steps.push_back(step);
    lastDone = done;
  }
  bool cancelRequested() override { return cancel; }
  void finish() override { ++finished; }

  std::vector<std::string> started;
  std::vector<std::string> steps;
  unsigned lastDone = 0;
  bool cancel = false;
  int finished = 0;
};

// Fresh process-wide state for one sequence: options at their start values,
// access number 0, flags clear, and an image of `length` pseudo-random bytes
// loaded (no two blocks alike). Returns the image.
std::vector<uint8_t> prepareUpdate(uint32_t length);

// One update against a fresh dongle, with the progress view hooked in.
struct UpdateRig {
  Harness h;
  DongleModel dongle{h};
  RecordingProgress progress;
  std::vector<uint8_t> image;  // as loaded
  UpdateResult result = UpdateResult::NoFirmware;

  UpdateRig() { h.ctx.progress = &progress; }
  // prepareUpdate(length), the two test options, then the sequence.
  UpdateResult run(uint32_t length, UpdateResult (*sequence)(ToolContext&), uint8_t skip15 = 0,
                   uint8_t double42 = 0);
};

// The image sizes every protocol is run with: empty, one short piece, a
// short last piece, exact multiples of 128 and 192, and the full image.
inline const uint32_t kImageSizes[] = {0, 7, 200, 300, 384, 2048, 131104};

// "31", "REQ", "32:5" (command and block number) for what the dongle saw.
std::vector<std::string> stepNames(const DongleModel& model);
// Blank-separated words.
std::vector<std::string> words(const std::string& text);
// CRC-32 bit by bit (reflected 0xEDB88320, no inversions), to check the tool's table.
uint32_t bitwiseCrc32(const uint8_t* bytes, size_t length, uint32_t crc = 0);
// The console line of a data block of the block protocols.
std::string blockLine(uint32_t offset, uint32_t length, uint32_t crc);
// The command record of the block protocols: DIF (0x08 for the two report
// requests, else 0x0D), 0xFD, 0xF7, the command, and with DIF 0x0D the LVAR
// and the parameters.
std::vector<uint8_t> blockRecord(uint8_t command, const std::vector<uint8_t>& params = {});
// The parameters of data block `block`: its number, then its bytes of the
// image (fewer for the last block, none beyond the image).
std::vector<uint8_t> blockParams(const std::vector<uint8_t>& image, int block);

// The console text of one style, and its lines in order.
std::string styledText(const FakeConsole& console, int style);
std::vector<std::string> consoleLines(const FakeConsole& console, int style);
// The console lines that begin with ">>>".
std::vector<std::string> sentHeadings(const FakeConsole& console);
// What a sequence prints in style 1 for the telegrams the dongle saw: each
// heading followed by the dump of the frame written.
std::string transcript(const std::vector<std::string>& headings, const DongleModel& model);
