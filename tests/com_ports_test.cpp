// The port list: the machine's ports (whatever this machine has) plus the
// paths of MBUS_FWTOOL_PORTS, sorted as memcmp sorts the 32-byte entries.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/shell/com_ports.h"

namespace {

std::vector<std::string> listed() {
  std::vector<std::string> names;
  for (int i = 0; i < comPortCount; ++i) names.push_back(comPortName(i));
  return names;
}

std::vector<std::string> machinePorts() {
  unsetenv("MBUS_FWTOOL_PORTS");
  enumerateComPorts();
  return listed();
}

int indexOf(const std::vector<std::string>& names, const std::string& name) {
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return (int)i;
  return -1;
}

void expectTableSortedAndZeroFilled() {
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
}

class ComPorts : public ::testing::Test {
 protected:
  void SetUp() override { machine = machinePorts(); }
  void TearDown() override { unsetenv("MBUS_FWTOOL_PORTS"); }
  std::vector<std::string> machine;
};

TEST_F(ComPorts, NamesSortByteWiseSoCom10PrecedesCom2) {
  setenv("MBUS_FWTOOL_PORTS", "COM3:COM10:COM2:COM1", 1);
  const int count = enumerateComPorts();
  EXPECT_EQ((int)machine.size() + 4, count);
  EXPECT_EQ(count, comPortCount);
  const std::vector<std::string> names = listed();
  const int first = indexOf(names, "COM1");
  ASSERT_GE(first, 0);
  ASSERT_LE(first + 3, count - 1);
  EXPECT_EQ("COM1", names[first]);
  EXPECT_EQ("COM10", names[first + 1]);
  EXPECT_EQ("COM2", names[first + 2]);
  EXPECT_EQ("COM3", names[first + 3]);
  expectTableSortedAndZeroFilled();
}

TEST_F(ComPorts, EnvironmentPathsJoinTheMachinePorts) {
  setenv("MBUS_FWTOOL_PORTS", "::/tmp/dongle-b:/tmp/dongle-a::/tmp/dongle-b:", 1);
  EXPECT_EQ((int)machine.size() + 2, enumerateComPorts());  // empty items and repeats dropped
  const std::vector<std::string> names = listed();
  for (const std::string& port : machine) EXPECT_GE(indexOf(names, port), 0) << port;
  EXPECT_EQ(indexOf(names, "/tmp/dongle-a") + 1, indexOf(names, "/tmp/dongle-b"));
  expectTableSortedAndZeroFilled();

  // A new enumeration forgets the old list.
  unsetenv("MBUS_FWTOOL_PORTS");
  EXPECT_EQ((int)machine.size(), enumerateComPorts());
  EXPECT_EQ(-1, indexOf(listed(), "/tmp/dongle-a"));
  expectTableSortedAndZeroFilled();
}

TEST_F(ComPorts, NameTooLongForTheTableIsLeftOut) {
  const std::string fits = "/tmp/" + std::string(26, 'f');  // 31 characters
  const std::string tooLong = "/tmp/" + std::string(27, 'l');  // 32 characters
  setenv("MBUS_FWTOOL_PORTS", (tooLong + ":" + fits + ":" + tooLong + "x").c_str(), 1);
  EXPECT_EQ((int)machine.size() + 1, enumerateComPorts());
  const std::vector<std::string> names = listed();
  EXPECT_GE(indexOf(names, fits), 0);
  for (const std::string& name : names) EXPECT_NE(name.compare(0, 6, "/tmp/l"), 0) << "cut-off name " << name;
  expectTableSortedAndZeroFilled();
}

TEST_F(ComPorts, PortsBeyondTheHundredthAreLeftOut) {
  std::string paths;
  std::vector<std::string> offered;
  for (int i = 149; i >= 0; --i) {  // offered in descending order: sorting must not pick the kept ones
    char name[32];
    std::snprintf(name, sizeof name, "/tmp/p%03d", i);
    offered.push_back(name);
    paths += std::string(name) + ":";
  }
  setenv("MBUS_FWTOOL_PORTS", paths.c_str(), 1);
  ASSERT_LE(machine.size(), 100u);
  EXPECT_EQ(COM_PORT_MAX, enumerateComPorts());
  const std::vector<std::string> names = listed();
  const size_t kept = COM_PORT_MAX - machine.size();
  for (size_t i = 0; i < offered.size(); ++i)
    EXPECT_EQ(i < kept, indexOf(names, offered[i]) >= 0) << offered[i];
  for (const std::string& port : machine) EXPECT_GE(indexOf(names, port), 0) << port;
  expectTableSortedAndZeroFilled();

  EXPECT_STREQ(comPortNames[99], comPortName(99));
  EXPECT_EQ(comPortName(99), comPortName(100));
  EXPECT_EQ(comPortName(99), comPortName(100000));
  EXPECT_EQ(comPortName(0), comPortName(-1));
}

TEST_F(ComPorts, NoPortGivesAnEmptyTable) {
  if (!machine.empty()) GTEST_SKIP() << "this machine has " << machine.size() << " ports";
  EXPECT_EQ(0, enumerateComPorts());
  EXPECT_STREQ("", comPortName(0));
  expectTableSortedAndZeroFilled();
}

}  // namespace
