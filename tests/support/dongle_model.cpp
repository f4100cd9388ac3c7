#include "tests/support/dongle_model.h"

#include <algorithm>
#include <cstdio>

#include "commands/identity_fields.h"
#include "firmware/firmware_image.h"
#include "link/answer_reception.h"
#include "tests/support/openssl_telegram.h"

namespace {

constexpr uint32_t SIMPLE_BASE = 0x4800;
constexpr size_t PROTECTED_RECORD = 33;  // AFL 17, long header 12, CFE 1, 2F 2F

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

}  // namespace

DongleModel::DongleModel(Harness& harness) : h_(harness) {
  // The FakeFields default key, 5A17C3E90B4D62F8A1C07E3B9D2F4A68.
  const uint8_t defaultKey[16] = {0x5A, 0x17, 0xC3, 0xE9, 0x0B, 0x4D, 0x62, 0xF8,
                                  0xA1, 0xC0, 0x7E, 0x3B, 0x9D, 0x2F, 0x4A, 0x68};
  std::copy(defaultKey, defaultKey + 16, key);
  reportAnswer = longFrame(0x08, 0xFB, {0x78, 0x01, 0xFD, 0x17, 0x00});
  h_.port->onWrite = [this](const uint8_t* bytes, int length) { written(bytes, length); };
  h_.pump.onPoll = [this] { tick(); };
  h_.connect();
}

std::vector<uint8_t> DongleModel::counterAnswer(uint32_t counter) {
  return longFrame(0x08, 0xFB, {0x72, 0x04, 0x03, 0x02, 0x01, 0x56, 0x0A, 0x40, 0x03, 0x10, 0x00, 0x00, 0x00, 0x04, 0xFD, 0x08,
                      (uint8_t)counter, (uint8_t)(counter >> 8), (uint8_t)(counter >> 16), (uint8_t)(counter >> 24)});
}

void DongleModel::tick() {
  nowMs += 2;
  ++polls;
  while (!due_.empty() && due_.begin()->first <= nowMs) {
    h_.port->queue(due_.begin()->second);
    due_.erase(due_.begin());
  }
  if (nowMs - lastReceivePoll_ >= 200) {
    lastReceivePoll_ = nowMs;
    pollAnswers(h_.ctx);
  }
  if (awaitingFieldCapture_ && !seen.empty()) {
    seen.back().counterFieldAfter = h_.fields.fieldText(Field::Counter);
    awaitingFieldCapture_ = false;
  }
  if (onPoll) onPoll(polls);
}

void DongleModel::written(const uint8_t* bytes, int length) {
  pendingBytes_.insert(pendingBytes_.end(), bytes, bytes + length);
  for (;;) {
    while (!pendingBytes_.empty() && pendingBytes_[0] != 0x10 && pendingBytes_[0] != 0x68)
      pendingBytes_.erase(pendingBytes_.begin());
    if (pendingBytes_.empty()) return;
    size_t size = 5;
    if (pendingBytes_[0] == 0x68) {
      if (pendingBytes_.size() < 4) return;
      size = (size_t)pendingBytes_[1] + 6;
    }
    if (pendingBytes_.size() < size) return;
    take(std::vector<uint8_t>(pendingBytes_.begin(), pendingBytes_.begin() + (long)size));
    pendingBytes_.erase(pendingBytes_.begin(), pendingBytes_.begin() + (long)size);
  }
}

