#include "link/record_units.h"

#include <cstdio>

#include "interfaces/text_format.h"

namespace {

// How a family of codes scales: Exp steps the exponent by one per code, Time
// steps through TIME_UNITS, Fixed keeps `exp`, Date has no unit.
enum class Scale : uint8_t { Exp, Time, Fixed, Date };

struct Family {
  uint8_t first, last;
  Scale scale;
  int8_t exp;  // Exp: exponent of `first`; Time: index of `first`'s unit; Fixed: the exponent
  const char* quantity;
  const char* unit;
};

constexpr const char* TIME_UNITS[] = {"s", "min", "h", "d", "month", "year"};

constexpr Family PRIMARY[] = {
    {0x00, 0x07, Scale::Exp, -3, "Energy", "Wh"},
    {0x08, 0x0F, Scale::Exp, 0, "Energy", "J"},
    {0x10, 0x17, Scale::Exp, -6, "Volume", "m^3"},
    {0x18, 0x1F, Scale::Exp, -3, "Mass", "kg"},
    {0x20, 0x23, Scale::Time, 0, "On time", ""},
    {0x24, 0x27, Scale::Time, 0, "Operating time", ""},
    {0x28, 0x2F, Scale::Exp, -3, "Power", "W"},
    {0x30, 0x37, Scale::Exp, 0, "Power", "J/h"},
    {0x38, 0x3F, Scale::Exp, -6, "Volume flow", "m^3/h"},
    {0x40, 0x47, Scale::Exp, -7, "Volume flow", "m^3/min"},
    {0x48, 0x4F, Scale::Exp, -9, "Volume flow", "m^3/s"},
    {0x50, 0x57, Scale::Exp, -3, "Mass flow", "kg/h"},
    {0x58, 0x5B, Scale::Exp, -3, "Flow temperature", "°C"},
    {0x5C, 0x5F, Scale::Exp, -3, "Return temperature", "°C"},
    {0x60, 0x63, Scale::Exp, -3, "Temperature difference", "K"},
    {0x64, 0x67, Scale::Exp, -3, "External temperature", "°C"},
    {0x68, 0x6B, Scale::Exp, -3, "Pressure", "bar"},
    {0x6C, 0x6C, Scale::Date, 0, "Date", ""},
    {0x6D, 0x6D, Scale::Date, 0, "Date and time", ""},
    {0x6E, 0x6E, Scale::Fixed, 0, "Units for H.C.A.", ""},
    {0x70, 0x73, Scale::Time, 0, "Averaging duration", ""},
    {0x74, 0x77, Scale::Time, 0, "Actuality duration", ""},
    {0x78, 0x78, Scale::Fixed, 0, "Fabrication number", ""},
    {0x79, 0x79, Scale::Fixed, 0, "Enhanced identification", ""},
    {0x7A, 0x7A, Scale::Fixed, 0, "Bus address", ""},
    {0x7E, 0x7E, Scale::Fixed, 0, "Any VIF", ""},
};

// After VIF FD.
constexpr Family EXTENSION_FD[] = {
    {0x00, 0x03, Scale::Exp, -3, "Credit", "currency units"},
    {0x04, 0x07, Scale::Exp, -3, "Debit", "currency units"},
    {0x08, 0x08, Scale::Fixed, 0, "Access number", ""},
    {0x09, 0x09, Scale::Fixed, 0, "Medium", ""},
    {0x0A, 0x0A, Scale::Fixed, 0, "Manufacturer", ""},
    {0x0B, 0x0B, Scale::Fixed, 0, "Parameter set identification", ""},
    {0x0C, 0x0C, Scale::Fixed, 0, "Model/version", ""},
    {0x0D, 0x0D, Scale::Fixed, 0, "Hardware version", ""},
    {0x0E, 0x0E, Scale::Fixed, 0, "Firmware version", ""},
    {0x0F, 0x0F, Scale::Fixed, 0, "Software version", ""},
    {0x10, 0x10, Scale::Fixed, 0, "Customer location", ""},
    {0x11, 0x11, Scale::Fixed, 0, "Customer", ""},
    {0x12, 0x12, Scale::Fixed, 0, "Access code user", ""},
    {0x13, 0x13, Scale::Fixed, 0, "Access code operator", ""},
    {0x14, 0x14, Scale::Fixed, 0, "Access code system operator", ""},
    {0x15, 0x15, Scale::Fixed, 0, "Access code developer", ""},
    {0x16, 0x16, Scale::Fixed, 0, "Password", ""},
    {0x17, 0x17, Scale::Fixed, 0, "Error flags", ""},
    {0x18, 0x18, Scale::Fixed, 0, "Error mask", ""},
    {0x1A, 0x1A, Scale::Fixed, 0, "Digital output", ""},
    {0x1B, 0x1B, Scale::Fixed, 0, "Digital input", ""},
    {0x1C, 0x1C, Scale::Fixed, 0, "Baud rate", "Bd"},
    {0x1D, 0x1D, Scale::Fixed, 0, "Response delay time", "bit times"},
    {0x1E, 0x1E, Scale::Fixed, 0, "Retry", ""},
    {0x1F, 0x1F, Scale::Fixed, 0, "Remote control", ""},
    {0x20, 0x20, Scale::Fixed, 0, "First storage number", ""},
    {0x21, 0x21, Scale::Fixed, 0, "Last storage number", ""},
    {0x22, 0x22, Scale::Fixed, 0, "Size of storage block", ""},
    {0x24, 0x29, Scale::Time, 0, "Storage interval", ""},
    {0x2A, 0x2A, Scale::Fixed, 0, "Operator specific data", ""},
    {0x2B, 0x2B, Scale::Fixed, 0, "Time point second", "s"},
    {0x2C, 0x2F, Scale::Time, 0, "Duration since last readout", ""},
    {0x30, 0x30, Scale::Date, 0, "Start of tariff", ""},
    {0x31, 0x33, Scale::Time, 1, "Duration of tariff", ""},
    {0x34, 0x39, Scale::Time, 0, "Period of tariff", ""},
    {0x3A, 0x3A, Scale::Fixed, 0, "Dimensionless", ""},
    {0x3B, 0x3B, Scale::Fixed, 0, "Data container for wM-Bus", ""},
    {0x3C, 0x3F, Scale::Time, 0, "Period of nominal data transmissions", ""},
    {0x40, 0x4F, Scale::Exp, -9, "Voltage", "V"},
    {0x50, 0x5F, Scale::Exp, -12, "Current", "A"},
    {0x60, 0x60, Scale::Fixed, 0, "Reset counter", ""},
    {0x61, 0x61, Scale::Fixed, 0, "Cumulation counter", ""},
    {0x62, 0x62, Scale::Fixed, 0, "Control signal", ""},
    {0x63, 0x63, Scale::Fixed, 0, "Day of week", ""},
    {0x64, 0x64, Scale::Fixed, 0, "Week number", ""},
    {0x65, 0x65, Scale::Fixed, 0, "Time point of day change", ""},
    {0x66, 0x66, Scale::Fixed, 0, "State of parameter activation", ""},
    {0x67, 0x67, Scale::Fixed, 0, "Special supplier information", ""},
    {0x68, 0x6B, Scale::Time, 2, "Duration since last cumulation", ""},
    {0x6C, 0x6F, Scale::Time, 2, "Operating time battery", ""},
    {0x70, 0x70, Scale::Date, 0, "Date and time of battery change", ""},
    {0x71, 0x71, Scale::Fixed, 0, "RSSI", "dBm"},
    {0x72, 0x72, Scale::Fixed, 0, "Daylight saving", ""},
    {0x73, 0x73, Scale::Fixed, 0, "Listening window management", ""},
    {0x74, 0x74, Scale::Fixed, 0, "Remaining battery lifetime", "d"},
    {0x75, 0x75, Scale::Fixed, 0, "Number of times the meter was stopped", ""},
    {0x76, 0x76, Scale::Fixed, 0, "Data container for manufacturer protocol", ""},
};

// After VIF FB.
constexpr Family EXTENSION_FB[] = {
    {0x00, 0x01, Scale::Exp, -1, "Energy", "MWh"},
    {0x08, 0x09, Scale::Exp, -1, "Energy", "GJ"},
    {0x10, 0x11, Scale::Exp, 2, "Volume", "m^3"},
    {0x18, 0x19, Scale::Exp, 2, "Mass", "t"},
    {0x1A, 0x1B, Scale::Exp, -1, "Relative humidity", "%"},
    {0x21, 0x21, Scale::Fixed, -1, "Volume", "feet^3"},
    {0x22, 0x22, Scale::Fixed, -1, "Volume", "american gallon"},
    {0x23, 0x23, Scale::Fixed, 0, "Volume", "american gallon"},
    {0x24, 0x24, Scale::Fixed, -3, "Volume flow", "american gallon/min"},
    {0x25, 0x25, Scale::Fixed, 0, "Volume flow", "american gallon/min"},
    {0x26, 0x26, Scale::Fixed, 0, "Volume flow", "american gallon/h"},
    {0x28, 0x29, Scale::Exp, -1, "Power", "MW"},
    {0x2A, 0x2A, Scale::Fixed, -1, "Phase U-U", "°"},
    {0x2B, 0x2B, Scale::Fixed, -1, "Phase U-I", "°"},
    {0x2C, 0x2F, Scale::Exp, -3, "Frequency", "Hz"},
    {0x30, 0x31, Scale::Exp, -1, "Power", "GJ/h"},
    {0x58, 0x5B, Scale::Exp, -3, "Flow temperature", "°F"},
    {0x5C, 0x5F, Scale::Exp, -3, "Return temperature", "°F"},
    {0x60, 0x63, Scale::Exp, -3, "Temperature difference", "°F"},
    {0x64, 0x67, Scale::Exp, -3, "External temperature", "°F"},
    {0x70, 0x73, Scale::Exp, -3, "Cold/warm temperature limit", "°F"},
    {0x74, 0x77, Scale::Exp, -3, "Cold/warm temperature limit", "°C"},
    {0x78, 0x7F, Scale::Exp, -3, "Cumulative count max power", "W"},
};

// Combinable VIFEs that only add a unit suffix or a note.
struct Combinable {
  uint8_t code;
  const char* suffix;
  const char* note;
};
constexpr Combinable COMBINABLE[] = {
    {0x20, "/s", nullptr}, {0x21, "/min", nullptr}, {0x22, "/h", nullptr}, {0x23, "/d", nullptr},
    {0x24, "/week", nullptr}, {0x25, "/month", nullptr}, {0x26, "/year", nullptr},
    {0x27, "/revolution", nullptr},
    {0x28, nullptr, "increment per input pulse on channel 0"},
    {0x29, nullptr, "increment per input pulse on channel 1"},
    {0x2A, nullptr, "increment per output pulse on channel 0"},
    {0x2B, nullptr, "increment per output pulse on channel 1"},
    {0x2C, "/l", nullptr}, {0x2D, "/m^3", nullptr}, {0x2E, "/kg", nullptr}, {0x2F, "/K", nullptr},
    {0x30, "/kWh", nullptr}, {0x31, "/GJ", nullptr}, {0x32, "/kW", nullptr}, {0x33, "/(K*l)", nullptr},
    {0x34, "/V", nullptr}, {0x35, "/A", nullptr},
    {0x36, "*s", nullptr}, {0x37, "*s/V", nullptr}, {0x38, "*s/A", nullptr},
    {0x3A, nullptr, "uncorrected unit"},
    {0x3B, nullptr, "accumulation only if positive"},
    {0x3C, nullptr, "accumulation of the absolute value only if negative"},
    {0x40, nullptr, "lower limit value"},
    {0x48, nullptr, "upper limit value"},
};

// VIFE 00-1F; nullptr: reserved.
constexpr const char* RECORD_ERRORS[32] = {
    nullptr, "too many DIFEs", "storage number not implemented", "unit number not implemented",
    "tariff number not implemented", "function not implemented", "data class not implemented",
    "data size not implemented", nullptr, nullptr, nullptr, "too many VIFEs", "illegal VIF group",
    "illegal VIF exponent", "VIF/DIF mismatch", "unimplemented action", nullptr, nullptr, nullptr, nullptr,
    nullptr, "no data available", "data overflow", "data underflow", "data error", nullptr, nullptr, nullptr,
    "premature end of record", nullptr, nullptr, nullptr,
};

template <size_t N>
const Family* lookup(const Family (&table)[N], uint8_t code) {
  for (const Family& f : table)
    if (code >= f.first && code <= f.last) return &f;
  return nullptr;
}

std::string hexByte(uint8_t b) { return hexText(&b, 1); }

void apply(const Family& f, uint8_t code, VifMeaning& m, Record& r) {
  r.quantity = f.quantity;
  r.unit = f.unit;
  const int step = code - f.first;
  switch (f.scale) {
    case Scale::Exp: m.exponent = f.exp + step; break;
    case Scale::Time: r.unit = TIME_UNITS[f.exp + step]; break;
    case Scale::Fixed: m.exponent = f.exp; break;
    case Scale::Date: m.date = true; break;
  }
}

std::string limitText(uint8_t code) {
  const bool first = !(code & 0x04);
  return std::string(first ? "first" : "last") + " exceed of " + (code & 0x08 ? "upper" : "lower") + " limit";
}

// False when the VIFE is not known: it and the ones after it stay raw.
bool applyCombinable(uint8_t code, VifMeaning& m, Record& r) {
  for (const Combinable& c : COMBINABLE)
    if (c.code == code) {
      if (c.suffix) r.unit += c.suffix;
      if (c.note) r.notes.push_back(c.note);
      return true;
    }
  if (code < 0x20) {
    if (RECORD_ERRORS[code]) m.error = RECORD_ERRORS[code];
    else if (code) m.error = "reserved error " + hexByte(code);
    return true;
  }
  if (code == 0x39 || ((code & 0xF2) == 0x42)) {  // the value is a date, not the VIF's unit
    m.date = true;
    r.unit.clear();
    r.notes.push_back(code == 0x39 ? "start date of"
                                   : std::string("date of ") + (code & 1 ? "end" : "begin") + " of " + limitText(code));
    return true;
  }
  if (code == 0x41 || code == 0x49) {  // a count of exceeds, not the VIF's unit
    m.exponent = 0;
    r.unit.clear();
    r.notes.push_back(std::string("number of exceeds of ") + (code & 0x08 ? "upper" : "lower") + " limit");
    return true;
  }
  if ((code & 0xF0) == 0x50) {
    m.exponent = 0;
    r.unit = TIME_UNITS[code & 3];
    r.notes.push_back("duration of " + limitText(code));
    return true;
  }
  if ((code & 0xF8) == 0x70 || code == 0x7D) {
    m.exponent += code == 0x7D ? 3 : (code & 7) - 6;
    return true;
  }
  if ((code & 0xFC) == 0x78) {
    // Not applied: whether "unit of VIF" means its base unit or its scaled
    // unit is left open, so the reader sees the constant instead.
    char note[64];
    std::snprintf(note, sizeof note, "additive correction constant 10^%d %s", (code & 3) - 3, r.unit.c_str());
    r.notes.push_back(note);
    return true;
  }
  return false;
}

}  // namespace

