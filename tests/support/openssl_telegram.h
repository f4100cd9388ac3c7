// The far end of security mode 7, built on OpenSSL alone and independent of
// the tool's own cipher code: tests use it to make protected answers "from a
// meter" and to check telegrams the tool protected "for a meter".
//
// Application part layout assumed throughout: AFL of 17 bytes (CI 0x90,
// AFLL, FCL, MCL at 4, MCR at 5 LSB first, MAC at 9..16), the TPL CI at
// AFLL + 2, its header ending in the configuration field (low byte 16N,
// high byte mode), the CFE in mode 7, then 16N encrypted bytes and any rest.
// The MAC is the first 8 bytes of the CMAC over MCL, MCR and bytes 17 to the
// end, under the derived MAC key; the area is AES-CBC with a zero IV.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ossl {

using Block = std::array<uint8_t, 16>;

// Derivation constants of the four keys.
enum : uint8_t { kEncFromMeter = 0x00, kMacFromMeter = 0x01, kEncToMeter = 0x10, kMacToMeter = 0x11 };

// AES-CMAC (EVP_MAC "CMAC" with AES-128-CBC), the full 16-byte tag.
Block cmac(const uint8_t key[16], const uint8_t* data, size_t length);
// AES-128-CBC without padding over whole blocks, IV zero unless given.
void cbc(const uint8_t key[16], uint8_t* data, size_t length, bool encrypt, const uint8_t* iv = nullptr);
// CMAC under `key` of: constant, counter LSB first, meter id, seven 0x07.
Block deriveKey(const uint8_t key[16], uint8_t constant, const uint8_t meterId[4], uint32_t counter);

// A plain application part. The configuration low byte is the area size
// plus `configLowNibble`; the CFE (0x10) follows when the mode bits of
// `configHigh` are 7.
struct TelegramLayout {
  uint32_t counter = 1;
  uint8_t tplCi = 0x7A;  // 0x5A/0x7A short header, 0x5B/0x6C/0x6D/0x72 long
  std::array<uint8_t, 8> address{};  // long header only: id, manufacturer, version, device type
  uint8_t accessNumber = 0x01;
  uint8_t status = 0x00;
  uint8_t configLowNibble = 0x00;
  uint8_t configHigh = 0x07;
  std::vector<uint8_t> area;  // plain, a multiple of 16 bytes, normally starting 2F 2F
  std::vector<uint8_t> rest;  // clear bytes after the area
};
// The part with a zero MAC field; `areaOffset` receives where the area starts.
std::vector<uint8_t> plainApplicationPart(const TelegramLayout& layout, size_t* areaOffset = nullptr);
// Built, area encrypted and MAC written, as the given side would send it.
std::vector<uint8_t> protectedApplicationPart(const TelegramLayout& layout, const uint8_t meterId[4],
                                              const uint8_t key[16], bool fromMeter);
// The bytes a MAC covers: MCL, MCR, then bytes 17 to the end (bytes 12 on,
// with MCL and MCR in place of the last five MAC bytes).
std::vector<uint8_t> macInput(const std::vector<uint8_t>& app);
// Rewrites bytes 9..16 with the MAC of the part as it stands (after a test
// has changed a header byte, say). Needs at least 17 bytes.
void writeMac(std::vector<uint8_t>& app, const uint8_t meterId[4], const uint8_t key[16], bool fromMeter);
// The receiving side: true when the MAC is right, the header known and the
// area inside the part; then the area is decrypted in place. The MAC field
// is left as received.
bool verifyAndDecrypt(std::vector<uint8_t>& app, const uint8_t meterId[4], const uint8_t key[16], bool fromMeter);

}  // namespace ossl
