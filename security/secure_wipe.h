// Clears key material on the stack after use; volatile so the stores survive
// the optimiser even though the buffer is dead afterwards.
#pragma once
#include <cstddef>
#include <cstdint>

inline void secureWipe(void* buffer, size_t length) {
  volatile uint8_t* bytes = static_cast<volatile uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) bytes[i] = 0;
}
