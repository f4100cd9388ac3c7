#include "virtual-dongle/dongle_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vdongle {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Exactly 2*n hex digits, first pair first.
bool parseHexBytes(const char* text, uint8_t* out, size_t n) {
  if (std::strlen(text) != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    int hi = hexValue(text[2 * i]), lo = hexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = (uint8_t)(hi * 16 + lo);
  }
  return true;
}

bool parseUnsigned(const char* text, int base, uint64_t max, uint64_t& out) {
  if (!*text || *text == '-' || *text == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, base);
  if (errno || *end || v > max) return false;
  out = v;
  return true;
}

bool parseShare(const char* text, double& out) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (!*text || *end || !(v >= 0 && v <= 1)) return false;
  out = v;
  return true;
}

}  // namespace

std::string usage() {
  return "usage: virtual-dongle [options]\n"
         "  --link PATH           also reach the pty through this symlink\n"
         "  --print-path-only     first line is just the pty's path\n"
         "  --manufacturer ABC    three letters (BRV)\n"
         "  --id HEX8             identification, most significant first (01020304)\n"
         "  --version HEX2        (40)\n"
         "  --device-type HEX2    (03)\n"
         "  --key HEX32           communication key (5A17C3E90B4D62F8A1C07E3B9D2F4A68);\n"
         "                        giving it also protects the answers\n"
         "  --protected-answers   answer REQ_UD2 with CI 0x90 (security mode 7)\n"
         "  --plain-answers       answer REQ_UD2 with CI 0x72 (the default)\n"
         "  --counter HEX8        message counter of the first answer (00000001)\n"
         "  --accepted-counter HEX8  a counter accepted before: older ones are replays\n"
         "  --baud 9600|2400|0    pace the output like that line; 0: no pacing (9600)\n"
         "  --reply-delay-ms N    from a telegram's end to the start of the reply;\n"
         "                        0: one character time (3)\n"
         "  --usb-latency-ms N    hold sent bytes until N ms after the first, then write\n"
         "                        them at once, as a USB adapter's latency timer does\n"
         "                        (FTDI: 16 by default, 1 with low latency); 0: none (0)\n"
         "  --output PATH         where a received image goes (received-firmware.bin)\n"
         "  --summary-file PATH   key=value summary, rewritten after each transfer and at exit\n"
         "  --seed N              seed of the faults below (1)\n"
         "  --drop-ack P          share of acknowledgements not sent (0..1)\n"
         "  --corrupt P           share of answers sent with a damaged byte\n"
         "  --stray P             share of transmissions preceded by stray bytes\n"
         "  --late-ack P          share of acknowledgements sent late\n"
         "  --late-ms MS          how late (2500)\n"
         "  --silent-after N      serve N telegrams, then stay silent\n"
         "  --close-after N       serve N telegrams, then close the line and exit\n";
}

