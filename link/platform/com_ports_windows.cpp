#include "link/com_ports.h"

#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

namespace {

// The class also holds printer ports (LPTn).
void addComPort(const char* name) {
  if (std::strncmp(name, "COM", 3) == 0) addComPortName(name, std::strlen(name));
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

}  // namespace

// SetupAPI first; the DOS device names when it lists nothing.
void addMachinePorts() {
  if (addSetupApiPorts() == 0) addDosDevicePorts();
}
