// A meter's answer shown in the identity and counter fields, as the window
// shows it and as the next update reads them back.
#pragma once
#include "app/front/field_rules.h"
#include "commands/meter_answers.h"

// The letters only when the code has some (else the field keeps its last
// ones), the identification most significant digit first, version and device
// type as two hex digits, the counter as "%08X" when the answer moved it.
// Fields marked in keep (null: none) stay as they are.
void showAnswer(WindowFields& fields, const MeterAnswer& answer, const bool* keep = nullptr);
