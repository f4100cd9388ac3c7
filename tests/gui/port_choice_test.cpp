// The port list opens on the port a start script names (the virtual dongle's),
// found by its whole name, and stays sorted.
#include <cstdlib>
#include <string>

#include "link/com_ports.h"
#include "tests/support/gui_fixture.h"

using namespace gui;

namespace {

class PortChoice : public WindowTest {
 protected:
  void SetUp() override {}  // the window is built per case, after the environment
  std::string chosenWith(const char* preselected) {
    setenv("MBUS_FWTOOL_PORTS", "/tmp/zz10:/tmp/zz1:/tmp/zz2", 1);
    if (preselected) setenv("MBUS_FWTOOL_PORT", preselected, 1);
    else unsetenv("MBUS_FWTOOL_PORT");
    enumerateComPorts();
    WindowTest::SetUp();
    FXListBox* ports = window->getPortList();
    const std::string chosen = ports->getItemText(ports->getCurrentItem()).text();
    // Byte order of the whole names: zz1, zz10, zz2.
    EXPECT_LT(ports->findItem("/tmp/zz1"), ports->findItem("/tmp/zz10"));
    EXPECT_LT(ports->findItem("/tmp/zz10"), ports->findItem("/tmp/zz2"));
    WindowTest::TearDown();
    return chosen;
  }
  void TearDown() override {}
};

TEST_F(PortChoice, TheNamedPortIsTheCurrentItem) {
  const std::string first = chosenWith(nullptr);
  EXPECT_EQ(chosenWith("/tmp/zz1"), "/tmp/zz1");
  EXPECT_EQ(chosenWith("/tmp/zz2"), "/tmp/zz2");
  EXPECT_EQ(chosenWith("/tmp/absent"), first);
}

}  // namespace
