// A record's data field as text: exact decimals (integers and BCD never pass
// through a double), reals by their shortest digits, dates, hex.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "interfaces/text_format.h"
#include "records/records.h"

// `magnitude` times 10^exponent, exactly: "28504.27", "-0.002", "50000".
std::string decimalText(uint64_t magnitude, bool negative, int exponent);
// A float's shortest digits that read back as it, times 10^exponent; "NaN",
// "Infinity", "-Infinity" when it is not finite.
std::string realText(float value, int exponent);
// Least significant byte first on the wire, most significant first here.
std::string hexMsbFirst(const uint8_t* p, size_t n);

// How the VIF says to read an integer data field.
enum class IntegerType : uint8_t { Signed, Unsigned, BitField };
void readInteger(Record& r, const uint8_t* p, size_t n, IntegerType type, int exponent);
// A leading F is the minus sign; other digits A-F make it an error.
void readBcd(Record& r, const uint8_t* p, size_t n, bool negative, int exponent);
// Types G (2 bytes), J (3), F (4) and I (6); the summer-time bit becomes a note.
void readDate(Record& r, const uint8_t* p, size_t n);
