// Writes a firmware file of deterministic pseudo-random bytes (xorshift32),
// so every build has the same sample image: make-sample-firmware PATH SIZE [SEED].
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make-sample-firmware PATH SIZE [SEED]\n");
    return 2;
  }
  long size = std::strtol(argv[2], nullptr, 10);
  uint32_t x = argc > 3 ? (uint32_t)std::strtoul(argv[3], nullptr, 0) : 0xC0FFEEu;
  if (size < 0 || x == 0) return 2;
  FILE* f = std::fopen(argv[1], "wb");
  if (!f) return 1;
  for (long i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    std::fputc((int)(x >> 24), f);
  }
  return std::fclose(f) == 0 ? 0 : 1;
}