void DongleModel::take(const std::vector<uint8_t>& frame) {
  SeenTelegram t;
  t.frame = frame;
  t.pausedMsBefore = h_.pump.pausedMs;
  if (markCounterField) h_.fields.setFieldText(Field::Counter, "?");
  awaitingFieldCapture_ = true;
  if (frame[0] == 0x10) {
    t.kind = frame[1] == 0x5B ? SeenTelegram::ReqUd2 : SeenTelegram::OtherShort;
    t.valid = (uint8_t)(frame[1] + frame[2]) == frame[3] && frame[4] == 0x16;
  } else {
    const size_t l = frame[1];
    uint8_t sum = 0;
    for (size_t i = 4; i < 4 + l; ++i) sum = (uint8_t)(sum + frame[i]);
    const bool framed = frame[2] == l && frame[3] == 0x68 && l >= 3 && frame[4 + l] == sum &&
                        frame[5 + l] == 0x16 && frame[4] == 0x53 && frame[5] == 0xFB;
    if (framed) {
      t.userData.assign(frame.begin() + 6, frame.begin() + 4 + (long)l);
      parseUserData(t);
    }
  }
  seen.push_back(t);
  if (silent || !t.valid) return;
  const Reply reply = policy ? policy(seen.back(), seen.size() - 1) : Reply{};
  if (!reply.answer) return;
  due_.emplace(nowMs + reply.delayMs,
               t.kind == SeenTelegram::ReqUd2 ? reportAnswer : std::vector<uint8_t>{0xE5});
}

void DongleModel::parseUserData(SeenTelegram& t) {
  t.plain = t.userData;
  std::vector<uint8_t>& d = t.plain;
  size_t record = 5;  // DIF of a short-header block command
  if (d[0] == 0x90) {
    t.isProtected = true;
    if (d.size() < PROTECTED_RECORD + 4) return;
    t.counter = le32(&d[5]);
    t.macOk = ossl::verifyAndDecrypt(d, meterId, key, false);
    if (!t.macOk || d[17] != 0x5B || d[31] != 0x2F || d[32] != 0x2F) return;
    t.accessNumber = d[26];
    record = PROTECTED_RECORD;
  } else if (d[0] == 0x5A && d.size() >= 8) {
    t.accessNumber = d[1];
    if (d[5] == 0x0F && d[6] == 0x35) {
      t.command = d[7];
      if (t.command != 0x88) {
        t.kind = SeenTelegram::SimpleCommand;
        t.valid = d.size() == 8;
        return;
      }
      t.kind = SeenTelegram::SimpleChunk;
      if (d.size() < 13 || d.size() != 13u + d[8]) return;
      t.address = le32(&d[9]);
      t.payload.assign(d.begin() + 13, d.end());
      t.valid = t.address >= SIMPLE_BASE;
      if (t.valid) store(t.address - SIMPLE_BASE, t.payload);
      return;
    }
  } else {
    return;
  }
  if (d.size() < record + 4 || d[record + 1] != 0xFD || d[record + 2] != 0xF7) return;
  t.kind = SeenTelegram::BlockCommand;
  const uint8_t dif = d[record];
  t.command = d[record + 3];
  if (dif == 0x0D) {
    if (d.size() < record + 5 || d.size() < record + 5 + d[record + 4]) return;
    t.params.assign(d.begin() + (long)record + 5, d.begin() + (long)record + 5 + d[record + 4]);
  } else if (dif != 0x08) {
    return;
  }
  if (t.command == 0x32) {
    if (t.params.size() < 2) return;
    t.block = t.params[0] | t.params[1] << 8;
    t.payload.assign(t.params.begin() + 2, t.params.end());
    store((uint32_t)t.block * 128, t.payload);
  }
  t.valid = true;
}

void DongleModel::store(uint32_t offset, const std::vector<uint8_t>& bytes) {
  if (image.size() < offset + bytes.size()) {
    image.resize(offset + bytes.size());
    imageWritten.resize(offset + bytes.size());
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    image[offset + i] = bytes[i];
    imageWritten[offset + i] = true;
  }
}

std::vector<const SeenTelegram*> DongleModel::of(SeenTelegram::Kind kind, int command) const {
  std::vector<const SeenTelegram*> out;
  for (const SeenTelegram& t : seen)
    if (t.kind == kind && (command < 0 || t.command == command)) out.push_back(&t);
  return out;
}

std::vector<int> DongleModel::blockSequence() const {
  std::vector<int> out;
  for (const SeenTelegram* t : of(SeenTelegram::BlockCommand, 0x32)) out.push_back(t->block);
  return out;
}

