// The machine's serial ports on POSIX systems, through libserialport.
#include <libserialport.h>

#include <cstring>

#include "link/com_ports.h"

void addMachinePorts() {
  struct sp_port** list = nullptr;
  if (sp_list_ports(&list) != SP_OK || list == nullptr) return;
  for (int i = 0; list[i] != nullptr; ++i) {
    const char* name = sp_get_port_name(list[i]);
    if (name) addComPortName(name, std::strlen(name));
  }
  sp_free_port_list(list);
}
