// What a record's VIF and VIFEs say (EN 13757-3 tables), for records.cpp:
// the quantity, unit and notes go into the record, the scaling comes back.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "records/record_values.h"
#include "records/records.h"

struct VifMeaning {
  int exponent = 0;       // the data times 10^exponent
  bool date = false;      // the data is a date/time type, told apart by its length
  bool hex = false;       // a type shown as its bytes (K and L)
  IntegerType integer = IntegerType::Signed;  // types B, C, D
  ProfileKind profile = ProfileKind::None;
  std::string error;      // a record error VIFE (00-1F) other than "none"
};

// `vifes` holds the VIFEs after `vif`; `plainUnit` the text of a VIF 7C/FC.
VifMeaning describeVif(uint8_t vif, const std::string& plainUnit, const uint8_t* vifes, size_t count, Record& record);
