#include "app/shell/tool_context.h"

uint8_t encryptionOn = 1;
uint8_t useSimpleProtocol = 0;
uint8_t doubleBlock42 = 0;
uint8_t skipBlock15 = 0;
