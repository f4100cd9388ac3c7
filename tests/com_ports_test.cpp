// The port list: the machine's ports (whatever this machine has) plus the
// paths of MBUS_FWTOOL_PORTS, sorted as memcmp sorts the 32-byte entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/shell/com_ports.h"

namespace {

using Names = std::vector<std::string>;

int indexOf(const Names& names, const std::string& name) {
  const auto at = std::find(names.begin(), names.end(), name);
  return at == names.end() ? -1 : (int)(at - names.begin());
}

class ComPorts : public ::testing::Test {
 protected:
  void SetUp() override { machine = enumerate(nullptr); }
  void TearDown() override { unsetenv("MBUS_FWTOOL_PORTS"); }

  // Enumerates with `paths` in the environment (none when null); checks the
  // table is sorted, zero-filled behind every name and empty past the count.
  Names enumerate(const char* paths) {
    if (paths) setenv("MBUS_FWTOOL_PORTS", paths, 1);
    else unsetenv("MBUS_FWTOOL_PORTS");
    const int count = enumerateComPorts();
    EXPECT_EQ(count, comPortCount);
    for (int i = 0; i + 1 < comPortCount; ++i)
      EXPECT_LT(std::memcmp(comPortNames[i], comPortNames[i + 1], COM_PORT_NAME_SIZE), 0)
          << comPortNames[i] << " before " << comPortNames[i + 1];
    static const char zeros[COM_PORT_NAME_SIZE] = {};
    for (int i = 0; i < COM_PORT_MAX; ++i) {
      const size_t length = std::strlen(comPortNames[i]);
      EXPECT_EQ(i < comPortCount, length > 0) << "entry " << i;
      EXPECT_EQ(0, std::memcmp(comPortNames[i] + length, zeros, COM_PORT_NAME_SIZE - length))
          << "stale bytes after the name in entry " << i;
    }
    Names names;
    for (int i = 0; i < count; ++i) names.push_back(comPortName(i));
    return names;
  }
  Names machine;
};

TEST_F(ComPorts, NamesSortByteWiseSoCom10PrecedesCom2) {
  const Names names = enumerate("COM3:COM10:COM2:COM1");
  ASSERT_EQ(machine.size() + 4, names.size());
  const int first = indexOf(names, "COM1");
  ASSERT_GE(first, 0);
  ASSERT_LE(first + 4, (int)names.size());
  EXPECT_EQ(Names({"COM1", "COM10", "COM2", "COM3"}), Names(names.begin() + first, names.begin() + first + 4));
}

TEST_F(ComPorts, EnvironmentPathsJoinTheMachinePortsIfTheyFit) {
  const std::string fits = "/tmp/" + std::string(26, 'f');     // 31 characters
  const std::string tooLong = "/tmp/" + std::string(27, 'l');  // 32: cut short it would name another device
  const std::string paths = "::/tmp/dongle-b:" + tooLong + ":/tmp/dongle-a::/tmp/dongle-b:" + fits + ":" + tooLong + "x";
  const Names names = enumerate(paths.c_str());
  EXPECT_EQ(machine.size() + 3, names.size());  // empty items, repeats and long names dropped
  for (const std::string& port : machine) EXPECT_GE(indexOf(names, port), 0) << port;
  EXPECT_EQ(indexOf(names, "/tmp/dongle-a") + 1, indexOf(names, "/tmp/dongle-b"));
  EXPECT_GE(indexOf(names, fits), 0);
  for (const std::string& name : names) EXPECT_NE(name.compare(0, 6, "/tmp/l"), 0) << "cut-off name " << name;
  // A new enumeration forgets the old list.
  EXPECT_EQ(machine, enumerate(nullptr));
}

TEST_F(ComPorts, PortsBeyondTheHundredthAreLeftOut) {
  std::string paths;
  Names offered;
  for (int i = 149; i >= 0; --i) {  // offered in descending order: sorting must not pick the kept ones
    char name[32];
    std::snprintf(name, sizeof name, "/tmp/p%03d", i);
    offered.push_back(name);
    paths += std::string(name) + ":";
  }
  ASSERT_LE(machine.size(), 100u);
  const Names names = enumerate(paths.c_str());
  EXPECT_EQ((size_t)COM_PORT_MAX, names.size());
  const size_t kept = COM_PORT_MAX - machine.size();
  for (size_t i = 0; i < offered.size(); ++i) EXPECT_EQ(i < kept, indexOf(names, offered[i]) >= 0) << offered[i];
  for (const std::string& port : machine) EXPECT_GE(indexOf(names, port), 0) << port;

  EXPECT_STREQ(comPortNames[99], comPortName(99));
  EXPECT_EQ(comPortName(99), comPortName(100));
  EXPECT_EQ(comPortName(99), comPortName(100000));
  EXPECT_EQ(comPortName(0), comPortName(-1));
}

}  // namespace
