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

// Serial servers come from the settings store and from MBUS_FWTOOL_PORT; one
// added in the window is chosen at once and remembered for the next start.
TEST_F(PortChoice, ServerPortsAreListedChosenAndAddedWithoutARestart) {
  app().reg().writeStringEntry("Settings", "serverPorts", "socket://a:1 bogus");
  EXPECT_EQ(chosenWith("rfc2217://b:3"), "rfc2217://b:3");
  WindowTest::SetUp();
  FXListBox* ports = window->getPortList();
  EXPECT_TRUE(ports->findItem("socket://a:1") >= 0 && ports->findItem("bogus") < 0);
  Timer user;
  user.onTick = [&] {
    auto* dialog = dynamic_cast<FXInputDialog*>(app().getModalWindow());
    if (!dialog) return user.start(20);
    dialog->setText(" socket://[::1]:4001 ");
    dialog->handle(nullptr, FXSEL(SEL_COMMAND, FXDialogBox::ID_ACCEPT), nullptr);
  };
  user.start(20);
  send(DongleToolWindow::ID_ADD_SERVER_PORT);
  EXPECT_STREQ(ports->getItemText(ports->getCurrentItem()).text(), "socket://[::1]:4001");
  EXPECT_STREQ(app().reg().readStringEntry("Settings", "serverPorts", ""), "socket://a:1 bogus socket://[::1]:4001");
  app().reg().deleteEntry("Settings", "serverPorts");
  WindowTest::TearDown();
}

}  // namespace
