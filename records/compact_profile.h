// OMS compact profiles (VIFE 1F, 1E, 13): a spacing control byte, a spacing
// value, then elements of one size, as the control byte says.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "records/records.h"

// The profile in data[0, n); false with `why` when it cannot be read.
bool readCompactProfile(const uint8_t* data, size_t n, ProfileKind kind, int exponent, uint64_t storage,
                        CompactProfile& out, std::string& why);
