// The console's highlight styles 1 to 3: red for what is sent, green for
// answers, blue for long operations.
#include <fx.h>

// normal fore/back, selected fore/back, highlight fore/back, active back, flags
FXHiliteStyle hiliteStyles[3] = {
  {FXRGB(255, 0, 0), FXRGB(255, 255, 255), FXRGB(255, 0, 0), FXRGB(128, 0, 0),
   FXRGB(0, 0, 0), FXRGB(255, 255, 255), FXRGB(255, 255, 255), 0},
  {FXRGB(100, 255, 100), FXRGB(255, 255, 255), FXRGB(100, 255, 100), FXRGB(0, 128, 0),
   FXRGB(0, 0, 0), FXRGB(255, 255, 255), FXRGB(255, 255, 255), 0},
  {FXRGB(0, 0, 255), FXRGB(255, 255, 255), FXRGB(0, 0, 255), FXRGB(0, 0, 128),
   FXRGB(0, 0, 0), FXRGB(255, 255, 255), FXRGB(255, 255, 255), 0},
};
