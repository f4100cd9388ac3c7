// Security mode 7 telegrams: verify and decrypt answers from the meter,
// encrypt and authenticate telegrams to it. Traces go to the sink (the log).
//
// An application part runs from the AFL CI to the last data byte and is
// always given with its length; nothing beyond that length is read or
// written. The AFL is taken as 17 fixed bytes: MCL at 4, MCR at 5 (LSB
// first), MAC at 9; the TPL CI sits at (AFLL + 2) mod 256. The two readers
// below are the only place that layout is read, for answers as for telegrams.
#pragma once
#include <cstdint>

#include "interfaces/trace_sink.h"
#include "security/key_derivation.h"

constexpr uint8_t CI_AFL = 0x90;
constexpr uint32_t AFL_FIXED_LENGTH = 17;
constexpr uint32_t AFL_COUNTER_OFFSET = 5;
constexpr uint32_t AFL_MAC_OFFSET = 9;

// Where the TPL CI follows the AFL; the part holds at least 2 bytes.
[[nodiscard]] uint32_t aflTplOffset(const uint8_t* part);
// The AFL's message counter; the part holds at least 9 bytes.
[[nodiscard]] uint32_t aflCounter(const uint8_t* part);

// Which check of telegramDecrypt refused an answer, in the order they run.
enum class DecryptResult : uint8_t {
  Ok,
  NoAfl,                 // the part does not begin with CI 0x90
  LengthOutOfRange,      // shorter than the AFL, or too long to count
  MacMismatch,
  AreaBeyondEnd,         // the TPL header or the announced area runs past the end
  NoFillerAfterDecrypt,  // decrypted, but the area does not begin 2F 2F
};

// Verifies the MAC (MacFromMeter), then decrypts the area in place
// (EncFromMeter); Ok when it begins 2F 2F. Nothing is decrypted before the
// MAC and the layout have passed.
[[nodiscard]] DecryptResult telegramDecrypt(TraceSink& trace, uint8_t* app, uint32_t length, const uint8_t meterId[4],
                              const uint8_t key[16]);
// Encrypts the area (EncToMeter) and writes the MAC (MacToMeter) over bytes
// 9..16. Refused, with nothing changed or logged, when the AFL is missing or
// incomplete or the TPL header or the announced area runs past the end.
enum class ProtectResult : uint8_t { Protected, Refused };
[[nodiscard]] ProtectResult telegramEncryptAndMac(TraceSink& trace, uint8_t* app, uint32_t length, const uint8_t meterId[4],
                           const uint8_t key[16]);

// The steps of the two operations above, each tracing inputs, derived key and
// result. `fromMeter` picks the MacFromMeter/EncFromMeter derivation
// constants, else MacToMeter/EncToMeter.
void telegramMac(TraceSink& trace, uint8_t mac[16], const uint8_t* data, int32_t length, const MeterId meterId,
                 uint32_t counter, const uint8_t key[16], bool fromMeter);
// Compares the 8 received bytes with the tag's first 8 in constant time.
[[nodiscard]] bool telegramVerifyMac(TraceSink& trace, const uint8_t receivedMac[8], const uint8_t* data, int32_t length,
                       const MeterId meterId, uint32_t counter, const uint8_t key[16], bool fromMeter);
// CBC with a zero IV over the whole blocks of the first 240 bytes.
void telegramEncrypt(TraceSink& trace, uint8_t* data, int32_t length, const MeterId meterId, uint32_t counter,
                     const uint8_t key[16], bool fromMeter);
