// The data records of the EN 13757-3 application layer: bytes in, records out.
// Pure functions: no I/O, no state, no exceptions; nothing is read outside the
// buffer given, and every offset below counts from that buffer's first byte.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class RecordFunction : uint8_t { Instantaneous, Maximum, Minimum, DuringError };
// None: no data or a readout selection. Error: a value the record cannot give
// (BCD with digits A-F, an impossible date, a record error VIFE); `text` says why.
enum class ValueKind : uint8_t { None, Number, Text, Error };

struct Record {
  size_t offset = 0, length = 0;          // DIF to the last data byte
  size_t dataOffset = 0, dataLength = 0;  // the data field (after an LVAR byte)
  uint64_t storage = 0;
  uint32_t tariff = 0;
  uint16_t subunit = 0;
  RecordFunction function = RecordFunction::Instantaneous;
  std::string quantity;  // "Volume", "Access number", "Manufacturer data", ...
  std::string unit;      // "m^3", "°C", ...; empty when there is none
  ValueKind kind = ValueKind::None;
  double number = 0;     // Number: scaled by the VIF's exponent
  std::string text;      // Text: ISO 8601 date, text, hex; Error: the reason
  std::vector<std::string> notes;  // what the VIFEs say beyond the unit: "upper limit value", ...
  std::vector<uint8_t> rawVifes;   // VIFEs not understood or manufacturer specific, from the first such one
};

// Why decoding ended. The first three are a whole record area; the rest stop
// at `stopOffset`, before the record (or frame part) that could not be read.
enum class DecodeEnd : uint8_t {
  Complete,
  ManufacturerData,   // DIF 0F: the rest is one manufacturer-data record
  MoreRecordsFollow,  // DIF 1F: the same, and the next telegram goes on
  Truncated,          // a record runs past the end
  TooManyDifes,       // more than 10
  TooManyVifes,       // more than 10
  ReservedDif,        // special function 3F-6F or 8F-FF: its length is unknown
  ReservedLvar,       // LVAR CA-CF, DA-DF, F5-FF: its length is unknown
  NotALongFrame,      // start, lengths or stop byte wrong
  BadChecksum,
  UnsupportedCi,      // frames: other than 72, 7A, 78; protected: TPL other than 72, 7A
  HeaderTruncated,
  NotDecrypted,       // a protected area that does not begin with 2F 2F
};

struct RecordList {
  std::vector<Record> records;  // in the order of the bytes; 2F fillers are none
  DecodeEnd end = DecodeEnd::Complete;
  size_t stopOffset = 0;        // the end of the decoded bytes
};

// The records of data[start, length).
[[nodiscard]] RecordList decodeRecords(const uint8_t* data, size_t length, size_t start = 0);

struct MeterHeader {
  uint8_t control = 0, address = 0, ci = 0;
  bool hasIdentity = false;    // CI 72: the four fields below
  std::string id;              // 8 digits, most significant first (hex digits kept)
  std::string manufacturer;    // three letters; empty when the code's top bit is set
  uint8_t version = 0, medium = 0;
  bool hasAccess = false;      // CI 72 and 7A: the three fields below
  uint8_t accessNumber = 0, status = 0;
  uint16_t signature = 0;      // configuration field, LSB first on the wire
};

struct FrameRecords {
  MeterHeader header;
  RecordList list;
};

// A whole long frame, 68 L L 68 C A CI ... CS 16, with CI 72, 7A or 78.
[[nodiscard]] FrameRecords decodeFrame(const uint8_t* frame, size_t length);
// A protected answer after decryption, from its CI 90 to the last data byte:
// the AFL, the TPL header (72 or 7A), then records after 2F 2F.
[[nodiscard]] FrameRecords decodeProtectedRecords(const uint8_t* part, size_t length);

// The message counter record 04 FD 08 + 4 bytes, found by walking a frame's
// records. CannotWalk: damaged frame or manufacturer data before the record
// was found, so the caller may fall back to searching the bytes.
enum class CounterSearch : uint8_t { Found, NotFound, CannotWalk };
struct CounterRecord {
  CounterSearch result = CounterSearch::CannotWalk;
  size_t offset = 0;  // Found: the DIF within the frame
  uint32_t counter = 0;
};
[[nodiscard]] CounterRecord findCounterRecord(const uint8_t* frame, size_t length);

// "  Volume 28504.27 m^3 (storage 1, maximum)"; no line end.
std::string formatRecord(const Record& record);
// Where and why decoding ended, one line without line end.
std::string describeEnd(const RecordList& list);
