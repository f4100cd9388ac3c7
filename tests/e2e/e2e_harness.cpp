#include "tests/e2e/e2e_harness.h"

#include <cstdlib>

namespace e2e {

Tool::Tool(const std::string& port) {
  openLog();
  buildListing(port);
  FXListBox* ports = window->getPortList();
  const FXint index = ports->findItem(port.c_str());
  if (index >= 0) ports->setCurrentItem(index);
  window->getBaudList()->setCurrentItem(1);
}

bool Tool::connect(int baudIndex) {
  window->getBaudList()->setCurrentItem(baudIndex);
  send(DongleToolWindow::ID_CONNECT);
  return window->getConnection().connected();
}

long Tool::openFirmware(const std::string& path) {
  window->chooseFirmwarePath = [path] { return path; };
  return send(DongleToolWindow::ID_OPEN_FIRMWARE);
}

void Tool::setOption(FXMenuCheck* check, bool on) {
  if ((check->getCheck() != FALSE) != on) clickMenuItem(check);
}

void Tool::chooseProtocol(const std::string& name) {
  setOption(window->getSimpleProtocolCheck(), name == "simple");
  setOption(window->getEncryptionCheck(), name == "encrypted");
}

std::vector<uint8_t> dumpAfter(const std::string& text, const std::string& heading, size_t from) {
  std::vector<uint8_t> bytes;
  size_t at = text.find(heading, from);
  if (at == std::string::npos) return bytes;
  at += heading.size();
  // Dump lines follow one another; an empty line or another text ends it.
  while (at + 4 < text.size() && text.compare(at, 2, "0x") == 0) {
    bytes.push_back((uint8_t)std::strtoul(text.substr(at + 2, 2).c_str(), nullptr, 16));
    at += 5;
    if (at < text.size() && text[at] == '\n') ++at;
  }
  return bytes;
}

}  // namespace e2e
