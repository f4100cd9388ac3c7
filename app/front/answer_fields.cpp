#include "app/front/answer_fields.h"

#include "commands/identity_fields.h"
#include "interfaces/text_format.h"

void showAnswer(WindowFields& fields, const MeterAnswer& answer, const bool* keep) {
  auto show = [&](Field field, const std::string& text) {
    if (!keep || !keep[(int)field]) fields.setFieldText(field, text);
  };
  if (answer.identified) {
    if (answer.manufacturer[0]) show(Field::Manufacturer, answer.manufacturer);
    show(Field::IdNumber, hexNumber(answer.idNumber, 8));
    show(Field::Version, hexNumber(answer.version, 2));
    show(Field::DeviceType, hexNumber(answer.deviceType, 2));
  }
  if (answer.counterMoved) show(Field::Counter, counterText(answer.invocationCounter));
}
