// Published AES-128, CBC and CMAC test vectors, shared by the tool's cipher
// tests and the virtual dongle's crypto test.
#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

inline std::vector<uint8_t> fromHex(const char* text) {
  std::vector<uint8_t> out;
  for (; text[0] && text[1]; text += 2) {
    unsigned v = 0;
    std::sscanf(text, "%2x", &v);
    out.push_back((uint8_t)v);
  }
  return out;
}

namespace vectors {

// FIPS-197 appendix C.1 (AES-128).
inline const std::vector<uint8_t> c1Key = fromHex("000102030405060708090a0b0c0d0e0f");
inline const std::vector<uint8_t> c1Plain = fromHex("00112233445566778899aabbccddeeff");
inline const std::vector<uint8_t> c1Cipher = fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");

// The key of FIPS-197 appendix A.1, NIST SP 800-38A and RFC 4493, and the
// four plaintext blocks that SP 800-38A and RFC 4493 share.
inline const std::vector<uint8_t> key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
inline const std::vector<uint8_t> plain = fromHex(
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");

// FIPS-197 appendix A.1: the 44 words w0..w43 of the expansion of `key`.
inline const std::vector<uint8_t> a1Schedule = fromHex(
    "2b7e151628aed2a6abf7158809cf4f3ca0fafe1788542cb123a339392a6c7605f2c295f27a96b9435935807a7359f67f"
    "3d80477d4716fe3e1e237e446d7a883bef44a541a8525b7fb671253bdb0bad00d4d1c6f87c839d87caf2b8bc11f915bc"
    "6d88a37a110b3efddbf98641ca0093fd4e54f70e5f5fc9f384a64fb24ea6dc4fead27321b58dbad2312bf5607f8d292f"
    "ac7766f319fadc2128d12941575c006ed014f9a8c9ee2589e13f0cc8b6630ca6");

// SP 800-38A F.1.1 ECB-AES128, the first block's ciphertext.
inline const std::vector<uint8_t> ecbFirst = fromHex("3ad77bb40d7a3660a89ecaf32466ef97");

// SP 800-38A F.2.1 / F.2.2 CBC-AES128.
inline const std::vector<uint8_t> cbcIv = fromHex("000102030405060708090a0b0c0d0e0f");
inline const std::vector<uint8_t> cbcCipher = fromHex(
    "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");

// RFC 4493 section 4: the subkeys of `key`, then examples 1 to 4, the CMAC
// of the first 0, 16, 40 and 64 bytes of `plain`.
inline const std::vector<uint8_t> cmacK1 = fromHex("fbeed618357133667c85e08f7236a8de");
inline const std::vector<uint8_t> cmacK2 = fromHex("f7ddac306ae266ccf90bc11ee46d513b");
struct CmacExample {
  int length;
  std::vector<uint8_t> tag;
};
inline const CmacExample cmacExamples[4] = {{0, fromHex("bb1d6929e95937287fa37d129b756746")},
                                            {16, fromHex("070a16b46b4d4144f79bdd9dd04a287c")},
                                            {40, fromHex("dfa66747de9ae63030ca32611497c827")},
                                            {64, fromHex("51f0bebf7e3b9d92fc49741779363cfe")}};

}  // namespace vectors
