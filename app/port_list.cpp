#include "app/port_list.h"

#include <cstdlib>
#include <sstream>
#include <string>

#include "link/com_ports.h"
#include "link/remote_port_name.h"

namespace {

const char* const SETTINGS = "Settings";
const char* const SERVER_PORTS = "serverPorts";  // names separated by spaces

bool isServerPort(const std::string& name) {
  RemoteAddress address;
  const PortNameKind kind = classifyPortName(name, address);
  return kind == PortNameKind::Rfc2217 || kind == PortNameKind::RawTcp;
}

FX::FXint addOnce(FX::FXListBox* list, const std::string& name) {
  const FX::FXint at = list->findItem(name.c_str());
  return at >= 0 ? at : list->appendItem(name.c_str());
}

}  // namespace

void fillPortList(FX::FXListBox* list, FX::FXRegistry& settings) {
  for (int i = 0; i < comPortCount; ++i) list->appendItem(comPortName(i));
  std::istringstream saved(settings.readStringEntry(SETTINGS, SERVER_PORTS, ""));
  for (std::string name; saved >> name;)
    if (isServerPort(name)) addOnce(list, name);
  // The list stays sorted; a start script may name the port to offer first.
  const char* preselected = std::getenv("MBUS_FWTOOL_PORT");
  if (!preselected) return;
  const FX::FXint at = isServerPort(preselected) ? addOnce(list, preselected) : list->findItem(preselected);
  if (at >= 0) list->setCurrentItem(at);
}

void askForServerPort(FX::FXWindow* owner, FX::FXListBox* list, FX::FXRegistry& settings) {
  FX::FXString text;
  if (!FX::FXInputDialog::getString(text, owner, "Serial server",
                                    "Port name (rfc2217://HOST:PORT or socket://HOST:PORT):"))
    return;
  const std::string name = text.trim().text();
  if (!isServerPort(name)) {
    FX::FXMessageBox::error(owner, FX::MBOX_OK, "Brovanel Testtool",
                            "%s is not rfc2217://HOST:PORT or socket://HOST:PORT", name.c_str());
    return;
  }
  const FX::FXint before = list->getNumItems();
  list->setCurrentItem(addOnce(list, name));
  if (list->getNumItems() == before) return;
  std::string saved = settings.readStringEntry(SETTINGS, SERVER_PORTS, "");
  settings.writeStringEntry(SETTINGS, SERVER_PORTS, (saved.empty() ? name : saved + " " + name).c_str());
}