std::string styledText(const FakeConsole& console, int style) {
  std::string text;
  for (const FakeConsole::Piece& piece : console.pieces())
    if (piece.style == style) text += piece.text;
  return text;
}

std::vector<std::string> consoleLines(const FakeConsole& console, int style) {
  std::vector<std::string> lines;
  const std::string text = styledText(console, style);
  for (size_t from = 0, end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
    lines.push_back(text.substr(from, end + 1 - from));
  return lines;
}

std::vector<std::string> sentHeadings(const FakeConsole& console) {
  std::vector<std::string> out;
  for (const std::string& line : consoleLines(console, STYLE_SENT))
    if (line.rfind(">>>", 0) == 0) out.push_back(line);
  return out;
}

std::vector<uint8_t> prepareUpdate(uint32_t length) {
  encryptionOn = 1;
  useSimpleProtocol = 0;
  doubleBlock42 = 0;
  skipBlock15 = 0;
  accessNumber = 0;
  ackReceived = 0;
  answerReceived = 0;
  std::vector<uint8_t> bytes(length);
  uint32_t state = 0x12345678u + length;
  for (uint8_t& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = (uint8_t)(state >> 16);
  }
  std::copy(bytes.begin(), bytes.end(), firmwareImage);
  firmwareLength = length;
  firmwareLoaded = 1;
  return bytes;
}

UpdateResult UpdateRig::run(uint32_t length, UpdateResult (*sequence)(ToolContext&), uint8_t skip15,
                           uint8_t double42) {
  image = prepareUpdate(length);
  skipBlock15 = skip15;
  doubleBlock42 = double42;
  return result = sequence(h.ctx);
}

std::string transcript(const std::vector<std::string>& headings, const DongleModel& model) {
  std::string text;
  for (size_t i = 0; i < std::max(headings.size(), model.seen.size()); ++i) {
    if (i < headings.size()) text += headings[i];
    if (i < model.seen.size()) text += consoleDump(model.seen[i].frame);
  }
  return text;
}

std::vector<std::string> stepNames(const DongleModel& model) {
  std::vector<std::string> out;
  char text[16];
  for (const SeenTelegram& t : model.seen) {
    if (t.kind == SeenTelegram::ReqUd2) {
      out.push_back("REQ");
    } else {
      std::snprintf(text, sizeof text, t.block >= 0 ? "%02X:%d" : "%02X", t.command, t.block);
      out.push_back(text);
    }
  }
  return out;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::string word;
  for (char c : text + " ") {
    if (c != ' ') {
      word += c;
    } else if (!word.empty()) {
      out.push_back(word);
      word.clear();
    }
  }
  return out;
}

uint32_t bitwiseCrc32(const uint8_t* bytes, size_t length, uint32_t crc) {
  for (size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

std::string blockLine(uint32_t offset, uint32_t length, uint32_t crc) {
  char text[128];
  std::snprintf(text, sizeof text, ">>> Send FW data %d from %d block %d/%d CRC32: 0x%08X\n", (int)offset,
                (int)length, (int)(offset / 128), (int)(length / 128), crc);
  return text;
}

std::vector<uint8_t> blockRecord(uint8_t command, const std::vector<uint8_t>& params) {
  const bool report = command == 0x31 || command == 0x36;
  std::vector<uint8_t> record{(uint8_t)(report ? 0x08 : 0x0D), 0xFD, 0xF7, command};
  if (!report) record.push_back((uint8_t)params.size());
  record.insert(record.end(), params.begin(), params.end());
  return record;
}

std::vector<uint8_t> blockParams(const std::vector<uint8_t>& image, int block) {
  const size_t offset = std::min<size_t>(128u * (size_t)block, image.size());
  const size_t n = std::min<size_t>(128, image.size() - offset);
  std::vector<uint8_t> params{(uint8_t)block, (uint8_t)(block >> 8)};
  params.insert(params.end(), image.begin() + (long)offset, image.begin() + (long)(offset + n));
  return params;
}
