// Writes the seed corpus of every fuzz target from known-good frames and
// texts: link requests, CI 0x72 and protected CI 0x90 answers, firmware
// telegrams of the three update protocols, the window's field texts and
// configuration files. Usage: fuzz_make_seeds <corpus folder>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/fuzz/reference_crypto.h"
#include "tests/support/fakes.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::string root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::string dir = root + "/" + target;
  mkdir(root.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  FILE* file = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!file) {
    std::perror((dir + "/" + name).c_str());
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Manufacturer BRV: (2 << 10) | (18 << 5) | 22 = 0x0A56.
const Bytes kIdentity = {0x04, 0x03, 0x02, 0x01, 0x56, 0x0A, 0x40, 0x03};

Bytes answer72(bool withCounter) {
  Bytes data = cat({{0x72}, kIdentity, {0x01, 0x00, 0x00, 0x00}});
  if (withCounter) data = cat({data, {0x04, 0xFD, 0x08, 0x05, 0x00, 0x00, 0x00}});
  return cat({data, {0x0C, 0x13, 0x27, 0x04, 0x00, 0x00}});
}

// A protected application part, area in plain text: 2F 2F and a record.
Bytes protectedPlain(uint8_t tplCi, uint8_t blocks, uint32_t counter) {
  Bytes app = {0x90, 0x0F, 0x00, 0x2C, 0x25, (uint8_t)counter, (uint8_t)(counter >> 8), (uint8_t)(counter >> 16),
               (uint8_t)(counter >> 24), 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, tplCi};
  if (tplCi == 0x72 || tplCi == 0x5B) app = cat({app, kIdentity});
  app = cat({app, {0x07, 0x00, (uint8_t)(blocks * 16), 0x07, 0x10}});
  Bytes area(blocks * 16u, 0x2F);
  const Bytes record = {0x04, 0xFD, 0x08, 0x09, 0x00, 0x00, 0x00};
  for (size_t i = 0; i < record.size() && 2 + i < area.size(); ++i) area[2 + i] = record[i];
  return cat({app, area});
}

Bytes protectedAnswer(uint8_t tplCi, uint8_t blocks, uint32_t counter, bool fromMeter = true) {
  Bytes app = protectedPlain(tplCi, blocks, counter);
  ref::protect(app.data(), app.size(), fromMeter);
  return app;
}

// Firmware telegrams as the tool sends them (user data from the CI field).
Bytes simpleChunk(uint8_t n) {
  Bytes data = {0x5A, 0x03, 0x00, 0x00, 0x00, 0x0F, 0x35, 0x88, n, 0x00, 0x48, 0x00, 0x00};
  for (int i = 0; i < n; ++i) data.push_back((uint8_t)(i * 7));
  return data;
}
Bytes blockCommand(uint8_t command, const Bytes& parameters) {
  Bytes data = {0x5A, 0x05, 0x00, 0x00, 0x00, (uint8_t)(parameters.empty() && (command == 0x31 || command == 0x36) ? 0x08 : 0x0D),
                0xFD, 0xF7, command};
  if (data[5] == 0x0D) data.push_back((uint8_t)parameters.size());
  return cat({data, parameters});
}
Bytes encryptedCommand(const Bytes& record, uint8_t blocks) {
  Bytes app = {0x90, 0x0F, 0x00, 0x2C, 0x25, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
               0xFF, 0x5B};
  app = cat({app, kIdentity, {0x07, 0x00, (uint8_t)(blocks * 16), 0x07, 0x10}});
  Bytes area(blocks * 16u, 0x2F);
  for (size_t i = 0; i < record.size(); ++i) area[2 + i] = record[i];
  return cat({app, area});
}

const Bytes kReqUd2 = {0x10, 0x5B, 0xFB, 0x56, 0x16};
const Bytes kSndNke = {0x10, 0x40, 0xFB, 0x3B, 0x16};

void receivePath() {
  const std::string t = "fuzz_receive_path";
  const uint8_t poll = 0x01;      // armed, connected, whole reads
  const uint8_t direct = 0x0D;    // armed, receiveByte, reset after results
  const Bytes ans72 = longFrame(0x08, 0x01, answer72(true));
  const Bytes protApp = protectedAnswer(0x72, 2, 0x00000005);
  const Bytes prot = longFrame(0x08, 0x01, protApp);
  const Bytes damaged = longFrame(0x08, 0x01, withByte(protApp, 34, protApp[34] ^ 0x01));
  Bytes badChecksum = ans72;
  badChecksum[ans72.size() - 2] ^= 0xFF;

  write(t, "short_req_ud2", cat({{poll}, kReqUd2}));
  write(t, "short_snd_nke_bad_checksum_then_more",
        cat({{(uint8_t)(poll | 2 << 5), 5, 0}, withByte(kSndNke, 3, 0x00), Bytes(300, 0x68)}));
  write(t, "ack", {poll, 0xE5});
  write(t, "ack_then_answer72", cat({{poll, 0xE5}, ans72}));
  write(t, "answer72_counter", cat({{poll}, ans72}));
  write(t, "answer72_no_counter", cat({{poll}, longFrame(0x08, 0x01, answer72(false))}));
  // Counter records cut by the end of the data: the value would run into the
  // checksum or beyond the frame.
  write(t, "answer72_counter_at_end", cat({{poll}, longFrame(0x08, 0x01, cat({answer72(false), {0x04, 0xFD, 0x08}}))}));
  write(t, "answer72_counter_cut", cat({{poll}, longFrame(0x08, 0x01, cat({answer72(false), {0x04, 0xFD, 0x08, 0x05, 0x00}}))}));
  write(t, "answer72_only_counter", cat({{poll}, longFrame(0x08, 0x01, {0x72, 0x04, 0xFD, 0x08, 0x01, 0x02, 0x03, 0x04})}));
  write(t, "answer72_stray_byte", cat({{poll}, ans72, {0x55}}));
  write(t, "answer72_bad_checksum", cat({{poll}, badChecksum}));
  write(t, "answer72_split_3_7", cat({{(uint8_t)(poll | 2 << 5), 3, 7}, ans72}));
  write(t, "zero_then_ack", {poll, 0x00, 0xE5, 0x00});
  write(t, "long_l0", {poll, 0x68, 0x00, 0x00, 0x68, 0x00, 0x16});
  write(t, "long_second_l_wrong", cat({{poll, 0x68, 0x05, 0x06, 0x05, 0x68}, {0x08, 0x01, 0x72, 0x00, 0x00, 0x7B, 0x16}}));
  write(t, "protected_long_header", cat({{poll}, prot}));
  write(t, "protected_short_header",
        cat({{poll}, longFrame(0x08, 0x01, protectedAnswer(0x7A, 1, 0x7FFFFFFF))}));
  write(t, "protected_damaged", cat({{poll}, damaged}));
  write(t, "protected_split_1_5_200", cat({{(uint8_t)(poll | 3 << 5), 1, 5, 200}, prot}));
  Bytes truncated = protectedAnswer(0x72, 1, 1);
  truncated.resize(20);
  write(t, "protected_truncated", cat({{poll}, longFrame(0x08, 0x01, truncated)}));
  write(t, "protected_reset_each_poll", cat({{(uint8_t)(poll | 4 | 1 << 5), 16}, prot, prot}));
  write(t, "unarmed_then_lost", cat({{0x10}, ans72}));
  write(t, "fw_simple_chunk", cat({{poll}, longFrame(0x53, 0xFB, simpleChunk(192))}));
  write(t, "fw_block_status_request", cat({{poll}, longFrame(0x53, 0xFB, blockCommand(0x31, {}))}));
  write(t, "fw_block_start", cat({{poll}, longFrame(0x53, 0xFB, blockCommand(0x30, {0x2C, 0x01, 0, 0, 0x80}))}));
  write(t, "fw_encrypted_start",
        cat({{poll}, longFrame(0x53, 0xFB, protectedAnswer(0x5B, 1, 1, false))}));
  write(t, "direct_frames", cat({{direct}, kReqUd2, {0xE5, 0x00}, ans72, badChecksum}));
  write(t, "direct_bad_short_fills_buffer", cat({{direct}, withByte(kReqUd2, 3, 0), Bytes(270, 0x16)}));
  write(t, "direct_unarmed", cat({{0x08}, {0xE5, 0x10, 0x68}, kReqUd2}));
  write(t, "direct_no_reset_after_long", cat({{0x09}, longFrame(0x08, 0x01, Bytes(253, 0x2F)), Bytes(8, 0x16)}));
}

void telegram() {
  const std::string t = "fuzz_telegram";
  write(t, "answer_long_header", cat({{0x00}, protectedAnswer(0x72, 2, 5)}));
  write(t, "answer_short_header", cat({{0x00}, protectedAnswer(0x7A, 1, 0x80000000u)}));
  write(t, "answer_wrong_key_or_damage", cat({{0x00}, withByte(protectedAnswer(0x72, 2, 5), 40, 0)}));
  write(t, "answer_mode_not_7", cat({{0x00}, withByte(protectedAnswer(0x72, 1, 5), 30, 0x05)}));
  write(t, "answer_mac_only", cat({{0x02}, protectedPlain(0x72, 3, 9)}));
  write(t, "answer_unknown_ci", cat({{0x02}, withByte(protectedPlain(0x72, 1, 9), 17, 0x60)}));
  write(t, "answer_protect_by_harness", cat({{0x06}, protectedPlain(0x7A, 15, 1)}));
  write(t, "answer_too_many_blocks", cat({{0x02}, withByte(protectedPlain(0x72, 1, 9), 28, 0xF0)}));
  write(t, "no_afl", {0x00, 0x72, 0x01});
  write(t, "afl_only", {0x00, 0x90, 0x0F, 0x00});
  write(t, "afl_16_bytes", cat({{0x00}, Bytes(1, 0x90), Bytes(15, 0x00)}));
  write(t, "empty", {0x00});
  write(t, "command_status_request", cat({{0x01}, encryptedCommand({0x08, 0xFD, 0xF7, 0x31}, 1)}));
  write(t, "command_start", cat({{0x01}, encryptedCommand({0x0D, 0xFD, 0xF7, 0x30, 0x05, 0x2C, 0x01, 0, 0, 0x80}, 1)}));
  Bytes block = {0x0D, 0xFD, 0xF7, 0x32, 130, 0x00, 0x00};
  for (int i = 0; i < 128; ++i) block.push_back((uint8_t)i);
  write(t, "command_data_block", cat({{0x01}, encryptedCommand(block, 9)}));
  write(t, "command_afll_large", cat({{0x01}, withByte(encryptedCommand({0x0D, 0xFD, 0xF7, 0x33, 0x00}, 1), 1, 0xFE)}));
  write(t, "command_no_afl", cat({{0x01}, blockCommand(0x33, {})}));
}

void fields() {
  const std::string t = "fuzz_fields";
  write(t, "hex_key", cat({{0x00, 16}, text("5A17C3E90B4D62F8A1C07E3B9D2F4A68")}));
  write(t, "hex_id", cat({{0x00, 4}, text("01020304")}));
  write(t, "hex_odd", cat({{0x00, 1}, text("123")}));
  write(t, "hex_too_long", cat({{0x00, 1}, text("0000000aG0")}));
  write(t, "manufacturer_brv", cat({{0x01}, text("BRV")}));
  write(t, "manufacturer_short", cat({{0x01}, text("A")}));
  write(t, "fields_defaults", cat({{0x02}, text("BRV\n01020304\n40\n03\n5A17C3E90B4D62F8A1C07E3B9D2F4A68\n00000001")}));
  write(t, "fields_long_texts",
        cat({{0x02}, text("ABCD\n0102030405060708\n4041\n0304\n5A17C3E90B4D62F8A1C07E3B9D2F4A685A17\n0000000100")}));
  write(t, "fields_empty", cat({{0x02}, text("\n\n\n\n\n")}));
  const std::string config = "BRV\n01020304\n40\n03\n5A17C3E90B4D62F8A1C07E3B9D2F4A68\n";
  write(t, "config_lf", cat({{0x03}, text(config)}));
  write(t, "config_crlf", cat({{0x03}, text("BRV\r\n01020304\r\n40\r\n03\r\n5A17C3E90B4D62F8A1C07E3B9D2F4A68\r\n")}));
  write(t, "config_two_lines", cat({{0x03}, text("ABC\n11223344\n")}));
  write(t, "config_no_final_newline", cat({{0x03}, text("BRV\n01020304\n40")}));
  write(t, "config_long_line", cat({{0x03}, text(std::string(300, 'A') + "\nB\n")}));
  write(t, "config_eight_lines", cat({{0x03}, text(config + "x\ny\nz\n")}));
  write(t, "config_empty", {0x03});
}

Bytes protectedCommand(const Bytes& record, uint8_t blocks) {
  Bytes app = encryptedCommand(record, blocks);
  ref::protect(app.data(), app.size(), false);
  return app;
}

Bytes dataRecord(uint16_t number, const Bytes& image, size_t offset) {
  const size_t n = std::min<size_t>(128, image.size() - offset);
  Bytes params = {(uint8_t)number, (uint8_t)(number >> 8)};
  params.insert(params.end(), image.begin() + (long)offset, image.begin() + (long)(offset + n));
  return params;
}

void dongleEngine() {
  const std::string t = "fuzz_dongle_engine";
  const Bytes plain = {0x04, 0x01, 0x00, 0x00};       // no pacing, one write
  const Bytes paced = {0x00, 0x01, 0x14, 0x00};       // 9600 baud, 20 ms between writes
  Bytes image(300);
  for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 13 + 5);
  auto sndUd = [](const Bytes& data) { return longFrame(0x53, 0xFB, data); };

  write(t, "snd_nke_req_ud2", cat({plain, kSndNke, kReqUd2}));
  write(t, "req_ud2_protected_answer", cat({{0x05, 0x01, 0x00, 0x00}, kReqUd2, kReqUd2}));

  Bytes simple = plain;
  for (uint32_t offset = 0; offset < image.size(); offset += 192) {
    const uint8_t n = (uint8_t)std::min<size_t>(192, image.size() - offset);
    Bytes chunk = {0x5A, 0x01, 0x00, 0x00, 0x00, 0x0F, 0x35, 0x88, n};
    const uint32_t address = 0x4800 + offset;
    chunk = cat({chunk, {(uint8_t)address, (uint8_t)(address >> 8), 0, 0}});
    chunk.insert(chunk.end(), image.begin() + offset, image.begin() + offset + n);
    simple = cat({simple, sndUd(chunk)});
  }
  simple = cat({simple, sndUd({0x5A, 0x02, 0, 0, 0, 0x0F, 0x35, 0x8D}), sndUd({0x5A, 0x03, 0, 0, 0, 0x0F, 0x35, 0x8E})});
  write(t, "simple_protocol_300", simple);

  const Bytes length = {(uint8_t)image.size(), (uint8_t)(image.size() >> 8), 0, 0};
  Bytes block = cat({plain, sndUd(blockCommand(0x31, {})), sndUd(blockCommand(0x30, cat({length, {0x80}}))), kReqUd2});
  for (uint16_t b = 0; b * 128u < image.size(); ++b)
    block = cat({block, sndUd(blockCommand(0x32, dataRecord(b, image, b * 128u))), kReqUd2});
  block = cat({block, sndUd(blockCommand(0x33, {})), sndUd(blockCommand(0x36, {})), kReqUd2, kReqUd2,
               sndUd(blockCommand(0x34, {}))});
  write(t, "block_protocol_300", block);
  write(t, "block_protocol_300_paced_split", cat({{0x00, 0x01, 0x03, 0x03, 5, 17, 0}, Bytes(block.begin() + 4, block.end())}));
  write(t, "block_protocol_300_faults", cat({{0x0D, 0xC5, 0x40, 0x00}, Bytes(block.begin() + 4, block.end())}));

  Bytes encrypted = cat({{0x05, 0x01, 0x00, 0x00}, sndUd(protectedCommand({0x08, 0xFD, 0xF7, 0x31}, 1)), kReqUd2,
                         sndUd(protectedCommand(cat({{0x0D, 0xFD, 0xF7, 0x30, 0x05}, length, {0x80}}), 1)), kReqUd2});
  for (uint16_t b = 0; b * 128u < image.size(); ++b) {
    const Bytes params = dataRecord(b, image, b * 128u);
    const Bytes record = cat({{0x0D, 0xFD, 0xF7, 0x32, (uint8_t)params.size()}, params});
    encrypted = cat({encrypted, sndUd(protectedCommand(record, (uint8_t)((params.size() + 22) / 16))), kReqUd2});
  }
  encrypted = cat({encrypted, sndUd(protectedCommand({0x0D, 0xFD, 0xF7, 0x33, 0x00}, 1)), kReqUd2,
                   sndUd(protectedCommand({0x0D, 0xFD, 0xF7, 0x34, 0x00}, 1))});
  write(t, "encrypted_protocol_300", encrypted);
  write(t, "encrypted_protocol_small_limit", cat({{0x15, 0x01, 0x00, 0x00}, Bytes(encrypted.begin() + 4, encrypted.end())}));
  write(t, "garbage_and_broken_frames",
        cat({paced, {0x00, 0xE5, 0x55}, withByte(kReqUd2, 3, 0), {0x68, 0x05, 0x06, 0x68}, kReqUd2}));
  write(t, "start_huge_length", cat({plain, sndUd(blockCommand(0x30, {0xFF, 0xFF, 0xFF, 0xFF, 0x00}))}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  receivePath();
  telegram();
  fields();
  dongleEngine();
  return 0;
}
