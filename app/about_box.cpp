#include "app/about_box.h"

void showAboutBox(FXWindow* owner, FXIcon* logo) {
  FXDialogBox about(owner, "About Zentharoval FW update tool", DECOR_TITLE | DECOR_BORDER,
                    0, 0, 0, 0, 10, 10, 0, 0, 0, 0);
  new FXLabel(&about, FXString::null, logo, FRAME_GROOVE | LAYOUT_SIDE_LEFT | LAYOUT_CENTER_Y,
              0, 0, 0, 0, 2, 2, 2, 2);
  FXVerticalFrame* side = new FXVerticalFrame(&about, LAYOUT_SIDE_RIGHT | LAYOUT_FILL_X | LAYOUT_FILL_Y,
                                              0, 0, 0, 0, 10, 10, 10, 10, 0, 0);
  new FXLabel(side, "multiprotocol Dongle FW update tool V1.8", NULL,
              ICON_BEFORE_TEXT | JUSTIFY_LEFT | LAYOUT_FILL_X, 0, 0, 0, 0, 0, 0, 0, 0);
  new FXHorizontalSeparator(side, SEPARATOR_LINE | LAYOUT_FILL_X, 0, 0, 0, 0, 1, 1, 0, 0);
  new FXLabel(side, "\nmultiprotocol Dongle FW update tool\nTool to update a multiprotocol Dongle.", NULL,
              JUSTIFY_LEFT | LAYOUT_FILL_X | LAYOUT_FILL_Y, 0, 0, 0, 0, 0, 0, 0, 0);
  FXButton* ok = new FXButton(side, "&OK", NULL, &about, FXDialogBox::ID_ACCEPT,
                              BUTTON_INITIAL | BUTTON_DEFAULT | FRAME_RAISED | FRAME_THICK | LAYOUT_CENTER_X,
                              0, 0, 0, 0, 32, 32, 2, 2);
  ok->setFocus();
  about.execute(PLACEMENT_CURSOR);
}
