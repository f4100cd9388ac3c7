// The six identity and key fields as both fronts know them: their start
// texts (QORconfig.txt, else the built-in defaults), their widths, and one
// check of a text against its field's rule.
#pragma once
#include <string>
#include <vector>

#include "interfaces/window_interfaces.h"

constexpr int FIELD_COUNT = 6;  // in the order of Field
constexpr int CONFIG_FIELD_COUNT = 5;  // the counter never comes from the config file

struct FieldRule {
  const char* option;         // the command line's name for it
  const char* name;           // in messages about the config file
  const char* defaultText;    // without a config file
  int width;                  // characters the field holds
  bool letters;               // A-Z instead of hex digits
};

const FieldRule& fieldRule(Field field);

// config: the lines of QORconfig.txt, or null when there is none. The window
// shows the line as it is; what a line makes of the stores is the reader's.
std::string startFieldText(Field field, const std::vector<std::string>* config);

// Whole width, nothing but its letters or hex digits. The window does not
// ask: a short or odd text is read as far as it goes, as it always was.
enum class FieldCheck { Ok, WrongWidth, WrongCharacter };
[[nodiscard]] FieldCheck checkFieldText(Field field, const std::string& text);
// "must be 8 hex digits", "must be 3 capital letters"
std::string fieldRuleText(Field field);

// The texts of the six fields, held by a front that has no window.
class FieldTexts : public WindowFields {
 public:
  std::string fieldText(Field field) const override { return texts_[(int)field]; }
  void setFieldText(Field field, const std::string& text) override { texts_[(int)field] = text; }
  void setStatusText(const std::string&) override {}

 private:
  std::string texts_[FIELD_COUNT];
};
