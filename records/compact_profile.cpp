#include "records/compact_profile.h"

#include "records/record_values.h"

namespace {

constexpr const char* MODES[4] = {"absolute", "increment", "decrement", "difference"};
constexpr const char* SPACING_UNITS[4] = {"s", "min", "h", "d"};
constexpr uint8_t SPACING_MONTH = 0xFD, SPACING_HALF_MONTH = 0xFE, SPACING_LAST = 0xFA;

// The element's size by the control byte's low nibble (as a DIF's data
// field); 0 where it names no fixed-size integer or BCD.
size_t elementSize(uint8_t code, bool& bcd) {
  static constexpr uint8_t SIZES[16] = {0, 1, 2, 3, 4, 0, 6, 8, 0, 1, 2, 3, 4, 0, 6, 0};
  bcd = code >= 9;
  return SIZES[code & 15];
}

}  // namespace

bool readCompactProfile(const uint8_t* d, size_t n, ProfileKind kind, int exponent, uint64_t storage,
                        CompactProfile& out, std::string& why) {
  if (n < 2) return why = "no spacing control and spacing value", false;
  const uint8_t control = d[0], spacing = d[1];
  bool bcd = false;
  const size_t size = elementSize(control & 0x0F, bcd);
  if (!size) return why = "element size code " + hexText(&control, 1) + " is no integer or BCD", false;
  if ((n - 2) % size) return why = std::to_string(n - 2) + " bytes are no whole number of elements", false;
  out.kind = kind;
  out.mode = MODES[control >> 6];
  if (spacing <= SPACING_LAST) out.spacing = spacing, out.spacingUnit = SPACING_UNITS[(control >> 4) & 3];
  else if (spacing == SPACING_MONTH) out.spacing = 1, out.spacingUnit = "month";
  else if (spacing == SPACING_HALF_MONTH) out.spacing = 1, out.spacingUnit = "half month";
  else return why = "reserved spacing value " + hexText(&spacing, 1), false;
  // Increments and decrements count up from zero: unsigned; the rest signed.
  const IntegerType type = (control >> 6) == 1 || (control >> 6) == 2 ? IntegerType::Unsigned : IntegerType::Signed;
  for (size_t at = 2, k = 0; at < n; at += size, ++k) {
    Record element;
    if (bcd) readBcd(element, d + at, size, false, exponent);
    else readInteger(element, d + at, size, type, exponent);
    const uint64_t position = kind == ProfileKind::WithRegisters ? storage + k : k + 1;
    out.elements.push_back({position, element.kind == ValueKind::Error ? "error: " + element.text : element.number});
  }
  return true;
}
