// The About box: the logo, the tool's name and one line on what it does.
#pragma once
#include <fx.h>

void showAboutBox(FXWindow* owner, FXIcon* logo);
