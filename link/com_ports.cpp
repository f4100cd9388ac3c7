#include "link/com_ports.h"

#include <cstdlib>
#include <cstring>

#include "link/remote_port_name.h"

char comPortNames[COM_PORT_MAX][COM_PORT_NAME_SIZE];
int comPortCount = 0;

namespace {

// Ports the machine's list cannot see (pseudo-terminals of a virtual device).
void addEnvironmentPorts() {
  const char* paths = std::getenv("MBUS_FWTOOL_PORTS");
  if (!paths) return;
  while (*paths) {
    const size_t remote = remoteNameLength(paths);
    const char* end = std::strchr(paths + remote, ':');
    const size_t length = end ? (size_t)(end - paths) : std::strlen(paths);
    addComPortName(paths, length);
    paths += length;
    if (*paths == ':') ++paths;
  }
}

// Compares the whole zero-filled entries, so COM10 sorts before COM2.
void sortPorts() {
  char swap[COM_PORT_NAME_SIZE];
  for (int i = 0; i < comPortCount; ++i)
    for (int j = i + 1; j < comPortCount; ++j)
      if (std::memcmp(comPortNames[i], comPortNames[j], COM_PORT_NAME_SIZE) > 0) {
        std::memcpy(swap, comPortNames[i], COM_PORT_NAME_SIZE);
        std::memcpy(comPortNames[i], comPortNames[j], COM_PORT_NAME_SIZE);
        std::memcpy(comPortNames[j], swap, COM_PORT_NAME_SIZE);
      }
}

}  // namespace

// A name the table cannot hold whole is left out: cut short it would name
// another device, or none.
void addComPortName(const char* name, size_t length) {
  if (length == 0 || length >= (size_t)COM_PORT_NAME_SIZE || comPortCount >= COM_PORT_MAX) return;
  for (int i = 0; i < comPortCount; ++i)
    if (std::strlen(comPortNames[i]) == length && std::memcmp(comPortNames[i], name, length) == 0) return;
  std::memcpy(comPortNames[comPortCount], name, length);
  comPortNames[comPortCount][length] = '\0';
  ++comPortCount;
}

int enumerateComPorts() {
  std::memset(comPortNames, 0, sizeof comPortNames);
  comPortCount = 0;
  addMachinePorts();
  addEnvironmentPorts();
  sortPorts();
  return comPortCount;
}

const char* comPortName(int index) {
  if (index > COM_PORT_MAX - 1) index = COM_PORT_MAX - 1;
  if (index < 0) index = 0;
  return comPortNames[index];
}
