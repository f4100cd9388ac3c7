// The window's own state: option marks, font choice, console reset, and the
// error box of a failed connect.
#include <string>
#include <vector>

#include "tests/support/gui_fixture.h"

using namespace gui;

namespace {

class WindowState : public WindowTest {};

TEST_F(WindowState, EachOptionToggleFlipsOnlyItsFlagAndTheMarkFollows) {
  const struct { UpdateOption option; FXMenuCheck* (DongleToolWindow::*check)() const; } rows[] = {
      {UpdateOption::Encryption, &DongleToolWindow::getEncryptionCheck},
      {UpdateOption::SimpleProtocol, &DongleToolWindow::getSimpleProtocolCheck},
      {UpdateOption::DoubleBlock42, &DongleToolWindow::getDoubleBlockCheck},
      {UpdateOption::SkipBlock15, &DongleToolWindow::getSkipBlockCheck},
  };
  const UpdateOption all[] = {UpdateOption::Encryption, UpdateOption::SimpleProtocol, UpdateOption::DoubleBlock42,
                              UpdateOption::SkipBlock15};
  for (const auto& row : rows) {
    FXMenuCheck* check = (window->*row.check)();
    for (int toggle = 1; toggle <= 3; ++toggle) {
      SCOPED_TRACE("option " + std::to_string((int)row.option) + ", toggle " + std::to_string(toggle));
      std::vector<bool> before;
      for (UpdateOption o : all) before.push_back(updateOption(o));
      pressReturn(check);
      for (UpdateOption o : all)
        EXPECT_EQ(updateOption(o), o == row.option ? !before[(int)o] : before[(int)o]) << "flag " << (int)o;
      app().forceRefresh();
      EXPECT_EQ(check->getCheck() == TRUE, updateOption(row.option));
      // A flag set by other means (the command line's protocol choice) moves the mark too.
      setUpdateOption(row.option, !updateOption(row.option));
      app().forceRefresh();
      EXPECT_EQ(check->getCheck() == TRUE, updateOption(row.option));
      setUpdateOption(row.option, !updateOption(row.option));
    }
  }
}

TEST_F(WindowState, EachFontChoiceChecksOnlyItsRadioAndGivesTheConsoleAFont) {
  for (int chosen : {1, 3, 4, 2, 1}) {
    SCOPED_TRACE("font " + std::to_string(chosen));
    pressReturn(window->getFontRadio(chosen));
    app().forceRefresh();
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(window->getFontRadio(n)->getCheck() == TRUE, n == chosen) << "radio " << n;
    FXFont* font = window->getConsole()->getFont();
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font, window->getConsoleFont());
    EXPECT_NE(font->id(), 0u) << "the font is created on the display";
  }
}

TEST_F(WindowState, ResetOutputEmptiesTheConsoleButKeepsTheLog) {
  window->outputText("first line\n", STYLE_SENT);
  window->dumpBytes((const uint8_t*)"\x10\x5B", 2, STYLE_RECEIVED);
  const std::string shown = console();
  ASSERT_FALSE(shown.empty());
  send(DongleToolWindow::ID_RESET_OUTPUT);
  EXPECT_EQ(console(), "");
  EXPECT_EQ(readText(LOG), shown);
  window->outputText("after reset\n", STYLE_SENT);
  EXPECT_EQ(console(), "after reset\n");
  EXPECT_EQ(readText(LOG), shown + "after reset\n");
}

TEST_F(WindowState, FailedConnectShowsTheErrorBoxAndStaysDisconnected) {
  std::ofstream("plain-file") << "not a tty";
  const struct { const char* behaviour; std::string port, box; } rows[] = {
      {"missing path", "/nonexistent/ttyDONGLE", "Serial Error\nCOM port /nonexistent/ttyDONGLE not found"},
      {"empty port list", "", "Serial Error\nNo COM port selected."},
      {"a folder", "/", "Serial Error\nError opening COM port /"},
      {"not a terminal", "plain-file", "Serial Error\nError getting serial parameters."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.behaviour);
    ModalCloser closer;
    EXPECT_FALSE(connect(row.port));
    EXPECT_TRUE(closer.seen);
    EXPECT_EQ(closer.text, row.box);
  }
}

// The flag is set against the store before each new window, so only a
// window that reads the store starts right.
TEST_F(WindowState, FastAnswersAndDecodeRecordsAreRememberedForTheNextWindow) {
  for (const bool on : {true, false}) {
    SCOPED_TRACE(on ? "on" : "off");
    pressReturn(window->getFastAnswersCheck());
    pressReturn(window->getDecodeRecordsCheck());
    EXPECT_EQ(app().reg().readIntEntry("Settings", "fastAnswers", -1), on ? 1 : 0);
    EXPECT_EQ(app().reg().readIntEntry("Settings", "decodeRecords", -1), on ? 1 : 0);
    delete window;
    setUpdateOption(UpdateOption::FastAnswers, !on);
    window = new DongleToolWindow(&app());
    window->create();
    app().forceRefresh();
    EXPECT_EQ(window->getFastAnswersCheck()->getCheck() == TRUE, on);
    EXPECT_EQ(window->getDecodeRecordsCheck()->getCheck() == TRUE, on);
    EXPECT_EQ(window->context().decodeRecords, on);
    EXPECT_EQ(updateOption(UpdateOption::FastAnswers), on);
  }
}

// A port with no descriptor (a Windows COM port) is asked at every short
// tick: waiting bytes reach the target at once, not at the next 200 ms
// receive timer; nothing waiting sends nothing; a closing port is let go.
TEST(PortInputTicks, WaitingBytesOfAPortWithoutHandleReachTheTargetAtOnce) {
  struct Reader : FXObject {
    FakeSerialPort port;
    int reads = 0;
    long handle(FXObject*, FXSelector sel, void*) override {
      return sel == FXSEL(SEL_IO_READ, 7) ? port.incoming.clear(), ++reads : 0;
    }
  } reader;
  reader.port.open("COM7", 9600);
  PortInput input(&app(), &reader, 7);
  input.setEnabled(true, &reader.port);
  for (int arrival = 0; arrival <= 3; ++arrival) {  // told within 60 ms, or not at all
    if (arrival) reader.port.queue({0xE5});
    EXPECT_EQ(runUntil([&] { return reader.reads > std::max(arrival - 1, 0); }, 60), arrival > 0) << arrival;
    EXPECT_EQ(reader.reads, arrival);
  }
  input.portClosing(reader.port);
  reader.port.queue({0xE5});
  runFor(50);
  EXPECT_EQ(reader.reads, 3) << "asked after closing";
}

}  // namespace
