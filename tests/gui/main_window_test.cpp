// DongleToolWindow in-process under Xvfb: widgets, menus, options, fonts,
// the console and its log, the modal boxes, the port and the receive timer.
#include "app/main_window.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "commands/identity_fields.h"
#include "tests/support/gui_fixture.h"

namespace {

using namespace guitest;
using W = DongleToolWindow;

class MainWindowTest : public WindowTest {};

int markedRadios(W* w) {
  int marked = 0;
  for (int i = 1; i <= 4; ++i) marked += w->getFontRadio(i)->getCheck() ? 1 : 0;
  return marked;
}

// ---- construction ----

TEST_F(MainWindowTest, StartsWithTitleSizeStatusEmptyConsoleStartFontAndIcons) {
  build();
  EXPECT_STREQ(window->getTitle().text(), "multiprotocol FW update tool V1.8");
  // 700 wide, or wider when a dump line or a long port path would be clipped.
  EXPECT_GE(window->getWidth(), 700);
  EXPECT_GE(window->getWidth(), window->getDefaultWidth());
  EXPECT_EQ(window->getHeight(), 560);
  EXPECT_TRUE(window->shown());
  EXPECT_EQ(status(), "Waiting for commands.");
  EXPECT_EQ(console(), "");
  EXPECT_EQ(window->getConsole()->getFont(), window->getConsoleFont());
  EXPECT_STREQ(window->getConsoleFont()->getName().text(), "Terminal");
  EXPECT_EQ(window->getConsoleFont()->getSize(), 110u);  // decipoints
  EXPECT_FALSE(window->getConnection().connected());
  EXPECT_EQ(window->getIcon(), window->getLogoIcon());
  EXPECT_EQ(window->getMiniIcon(), window->getSmallIcon());
  EXPECT_EQ(std::make_pair(window->getLogoIcon()->getWidth(), window->getLogoIcon()->getHeight()), std::make_pair(104, 34));
  EXPECT_EQ(std::make_pair(window->getSmallIcon()->getWidth(), window->getSmallIcon()->getHeight()), std::make_pair(16, 16));
}

TEST_F(MainWindowTest, FieldsShowQorConfigLinesOneToFiveOrTheDefaultsWithoutIt) {
  struct Case {
    const char* name;
    const char* file;  // null: no QORconfig.txt
    std::vector<std::string> fields;  // manufacturer, id, version, device type, key, counter
  } cases[] = {
      {"no file", nullptr, {"BRV", "01020304", "40", "03", "5A17C3E90B4D62F8A1C07E3B9D2F4A68", "00000001"}},
      {"six lines, CR LF", "ABC\r\n87654321\r\n01\r\n07\r\n000102030405060708090A0B0C0D0E0F\r\n99999999\r\n",
       {"ABC", "87654321", "01", "07", "000102030405060708090A0B0C0D0E0F", "00000001"}},
      {"two lines: the rest empty, not default", "XYZ\n11223344\n", {"XYZ", "11223344", "", "", "", "00000001"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove("QORconfig.txt");
    if (c.file) std::ofstream("QORconfig.txt", std::ios::binary) << c.file;
    ASSERT_EQ(readConfigFile("QORconfig.txt"), c.file ? 1 : 0);
    std::remove("QORconfig.txt");
    build();
    const Field order[] = {Field::Manufacturer, Field::IdNumber, Field::Version,
                           Field::DeviceType,   Field::Key,      Field::Counter};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(window->fieldText(order[i]), c.fields[i]) << "field " << i;
    // The stores start as the fields show them, so an early protected answer decrypts.
    uint8_t key[16] = {0};
    parseHex(c.fields[4].c_str(), key, 16);
    EXPECT_EQ(hex(communicationKey, 16), hex(key, 16));
    delete window;
    window = nullptr;
  }
}

TEST_F(MainWindowTest, PortListKeepsTheEnumeratedOrderAndBaudStartsAt2400) {
  const char* names[] = {"COM1", "COM10", "COM2"};
  for (int i = 0; i < 3; ++i) std::strcpy(comPortNames[i], names[i]);
  comPortCount = 3;
  build();
  FXListBox* ports = window->getPortList();
  ASSERT_EQ(ports->getNumItems(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_STREQ(ports->getItemText(i).text(), names[i]);
  EXPECT_EQ(ports->getCurrentItem(), 0);
  FXListBox* bauds = window->getBaudList();
  ASSERT_EQ(bauds->getNumItems(), 2);
  EXPECT_STREQ(bauds->getItemText(0).text(), "2400");
  EXPECT_STREQ(bauds->getItemText(1).text(), "9600");
  EXPECT_EQ(bauds->getCurrentItem(), 0);
}

TEST_F(MainWindowTest, IdentificationFieldsAreReadOnlyKeyAndCounterLimited) {
  build();
  for (Field f : {Field::Manufacturer, Field::IdNumber, Field::Version, Field::DeviceType}) {
    EXPECT_FALSE(window->getField(f)->isEditable());
    const std::string before = window->fieldText(f);
    typeText(window->getField(f), "9");
    EXPECT_EQ(window->fieldText(f), before);
  }
  FXTextField* key = window->getField(Field::Key);
  FXTextField* counter = window->getField(Field::Counter);
  key->setText("");
  typeText(key, std::string(40, 'A'));
  EXPECT_EQ(window->fieldText(Field::Key), std::string(32, 'A'));
  counter->setText("");
  typeText(counter, "0123456789AB");
  EXPECT_EQ(window->fieldText(Field::Counter), "01234567");
}

// ---- options and fonts ----

TEST_F(MainWindowTest, OptionTogglesKeepMarkAndFlagEqualByClickOrByCommand) {
  build();
  struct Option {
    FXMenuCheck* item;
    FXSelector id;
    uint8_t* flag;
    uint8_t start;
  } options[] = {{window->getEncryptionCheck(), W::ID_ENCRYPTION, &encryptionOn, 1},
                 {window->getSimpleProtocolCheck(), W::ID_SIMPLE_PROTOCOL, &useSimpleProtocol, 0},
                 {window->getDoubleBlockCheck(), W::ID_DOUBLE_BLOCK_42, &doubleBlock42, 0},
                 {window->getSkipBlockCheck(), W::ID_SKIP_BLOCK_15, &skipBlock15, 0}};
  for (auto& o : options) {
    SCOPED_TRACE(o.item->getText().text());
    EXPECT_EQ(*o.flag, o.start);
    EXPECT_EQ(o.item->getCheck() != FALSE, o.start != 0);
    // Click, click, then the command alone (no toolkit flip of the mark).
    for (int step = 1; step <= 3; ++step) {
      if (step < 3) clickMenuItem(o.item);
      else send(o.id);
      EXPECT_EQ(*o.flag, (o.start ^ step) & 1) << "step " << step;
      EXPECT_EQ(o.item->getCheck() != FALSE, *o.flag != 0) << "step " << step;
    }
  }
}

TEST_F(MainWindowTest, FontThreeThenFontTwoLeavesOneRadioAndEveryFontIsRealised) {
  build();
  window->outputText("0x10 0x5B 0xFB 0x56 0x16 \n", STYLE_SENT);
  EXPECT_EQ(markedRadios(window), 1);
  EXPECT_TRUE(window->getFontRadio(2)->getCheck());
  // Real clicks: 3, then 2, then each radio by its command.
  const struct {
    int radio;
    bool click;
    const char* face;
  } steps[] = {{3, true, "Fixed"},     {2, true, "Terminal"},  {1, false, "Courier"},
               {2, false, "Terminal"}, {3, false, "Fixed"},    {4, false, "helvetica [bitstream]"}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.radio);
    if (s.click) clickMenuItem(window->getFontRadio(s.radio));
    else send(W::ID_FONT_1 + s.radio - 1);
    EXPECT_EQ(markedRadios(window), 1);
    EXPECT_TRUE(window->getFontRadio(s.radio)->getCheck());
    FXFont* font = window->getConsoleFont();
    EXPECT_EQ(window->getConsole()->getFont(), font);
    EXPECT_NE(font->id(), 0u);  // created, whatever face the machine had
    EXPECT_STREQ(font->getName().text(), s.face);
    EXPECT_GT(font->getFontHeight(), 0);
    runFor(30);  // repaint with it
  }
  EXPECT_EQ(console(), "0x10 0x5B 0xFB 0x56 0x16 \n");
}

// ---- console and log ----

TEST_F(MainWindowTest, LogEqualsConsoleTextInTheCallersStyles) {
  build();
  const Bytes frame{0x10, 0x5B, 0xFB, 0x56, 0x16};
  Bytes answer(20);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = (uint8_t)i;
  window->outputText(">>> REQ_UD2\n", STYLE_SENT);
  window->dumpSentBytes(frame.data(), (int)frame.size());
  window->outputText("<<< Answer\n", STYLE_RECEIVED);
  window->dumpBytes(answer.data(), (int)answer.size(), STYLE_RECEIVED);
  window->getOutput().outputFormat(STYLE_PROGRESS, "Read %d bytes from file %s\n", 7, "x.cfw");
  EXPECT_EQ(readFile(LOG_PATH), console());
  FXText* text = window->getConsole();
  EXPECT_EQ(text->getStyle(0), STYLE_SENT);
  EXPECT_EQ(text->getStyle((FXint)console().find("<<<")), STYLE_RECEIVED);
  EXPECT_EQ(text->getStyle((FXint)console().find("Read")), STYLE_PROGRESS);
}

TEST_F(MainWindowTest, OutputScrollsTheConsoleToItsLastLine) {
  build();
  runFor(50);
  for (int i = 0; i < 200; ++i) window->getOutput().outputFormat(STYLE_SENT, "line %d\n", i);
  runFor(50);
  FXText* text = window->getConsole();
  EXPECT_GT(text->getTopLine(), 0);
  EXPECT_TRUE(text->isPosVisible(text->lineStart(text->getLength())));
}

TEST_F(MainWindowTest, CtrlREmptiesTheConsoleButNotTheLogAndStatusTextIsNeitherLoggedNorShown) {
  build();
  window->outputText("kept in the log\n", STYLE_PROGRESS);
  window->setStatusText("REQ_UD2 sent.");
  EXPECT_EQ(status(), "REQ_UD2 sent.");
  EXPECT_EQ(console(), "kept in the log\n");
  sendKey(window, KEY_r, CONTROLMASK);
  EXPECT_EQ(console(), "");
  EXPECT_EQ(readFile(LOG_PATH), "kept in the log\n");
  EXPECT_EQ(status(), "REQ_UD2 sent.");
  window->outputText("after\n", STYLE_SENT);
  EXPECT_EQ(console(), "after\n");
}

TEST_F(MainWindowTest, MissingLogIsToldInTheConsole) {
  closeLogFile();
  build();
  window->reportLogUnavailable("QORFW.log");
  window->outputText(">>> SND_NKE\n", STYLE_SENT);
  EXPECT_EQ(console(), "Log file QORFW.log could not be created; output is shown in the console only.\n>>> SND_NKE\n");
}

// ---- menus, accelerators, modal boxes ----
// Each of the five accelerators is typed below: ctrl-a, ctrl-q, ctrl-r, ctrl-o, ctrl-f.

TEST_F(MainWindowTest, MenuBarReadsFileSettingsOptionsWithHelpAtTheRight) {
  build();
  std::vector<std::string> left, right;
  FXWindow* bar = window->getFirst();
  ASSERT_TRUE(bar->isMemberOf(FXMETACLASS(FXMenuBar)));
  for (FXWindow* w = bar->getFirst(); w; w = w->getNext())
    (w->getLayoutHints() & LAYOUT_RIGHT ? right : left).push_back(((FXMenuTitle*)w)->getText().text());
  EXPECT_EQ(left, (std::vector<std::string>{"File", "Settings", "Options"}));
  EXPECT_EQ(right, std::vector<std::string>{"Help"});
}

TEST_F(MainWindowTest, AboutOpensFromCtrlAAndIsDismissed) {
  build();
  std::string shot;
  ModalCloser closer(FXDialogBox::ID_ACCEPT, [&](FXTopWindow* about) { shot = screenshot(about, "about"); });
  sendKey(window, KEY_a, CONTROLMASK);
  EXPECT_TRUE(closer.seen);
  EXPECT_EQ(closer.title, "About Zentharoval FW update tool");
  EXPECT_NE(closer.labels.find("multiprotocol Dongle FW update tool V1.8|"), std::string::npos) << closer.labels;
  EXPECT_NE(closer.labels.find("\nmultiprotocol Dongle FW update tool\nTool to update a multiprotocol Dongle.|"),
            std::string::npos);
  EXPECT_EQ(app().getModalWindow(), nullptr);
  EXPECT_EQ(console(), "");
  EXPECT_TRUE(!std::getenv("MBUS_BUILD_DIR") || !shot.empty()) << "about screenshot not taken";
}

TEST_F(MainWindowTest, QuitFromCtrlQEndsTheEventLoop) {
  build();
  Timer quit([&] { sendKey(window, KEY_q, CONTROLMASK); });
  quit.start(50);
  FXuint never = 0;
  app().runUntil(never);  // returns only because the application was told to quit
  EXPECT_EQ(never, 0u);
}

TEST_F(MainWindowTest, ConnectErrorsShowTheBoxAndStayDisconnected) {
  const struct {
    const char* port;  // null: empty port list
    const char* text;
  } cases[] = {{nullptr, "Serial Error\nNo COM port selected."},
               {"/dev/mbus-no-such-port", "Serial Error\nCOM port /dev/mbus-no-such-port not found"}};
  build();
  ASSERT_EQ(window->getPortList()->getNumItems(), 0);  // no COM port on this "machine"
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.port) window->getPortList()->appendItem(c.port);
    ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
    EXPECT_EQ(send(W::ID_CONNECT), 1);
    EXPECT_TRUE(closer.seen);
    EXPECT_EQ(closer.title, "Brovanel Testtool");
    EXPECT_NE(closer.labels.find(c.text), std::string::npos) << closer.labels;
    EXPECT_FALSE(window->getConnection().connected());
    EXPECT_EQ(status(), "Waiting for commands.");
    EXPECT_EQ(console(), "");
  }
}

TEST_F(MainWindowTest, SndNkeAndDisconnectWhileDisconnected) {
  build();
  send(W::ID_DISCONNECT);
  EXPECT_EQ(status(), "Waiting for commands.");
  send(W::ID_SND_NKE);
  EXPECT_EQ(console(), ">>> SND_NKE\n0x10 0x40 0xFB 0x3B 0x16 \n");
  EXPECT_EQ(status(), "SND_NKE sent.");
}

// The receive poll reads answers from the event loop and from the pump that
// a firmware sequence waits through (each of its polls sleeps 2 ms).
TEST_F(MainWindowTest, ConnectSendAndReceiveThroughTheWindowOnAPty) {
  PtyPair pty;
  ASSERT_FALSE(pty.path.empty());
  build();
  connect(pty.path, 1);
  ASSERT_TRUE(window->getConnection().connected());
  EXPECT_EQ(status(), "Connected to serial [" + pty.path + "] baudrate 9600");

  send(W::ID_REQ_UD2);
  const Bytes sent = pty.receive(64, 300);
  EXPECT_EQ(sent, (Bytes{0x10, 0x5B, 0xFB, 0x56, 0x16})) << hex(sent);
  EXPECT_EQ(console(), ">>> REQ_UD2\n0x10 0x5B 0xFB 0x56 0x16 \n");
  EXPECT_EQ(status(), "REQ_UD2 sent.");

  const std::string ack = "<<< Answer single byte ACK.\n";
  ASSERT_TRUE(pty.write({0xE5}));
  EXPECT_TRUE(runUntil([&] { return console().find(ack) != std::string::npos; }, 3000)) << console();
  window->getConsole()->setText("");
  ASSERT_TRUE(pty.write({0xE5}));
  const auto start = std::chrono::steady_clock::now();
  long polls = 0;
  for (; console().find(ack) == std::string::npos && polls < 1000; ++polls) window->getPump().pumpEvents();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(console(), ack);
  EXPECT_GE(ms.count(), 2 * polls);
  EXPECT_TRUE(app().hasTimeout(window, W::ID_RECEIVE_TIMER));
  EXPECT_EQ(readFile(LOG_PATH), ">>> REQ_UD2\n0x10 0x5B 0xFB 0x56 0x16 \n" + ack + ack);

  send(W::ID_DISCONNECT);
  EXPECT_FALSE(window->getConnection().connected());
  EXPECT_EQ(status(), "Serial not connected.");
}

TEST_F(MainWindowTest, ReceiveTimerIsArmedForOneSecondThenEvery200MsAndGoesWithTheWindow) {
  build();
  ASSERT_TRUE(app().hasTimeout(window, W::ID_RECEIVE_TIMER));
  const FXuint first = app().remainingTimeout(window, W::ID_RECEIVE_TIMER);
  EXPECT_GT(first, 500u);  // construction and realisation took the rest
  EXPECT_LE(first, 1000u);
  runFor(1100);
  ASSERT_TRUE(app().hasTimeout(window, W::ID_RECEIVE_TIMER));
  EXPECT_LE(app().remainingTimeout(window, W::ID_RECEIVE_TIMER), 200u);
  W* gone = window;
  delete window;
  window = nullptr;
  EXPECT_FALSE(app().hasTimeout(gone, W::ID_RECEIVE_TIMER));
}

// ---- firmware file ----

TEST_F(MainWindowTest, FirmwareDialogLoadsTheChosenFileAndALaterCancelKeepsIt) {
  std::ofstream("dialog.cfw", std::ios::binary) << "0123456789";
  char cwd[1024];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string path = std::string(cwd) + "/dialog.cfw";
  build();
  FXFileDialog* dialog = window->makeFirmwareDialog();
  EXPECT_STREQ(dialog->getPatternList().text(), "Firmware file (*cfw)\nAll files (*.*)");
  EXPECT_EQ(dialog->getCurrentPattern(), 0);
  EXPECT_STREQ(dialog->getPattern().text(), "*cfw");
  delete dialog;
  {
    ModalCloser closer(FXDialogBox::ID_ACCEPT, [&](FXTopWindow* d) { ((FXFileDialog*)d)->setFilename(path.c_str()); });
    sendKey(window, KEY_o, CONTROLMASK);
    EXPECT_EQ(closer.title, "Firmware to program");
  }
  EXPECT_EQ(firmwareLoaded, 1);
  EXPECT_EQ(firmwareLength, 10u);
  ModalCloser closer(FXDialogBox::ID_CANCEL);
  EXPECT_EQ(send(W::ID_OPEN_FIRMWARE), 1);
  EXPECT_TRUE(closer.seen);
  EXPECT_EQ(firmwareLoaded, 1);
  EXPECT_EQ(firmwareLength, 10u);
  EXPECT_EQ(console(), "Read 10 bytes from file " + path + "\nFirmware load cancelled.\n");
  std::remove("dialog.cfw");
}

TEST_F(MainWindowTest, UnopenableFirmwareShowsTheErrorBoxAndReturnsZero) {
  build();
  window->chooseFirmwarePath = [] { return std::string("/no/such/firmware.cfw"); };
  ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
  EXPECT_EQ(send(W::ID_OPEN_FIRMWARE), 0);
  EXPECT_EQ(closer.title, "Error opening file");
  EXPECT_NE(closer.labels.find("Could not open file: /no/such/firmware.cfw"), std::string::npos);
  EXPECT_EQ(console(), "Error opening firmware file.\n");
  EXPECT_EQ(firmwareLoaded, 0);
}

TEST_F(MainWindowTest, FirmwareUpdateWithoutFirmwareShowsTheBoxThenTheLine) {
  build();
  {
    ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
    EXPECT_EQ(send(W::ID_FIRMWARE_UPDATE), 0);
    EXPECT_TRUE(closer.seen);
  }
  ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
  sendKey(window, KEY_f, CONTROLMASK);
  EXPECT_TRUE(closer.seen);
  EXPECT_EQ(closer.title, "No firmware selected.");
  EXPECT_NE(closer.labels.find("Choose firmware to program."), std::string::npos);
  EXPECT_EQ(console(), "No firmware selected.\nNo firmware selected.\n");
}

// ---- the whole window, for the eye ----

TEST_F(MainWindowTest, ScreenshotOfTheMainWindow) {
  if (!std::getenv("MBUS_BUILD_DIR")) GTEST_SKIP() << "MBUS_BUILD_DIR not set";
  std::strcpy(comPortNames[0], "/dev/ttyS0");
  comPortCount = 1;
  build();
  window->outputText(">>> REQ_UD2\n", STYLE_SENT);
  const Bytes frame{0x10, 0x5B, 0xFB, 0x56, 0x16};
  window->dumpSentBytes(frame.data(), 5);
  window->outputText("<<< Answer single byte ACK.\n", STYLE_RECEIVED);
  window->outputText("Read 131104 bytes from file firmware.cfw\n", STYLE_PROGRESS);
  runFor(300);
  EXPECT_NE(screenshot(window, "main-window"), "");
}

}  // namespace
