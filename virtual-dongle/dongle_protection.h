// Security mode 7 as the dongle sees it: opens telegrams sent to the meter
// (MacToMeter, EncToMeter) and protects its answers (MacFromMeter,
// EncFromMeter). The AFL is 17 bytes: CI 0x90, AFLL, FCL, MCL at 4, MCR at 5
// (LSB first), MAC at 9; the MAC covers MCL, MCR and every byte from offset
// 17 to the end; encryption comes first, then the MAC.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vdongle {

enum class OpenStatus { Ok, NotProtected, BadLayout, BadMac, NotDecrypted, CryptoFailed };

struct OpenedTelegram {
  OpenStatus status = OpenStatus::NotProtected;
  uint32_t counter = 0;     // MCR, valid from BadMac on
  uint8_t tplCi = 0;
  std::vector<uint8_t> app;  // the application part, encrypted area in clear when Ok
  size_t areaOffset = 0;     // encrypted area within `app`
  size_t areaLength = 0;
};

// Verifies and decrypts a copy of `app` (CI 0x90 to the last data byte). Ok
// only when the MAC is right and the decrypted area begins 2F 2F.
OpenedTelegram openToMeter(const uint8_t* app, size_t n, const uint8_t id[4], const uint8_t key[16]);

// Builds a protected answer: AFL (AFLL 0F, FCL 00 2C, MCL 25, `counter`),
// then `tplHeader` (TPL CI and the long header up to the status byte, 11
// bytes), configuration 16N / 0x07, CFE 0x10, and the encrypted area
// 2F 2F + `records`, filled with 2F to whole blocks. Empty when the records
// need more than 240 bytes or the header is not 11 bytes.
std::vector<uint8_t> protectFromMeter(const std::vector<uint8_t>& tplHeader, const std::vector<uint8_t>& records,
                                      uint32_t counter, const uint8_t id[4], const uint8_t key[16]);

// Where a TPL header puts the configuration field and the encrypted area
// (relative to the TPL CI). false for a CI without a known header.
bool tplLayout(uint8_t ci, size_t& configOffset, size_t& areaOffset);

}  // namespace vdongle
