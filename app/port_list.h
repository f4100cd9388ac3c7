// The window's port list: the port table (the machine's ports and
// MBUS_FWTOOL_PORTS), then the serial servers the user added, remembered in
// the settings store; MBUS_FWTOOL_PORT is chosen when listed, and added when
// it names a serial server.
#pragma once
#include <fx.h>

void fillPortList(FX::FXListBox* list, FX::FXRegistry& settings);
// Asks for an rfc2217:// or socket:// name; a good one is added (once),
// remembered and chosen, a bad one refused in a box.
void askForServerPort(FX::FXWindow* owner, FX::FXListBox* list, FX::FXRegistry& settings);
