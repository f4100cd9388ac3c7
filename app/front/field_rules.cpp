#include "app/front/field_rules.h"

#include <cctype>

namespace {

const FieldRule RULES[FIELD_COUNT] = {
    {"--manufacturer", "manufacturer", "BRV", 3, true},
    {"--id", "id", "01020304", 8, false},
    {"--meter-version", "version", "40", 2, false},
    {"--device-type", "device type", "03", 2, false},
    {"--key", "key", "5A17C3E90B4D62F8A1C07E3B9D2F4A68", 32, false},
    {"--counter", "counter", "00000001", 8, false},
};

}  // namespace

const FieldRule& fieldRule(Field field) { return RULES[(int)field]; }

std::string startFieldText(Field field, const std::vector<std::string>* config) {
  const int index = (int)field;
  if (!config || index >= CONFIG_FIELD_COUNT) return RULES[index].defaultText;
  return index < (int)config->size() ? (*config)[index] : "";
}

FieldCheck checkFieldText(Field field, const std::string& text) {
  const FieldRule& rule = fieldRule(field);
  if ((int)text.size() != rule.width) return FieldCheck::WrongWidth;
  for (unsigned char c : text)
    if (rule.letters ? !(c >= 'A' && c <= 'Z') : !std::isxdigit(c)) return FieldCheck::WrongCharacter;
  return FieldCheck::Ok;
}

std::string fieldRuleText(Field field) {
  const FieldRule& rule = fieldRule(field);
  return "must be " + std::to_string(rule.width) + (rule.letters ? " capital letters" : " hex digits");
}
