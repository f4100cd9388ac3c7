#include "link/com_ports.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdlib>
#include <cstring>
#include <vector>

char comPortNames[COM_PORT_MAX][COM_PORT_NAME_SIZE];
int comPortCount = 0;

namespace {

// A name the table cannot hold whole is left out: cut short it would name
// another device, or none.
void addPort(const char* name, size_t length) {
  if (length == 0 || length >= (size_t)COM_PORT_NAME_SIZE || comPortCount >= COM_PORT_MAX) return;
  for (int i = 0; i < comPortCount; ++i)
    if (std::strlen(comPortNames[i]) == length && std::memcmp(comPortNames[i], name, length) == 0) return;
  std::memcpy(comPortNames[comPortCount], name, length);
  comPortNames[comPortCount][length] = '\0';
  ++comPortCount;
}

// The class also holds printer ports (LPTn).
void addComPort(const char* name) {
  if (std::strncmp(name, "COM", 3) == 0) addPort(name, std::strlen(name));
}

void addDevicePortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return;
  char name[COM_PORT_NAME_SIZE + 1] = {};
  DWORD size = COM_PORT_NAME_SIZE;  // a longer name fails with ERROR_MORE_DATA
  DWORD type = 0;
  if (RegQueryValueExA(key, "PortName", NULL, &type, (BYTE*)name, &size) == ERROR_SUCCESS && type == REG_SZ)
    addComPort(name);
  RegCloseKey(key);
}

// Present devices of the "Ports" class, as Device Manager shows them.
int addSetupApiPorts() {
  const int before = comPortCount;
  GUID classes[4];
  DWORD classCount = 0;
  if (!SetupDiClassGuidsFromNameA("Ports", classes, 4, &classCount)) return 0;
  for (DWORD c = 0; c < classCount && c < 4; ++c) {
    const HDEVINFO devices = SetupDiGetClassDevsA(&classes[c], NULL, NULL, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) continue;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) addDevicePortName(devices, device);
    SetupDiDestroyDeviceInfoList(devices);
  }
  return comPortCount - before;
}

// Wine has no Plug-and-Play entries for serial ports, but maps them as DOS
// devices.
void addDosDevicePorts() {
  std::vector<char> names(65536);
  DWORD length = 0;
  while ((length = QueryDosDeviceA(NULL, names.data(), (DWORD)names.size())) == 0 &&
         GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24))
    names.resize(names.size() * 2);
  for (DWORD at = 0; at < length && names[at] != '\0'; at += (DWORD)std::strlen(&names[at]) + 1)
    addComPort(&names[at]);
}

void addEnvironmentPorts() {
  const char* paths = std::getenv("MBUS_FWTOOL_PORTS");
  if (!paths) return;
  while (*paths) {
    const char* end = std::strchr(paths, ':');
    const size_t length = end ? (size_t)(end - paths) : std::strlen(paths);
    addPort(paths, length);
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

int enumerateComPorts() {
  std::memset(comPortNames, 0, sizeof comPortNames);
  comPortCount = 0;
  if (addSetupApiPorts() == 0) addDosDevicePorts();
  addEnvironmentPorts();
  sortPorts();
  return comPortCount;
}

const char* comPortName(int index) {
  if (index > COM_PORT_MAX - 1) index = COM_PORT_MAX - 1;
  if (index < 0) index = 0;
  return comPortNames[index];
}