VifMeaning describeVif(uint8_t vif, const std::string& plainUnit, const uint8_t* vifes, size_t count, Record& r) {
  VifMeaning m;
  uint8_t code = vif & 0x7F;
  const Family* family = nullptr;
  size_t next = 0, rawFrom = count;  // the first combinable VIFE; the first one kept raw
  if ((vif == 0xFB || vif == 0xFD) && count) {  // the true VIF is the first VIFE
    code = vifes[0] & 0x7F;
    family = vif == 0xFB ? lookup(EXTENSION_FB, code) : lookup(EXTENSION_FD, code);
    if (!family) r.quantity = "Reserved VIF " + hexByte(vif) + " " + hexByte(code);
    next = 1;
  } else if (code == 0x7C) {
    r.quantity = "Plain-text VIF";
    r.unit = plainUnit;
  } else if (code == 0x7F) {
    r.quantity = "Manufacturer specific";
    rawFrom = 0;  // its VIFEs are the manufacturer's too
  } else if (!(family = lookup(PRIMARY, code))) {
    r.quantity = "Reserved VIF " + hexByte(vif);
    rawFrom = 0;  // VIF EF may open a table of its own: its VIFEs are not combinable ones
  }
  if (family) apply(*family, code, m, r);
  for (size_t i = next; i < rawFrom; ++i) {
    const uint8_t e = vifes[i] & 0x7F;
    if (e == 0x7F || !applyCombinable(e, m, r)) rawFrom = i;
  }
  r.rawVifes.assign(vifes + rawFrom, vifes + count);
  return m;
}