bool parseOptions(int argc, const char* const* argv, Options& options, std::string& error) {
  DongleConfig& c = options.config;
  int protect = -1;
  bool keyGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    auto flag = [&](const char* f) { return name == f; };
    if (flag("--help") || flag("-h")) {
      options.help = true;
      continue;
    }
    if (flag("--print-path-only")) {
      options.printPathOnly = true;
      continue;
    }
    if (flag("--protected-answers") || flag("--plain-answers")) {
      protect = flag("--protected-answers");
      continue;
    }
    if (i + 1 >= argc) {
      error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown argument " + name;
      return false;
    }
    const char* v = argv[++i];
    uint64_t u = 0;
    bool ok = true;
    if (flag("--link")) {
      options.link = v;
    } else if (flag("--output")) {
      options.output = v;
    } else if (flag("--summary-file")) {
      options.summaryFile = v;
    } else if (flag("--manufacturer")) {
      ok = std::strlen(v) == 3;
      for (int k = 0; ok && k < 3; ++k) ok = v[k] >= 'A' && v[k] <= 'Z';
      if (ok) c.identity.manufacturer = (uint16_t)((v[0] - 64) * 1024 + (v[1] - 64) * 32 + (v[2] - 64));
    } else if (flag("--id")) {
      uint8_t msbFirst[4];
      ok = parseHexBytes(v, msbFirst, 4);
      for (int k = 0; ok && k < 4; ++k) c.identity.id[k] = msbFirst[3 - k];
    } else if (flag("--version")) {
      ok = parseHexBytes(v, &c.identity.version, 1);
    } else if (flag("--device-type")) {
      ok = parseHexBytes(v, &c.identity.deviceType, 1);
    } else if (flag("--key")) {
      ok = parseHexBytes(v, c.key, 16);
      keyGiven = true;
    } else if (flag("--counter")) {
      ok = std::strlen(v) <= 8 && parseUnsigned(v, 16, 0xFFFFFFFFu, u);
      c.answerCounter = (uint32_t)u;
    } else if (flag("--accepted-counter")) {
      ok = std::strlen(v) <= 8 && parseUnsigned(v, 16, 0xFFFFFFFFu, u);
      c.acceptedCounter = (int64_t)u;
    } else if (flag("--baud")) {
      ok = parseUnsigned(v, 10, 9600, u) && (u == 9600 || u == 2400 || u == 0);
      c.baud = (int)u;
    } else if (flag("--reply-delay-ms")) {
      ok = parseUnsigned(v, 10, 60000, u);
      c.replyDelayUs = u * 1000;
    } else if (flag("--usb-latency-ms")) {
      ok = parseUnsigned(v, 10, 255, u);  // the range of an FTDI latency timer
      options.usbLatencyUs = u * 1000;
    } else if (flag("--seed")) {
      ok = parseUnsigned(v, 10, UINT64_MAX, u);
      c.faults.seed = u;
    } else if (flag("--drop-ack")) {
      ok = parseShare(v, c.faults.dropAck);
    } else if (flag("--corrupt")) {
      ok = parseShare(v, c.faults.corrupt);
    } else if (flag("--stray")) {
      ok = parseShare(v, c.faults.stray);
    } else if (flag("--late-ack")) {
      ok = parseShare(v, c.faults.lateAck);
    } else if (flag("--late-ms")) {
      ok = parseUnsigned(v, 10, 3600000, u);
      c.faults.lateAckUs = u * 1000;
    } else if (flag("--silent-after")) {
      ok = parseUnsigned(v, 10, INT64_MAX, u);
      c.faults.silentAfter = (int64_t)u;
    } else if (flag("--close-after")) {
      ok = parseUnsigned(v, 10, INT64_MAX, u);
      c.faults.closeAfter = (int64_t)u;
    } else {
      error = "unknown option " + name;
      return false;
    }
    if (!ok) {
      error = "bad value for " + name + ": " + v;
      return false;
    }
  }
  c.protectAnswers = protect >= 0 ? protect == 1 : keyGiven;
  return true;
}

std::string summaryLine(const TransferSummary& s, const std::string& file) {
  char line[512];
  std::snprintf(line, sizeof line,
                "firmware received: protocol=%s %s=%u repeats=%u missing=%u length=%u crc32=0x%08X "
                "crc32_std=0x%08X complete=%s rejected=%u file=%s",
                protocolName(s.protocol), s.protocol == FwProtocol::Simple ? "chunks" : "blocks", s.units, s.repeats,
                s.missing, s.length, s.crc32, s.crc32Std, s.complete ? "yes" : "no", s.rejected, file.c_str());
  return line;
}

std::string summaryFileText(const TransferSummary* last, const std::string& file, const DongleStats& st) {
  std::string text;
  auto add = [&](const char* key, unsigned long long value) {
    text += key;
    text += '=';
    text += std::to_string(value);
    text += '\n';
  };
  char crc[16];
  if (last) {
    text += std::string("protocol=") + protocolName(last->protocol) + "\n";
    add("units", last->units);
    add(last->protocol == FwProtocol::Simple ? "chunks" : "blocks", last->units);
    add("expected", last->expected);
    add("missing", last->missing);
    add("repeats", last->repeats);
    add("rejected", last->rejected);
    add("length", last->length);
    std::snprintf(crc, sizeof crc, "0x%08X", last->crc32);
    text += std::string("crc32=") + crc + "\n";
    std::snprintf(crc, sizeof crc, "0x%08X", last->crc32Std);
    text += std::string("crc32_std=") + crc + "\n";
    text += std::string("complete=") + (last->complete ? "yes" : "no") + "\n";
    text += "file=" + file + "\n";
  }
  add("transfers", st.transfersFinished);
  add("repeated_finishes", st.repeatedFinishes);
  add("telegrams", st.telegrams);
  add("foreign_frames", st.foreignFrames);
  add("bad_frames", st.badFrames);
  add("garbage_bytes", st.garbageBytes);
  add("truncated_frames", st.truncatedFrames);
  add("acks_sent", st.acksSent);
  add("acks_dropped", st.acksDropped);
  add("acks_late", st.acksLate);
  add("answers_sent", st.answersSent);
  add("answers_corrupted", st.answersCorrupted);
  add("stray_bytes", st.strayBytes);
  add("mac_failures", st.macFailures);
  add("stale_counters", st.staleCounters);
  add("decrypt_failures", st.decryptFailures);
  add("layout_failures", st.layoutFailures);
  add("unknown_telegrams", st.unknownTelegrams);
  add("last_counter", st.lastAcceptedCounter);
  return text;
}

}  // namespace vdongle
