// DongleToolWindow in-process under Xvfb: widgets, menus, options, fonts,
// the console and its log, the modal boxes, the port and the receive timer.
#include "app/main_window.h"

#include <fcntl.h>
#include <fxkeys.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/shell/com_ports.h"
#include "app/shell/config_file.h"
#include "app/shell/log_file.h"
#include "commands/identity_fields.h"
#include "firmware/firmware_image.h"
#include "tests/support/fakes.h"

// ---- FOX helpers for the tests ----

// Runs a callback on a FOX timeout; inside a modal loop too.
class TestTimer : public FXObject {
  FXDECLARE(TestTimer)

 public:
  enum { ID_TICK = 1 };
  std::function<void()> onTick;
  long onTimeout(FXObject*, FXSelector, void*) {
    if (onTick) onTick();
    return 1;
  }
};
FXDEFMAP(TestTimer) TestTimerMap[] = {FXMAPFUNC(SEL_TIMEOUT, TestTimer::ID_TICK, TestTimer::onTimeout)};
FXIMPLEMENT(TestTimer, FXObject, TestTimerMap, ARRAYNUMBER(TestTimerMap))

namespace {

FXApp& app() {
  static FXApp* application = [] {
    static int argc = 1;
    static char name[] = "main_window_test";
    static char* argv[] = {name, nullptr};
    FXApp* a = new FXApp(DongleToolWindow::TITLE, "Brovanel");
    a->init(argc, argv, TRUE);
    a->create();
    return a;
  }();
  return *application;
}

// Lets the loop run for a while (timers, repaints, layout).
void runFor(unsigned ms) {
  TestTimer timer;
  FXuint done = 0;
  timer.onTick = [&] { done = 1; };
  app().addTimeout(&timer, TestTimer::ID_TICK, ms);
  app().runUntil(done);
  app().removeTimeout(&timer, TestTimer::ID_TICK);
}

void collectLabels(FXWindow* window, std::vector<std::string>& texts) {
  for (FXWindow* child = window->getFirst(); child; child = child->getNext()) {
    if (child->getMetaClass() == FXMETACLASS(FXLabel)) texts.push_back(((FXLabel*)child)->getText().text());
    collectLabels(child, texts);
  }
}

// Closes the next modal box from a timer, after recording its title and labels.
class ModalCloser {
 public:
  ModalCloser(FXSelector answer, std::function<void(FXTopWindow*)> before = nullptr)
      : answer_(answer), before_(std::move(before)) {
    timer_.onTick = [this] { tick(); };
    app().addTimeout(&timer_, TestTimer::ID_TICK, 50);
  }
  ~ModalCloser() { app().removeTimeout(&timer_, TestTimer::ID_TICK); }
  bool seen = false;
  std::string title;
  std::vector<std::string> labels;
  std::string joinedLabels() const {
    std::string all;
    for (const auto& l : labels) all += l + "|";
    return all;
  }

 private:
  void tick() {
    FXWindow* modal = app().getModalWindow();
    if (!modal || seen) {
      if (!seen) app().addTimeout(&timer_, TestTimer::ID_TICK, 20);
      return;
    }
    seen = true;
    FXTopWindow* top = (FXTopWindow*)modal;
    title = top->getTitle().text();
    collectLabels(top, labels);
    if (before_) before_(top);
    top->handle(nullptr, FXSEL(SEL_COMMAND, answer_), nullptr);
  }
  TestTimer timer_;
  FXSelector answer_;
  std::function<void(FXTopWindow*)> before_;
};

void sendKey(FXWindow* target, FXuint code, FXuint state, const char* text = "") {
  FXEvent press;
  press.type = SEL_KEYPRESS;
  press.code = code;
  press.state = state;
  press.text = text;
  target->handle(target, FXSEL(SEL_KEYPRESS, 0), &press);
  FXEvent release = press;
  release.type = SEL_KEYRELEASE;
  target->handle(target, FXSEL(SEL_KEYRELEASE, 0), &release);
}

// What a user's Return on a highlighted menu item does.
void clickMenuItem(FXWindow* item) { sendKey(item, KEY_Return, 0); }

void typeText(FXWindow* field, const std::string& text) {
  for (char c : text) sendKey(field, (FXuint)c, 0, std::string(1, c).c_str());
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

const char* const LOG_PATH = "QORFW.log";

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    encryptionOn = 1;
    useSimpleProtocol = 0;
    doubleBlock42 = 0;
    skipBlock15 = 0;
    firmwareLoaded = 0;
    std::memset(configLines, 0, sizeof configLines);
    configLoaded = 0;
    comPortCount = 0;
    ASSERT_TRUE(openLogFile(LOG_PATH));
  }
  void TearDown() override {
    delete window;
    window = nullptr;
    app().flush(true);  // let the X server drop the window now
    closeLogFile();
  }
  void build() {
    window = new DongleToolWindow(&app());
    window->create();
    app().forceRefresh();
    app().flush(true);
  }
  std::string consoleText() const { return window->getConsole()->getText().text(); }
  std::string field(Field f) const { return window->fieldText(f); }
  long send(FXSelector id, void* data = nullptr) {
    return window->handle(nullptr, FXSEL(SEL_COMMAND, id), data);
  }

  DongleToolWindow* window = nullptr;
};

// ---- construction ----

TEST_F(MainWindowTest, StartsWithTitleSizeStatusEmptyConsoleAndStartFont) {
  build();
  EXPECT_STREQ(window->getTitle().text(), "multiprotocol FW update tool V1.8");
  EXPECT_EQ(window->getWidth(), 700);
  EXPECT_EQ(window->getHeight(), 560);
  EXPECT_TRUE(window->shown());
  EXPECT_STREQ(window->getStatusLine()->getNormalText().text(), "Waiting for commands.");
  EXPECT_EQ(consoleText(), "");
  EXPECT_EQ(window->getConsole()->getFont(), window->getConsoleFont());
  EXPECT_STREQ(window->getConsoleFont()->getName().text(), "Terminal");
  EXPECT_EQ(window->getConsoleFont()->getSize(), 110u);  // decipoints
  EXPECT_FALSE(window->getConnection().connected());
  EXPECT_EQ(window->getIcon(), window->getLogoIcon());
  EXPECT_EQ(window->getMiniIcon(), window->getSmallIcon());
  EXPECT_EQ(window->getLogoIcon()->getWidth(), 104);
  EXPECT_EQ(window->getLogoIcon()->getHeight(), 34);
  EXPECT_EQ(window->getSmallIcon()->getWidth(), 16);
  EXPECT_EQ(window->getSmallIcon()->getHeight(), 16);
}

TEST_F(MainWindowTest, MessageIdsKeepTheirNumbers) {
  EXPECT_EQ(FXMainWindow::ID_LAST, 60);
  EXPECT_EQ(DongleToolWindow::ID_ABOUT, 60);
  EXPECT_EQ(DongleToolWindow::ID_SND_NKE, 68);
  EXPECT_EQ(DongleToolWindow::ID_REQ_UD2, 69);
  EXPECT_EQ(DongleToolWindow::ID_ENCRYPTION, 72);
  EXPECT_EQ(DongleToolWindow::ID_SKIP_BLOCK_15, 75);
  EXPECT_EQ(DongleToolWindow::ID_RECEIVE_TIMER, 76);
  EXPECT_EQ(DongleToolWindow::ID_FONT_1, 82);
  EXPECT_EQ(DongleToolWindow::ID_FONT_4, 85);
  EXPECT_EQ(DongleToolWindow::ID_RESET_OUTPUT, 88);
  EXPECT_EQ(DongleToolWindow::ID_CONNECT, 89);
  EXPECT_EQ(DongleToolWindow::ID_DISCONNECT, 90);
  EXPECT_EQ(DongleToolWindow::ID_OPEN_FIRMWARE, 92);
  EXPECT_EQ(DongleToolWindow::ID_FIRMWARE_UPDATE, 93);
}

TEST_F(MainWindowTest, WithoutConfigFileTheFieldsShowTheDefaults) {
  build();
  EXPECT_EQ(field(Field::Manufacturer), "BRV");
  EXPECT_EQ(field(Field::IdNumber), "01020304");
  EXPECT_EQ(field(Field::Version), "40");
  EXPECT_EQ(field(Field::DeviceType), "03");
  EXPECT_EQ(field(Field::Key), "5A17C3E90B4D62F8A1C07E3B9D2F4A68");
  EXPECT_EQ(field(Field::Counter), "00000001");
}

TEST_F(MainWindowTest, ConfigFileLinesOneToFiveFillTheFields) {
  {
    std::ofstream config("QORconfig.txt", std::ios::binary);
    config << "ABC\r\n87654321\r\n01\r\n07\r\n000102030405060708090A0B0C0D0E0F\r\n99999999\r\n";
  }
  ASSERT_EQ(readConfigFile("QORconfig.txt"), 1);
  std::remove("QORconfig.txt");
  build();
  EXPECT_EQ(field(Field::Manufacturer), "ABC");
  EXPECT_EQ(field(Field::IdNumber), "87654321");
  EXPECT_EQ(field(Field::Version), "01");
  EXPECT_EQ(field(Field::DeviceType), "07");
  EXPECT_EQ(field(Field::Key), "000102030405060708090A0B0C0D0E0F");
  EXPECT_EQ(field(Field::Counter), "00000001");  // line 6 has no effect
}

TEST_F(MainWindowTest, TwoLineConfigFileLeavesTheOtherFieldsEmpty) {
  {
    std::ofstream config("QORconfig.txt", std::ios::binary);
    config << "XYZ\n11223344\n";
  }
  ASSERT_EQ(readConfigFile("QORconfig.txt"), 1);
  std::remove("QORconfig.txt");
  build();
  EXPECT_EQ(field(Field::Manufacturer), "XYZ");
  EXPECT_EQ(field(Field::IdNumber), "11223344");
  EXPECT_EQ(field(Field::Version), "");
  EXPECT_EQ(field(Field::DeviceType), "");
  EXPECT_EQ(field(Field::Key), "");
}

TEST_F(MainWindowTest, PortListHoldsTheEnumeratedPortsFirstCurrentAndBaudStartsAt2400) {
  std::strcpy(comPortNames[0], "COM1");
  std::strcpy(comPortNames[1], "COM10");
  std::strcpy(comPortNames[2], "COM2");
  comPortCount = 3;
  build();
  FXListBox* ports = window->getPortList();
  ASSERT_EQ(ports->getNumItems(), 3);
  EXPECT_STREQ(ports->getItemText(0).text(), "COM1");
  EXPECT_STREQ(ports->getItemText(1).text(), "COM10");
  EXPECT_STREQ(ports->getItemText(2).text(), "COM2");
  EXPECT_EQ(ports->getCurrentItem(), 0);
  FXListBox* bauds = window->getBaudList();
  ASSERT_EQ(bauds->getNumItems(), 2);
  EXPECT_STREQ(bauds->getItemText(0).text(), "2400");
  EXPECT_STREQ(bauds->getItemText(1).text(), "9600");
  EXPECT_EQ(bauds->getCurrentItem(), 0);
}

TEST_F(MainWindowTest, NoComPortGivesAnEmptyPortList) {
  build();
  EXPECT_EQ(window->getPortList()->getNumItems(), 0);
}

TEST_F(MainWindowTest, IdentificationFieldsAreReadOnlyKeyAndCounterLimited) {
  build();
  for (Field f : {Field::Manufacturer, Field::IdNumber, Field::Version, Field::DeviceType}) {
    FXTextField* text = window->getField(f);
    EXPECT_FALSE(text->isEditable());
    const std::string before = field(f);
    typeText(text, "9");
    EXPECT_EQ(field(f), before);
  }
  FXTextField* key = window->getField(Field::Key);
  FXTextField* counter = window->getField(Field::Counter);
  EXPECT_TRUE(key->isEditable());
  EXPECT_TRUE(counter->isEditable());
  key->setText("");
  typeText(key, std::string(40, 'A'));
  EXPECT_EQ(field(Field::Key), std::string(32, 'A'));
  counter->setText("");
  typeText(counter, "0123456789AB");
  EXPECT_EQ(field(Field::Counter), "01234567");
}

// ---- options and fonts ----

TEST_F(MainWindowTest, OptionClicksKeepMarkAndFlagEqual) {
  build();
  struct Option {
    FXMenuCheck* item;
    uint8_t* flag;
    uint8_t start;
  } options[] = {{window->getEncryptionCheck(), &encryptionOn, 1},
                 {window->getSimpleProtocolCheck(), &useSimpleProtocol, 0},
                 {window->getDoubleBlockCheck(), &doubleBlock42, 0},
                 {window->getSkipBlockCheck(), &skipBlock15, 0}};
  for (auto& o : options) {
    SCOPED_TRACE(o.item->getText().text());
    EXPECT_EQ(*o.flag, o.start);
    EXPECT_EQ(o.item->getCheck() != FALSE, o.start != 0);
    clickMenuItem(o.item);
    EXPECT_EQ(*o.flag, o.start ^ 1);
    EXPECT_EQ(o.item->getCheck() != FALSE, *o.flag != 0);
    clickMenuItem(o.item);
    EXPECT_EQ(*o.flag, o.start);
    EXPECT_EQ(o.item->getCheck() != FALSE, *o.flag != 0);
  }
}

TEST_F(MainWindowTest, OptionCommandWithoutAClickStillMovesTheMark) {
  build();
  send(DongleToolWindow::ID_ENCRYPTION);
  EXPECT_EQ(encryptionOn, 0);
  EXPECT_FALSE(window->getEncryptionCheck()->getCheck());
  send(DongleToolWindow::ID_SKIP_BLOCK_15);
  EXPECT_EQ(skipBlock15, 1);
  EXPECT_TRUE(window->getSkipBlockCheck()->getCheck());
}

int markedRadios(DongleToolWindow* w) {
  int marked = 0;
  for (int i = 1; i <= 4; ++i) marked += w->getFontRadio(i)->getCheck() ? 1 : 0;
  return marked;
}

TEST_F(MainWindowTest, FontThreeThenFontTwoLeavesOneRadioAndTheTerminalFont) {
  build();
  EXPECT_EQ(markedRadios(window), 1);
  EXPECT_TRUE(window->getFontRadio(2)->getCheck());
  clickMenuItem(window->getFontRadio(3));
  EXPECT_EQ(markedRadios(window), 1);
  EXPECT_TRUE(window->getFontRadio(3)->getCheck());
  EXPECT_STREQ(window->getConsoleFont()->getName().text(), "Fixed");
  EXPECT_EQ(window->getConsole()->getFont(), window->getConsoleFont());
  clickMenuItem(window->getFontRadio(2));
  EXPECT_EQ(markedRadios(window), 1);
  EXPECT_TRUE(window->getFontRadio(2)->getCheck());
  EXPECT_STREQ(window->getConsoleFont()->getName().text(), "Terminal");
  EXPECT_EQ(window->getConsole()->getFont(), window->getConsoleFont());
}

TEST_F(MainWindowTest, EveryFontChoiceIsRealisedAndTheConsoleStaysReadable) {
  build();
  window->outputText("0x10 0x5B 0xFB 0x56 0x16 \n", STYLE_SENT);
  const char* faces[] = {"Courier", "Terminal", "Fixed", "helvetica [bitstream]"};
  for (int i = 1; i <= 4; ++i) {
    SCOPED_TRACE(i);
    send(DongleToolWindow::ID_FONT_1 + i - 1);
    FXFont* font = window->getConsoleFont();
    EXPECT_NE(font->id(), 0u);  // created, whatever face the machine had
    EXPECT_STREQ(font->getName().text(), faces[i - 1]);
    EXPECT_GT(font->getFontHeight(), 0);
    EXPECT_TRUE(window->getFontRadio(i)->getCheck());
    EXPECT_EQ(markedRadios(window), 1);
    runFor(30);
  }
  EXPECT_EQ(consoleText(), "0x10 0x5B 0xFB 0x56 0x16 \n");
}

// ---- console and log ----

TEST_F(MainWindowTest, LogEqualsConsoleText) {
  build();
  const std::vector<uint8_t> frame{0x10, 0x5B, 0xFB, 0x56, 0x16};
  std::vector<uint8_t> answer(20);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = (uint8_t)i;
  window->outputText(">>> REQ_UD2\n", STYLE_SENT);
  window->dumpSentBytes(frame.data(), (int)frame.size());
  window->outputText("<<< Answer\n", STYLE_RECEIVED);
  window->dumpBytes(answer.data(), (int)answer.size(), STYLE_RECEIVED);
  window->getOutput().outputFormat(STYLE_PROGRESS, "Read %d bytes from file %s\n", 7, "x.cfw");
  EXPECT_EQ(readFile(LOG_PATH), consoleText());
  EXPECT_EQ(window->getConsole()->getStyle(0), STYLE_SENT);
  EXPECT_EQ(window->getConsole()->getStyle((FXint)consoleText().find("<<<")), STYLE_RECEIVED);
  EXPECT_EQ(window->getConsole()->getStyle((FXint)consoleText().find("Read")), STYLE_PROGRESS);
}

TEST_F(MainWindowTest, OutputScrollsTheConsoleToItsLastLine) {
  build();
  runFor(50);
  for (int i = 0; i < 200; ++i) window->getOutput().outputFormat(STYLE_SENT, "line %d\n", i);
  runFor(50);
  FXText* console = window->getConsole();
  EXPECT_GT(console->getTopLine(), 0);
  EXPECT_TRUE(console->isPosVisible(console->lineStart(console->getLength())));
}

TEST_F(MainWindowTest, ResetOutputByAcceleratorEmptiesTheConsoleButNotTheLog) {
  build();
  window->outputText("kept in the log\n", STYLE_PROGRESS);
  window->setStatusText("REQ_UD2 sent.");
  sendKey(window, KEY_r, CONTROLMASK);
  EXPECT_EQ(consoleText(), "");
  EXPECT_EQ(readFile(LOG_PATH), "kept in the log\n");
  EXPECT_STREQ(window->getStatusLine()->getNormalText().text(), "REQ_UD2 sent.");
  window->outputText("after\n", STYLE_SENT);
  EXPECT_EQ(consoleText(), "after\n");
}

TEST_F(MainWindowTest, StatusTextIsNeitherLoggedNorShown) {
  build();
  window->setStatusText("SND_NKE sent.");
  EXPECT_STREQ(window->getStatusLine()->getNormalText().text(), "SND_NKE sent.");
  EXPECT_EQ(consoleText(), "");
  EXPECT_EQ(readFile(LOG_PATH), "");
}

TEST_F(MainWindowTest, MissingLogIsToldOnceInTheConsole) {
  closeLogFile();
  build();
  window->reportLogUnavailable("QORFW.log");
  window->outputText(">>> SND_NKE\n", STYLE_SENT);
  EXPECT_EQ(consoleText(),
            "Log file QORFW.log could not be created; output is shown in the console only.\n>>> SND_NKE\n");
}

// ---- menus, accelerators, modal boxes ----

TEST_F(MainWindowTest, AcceleratorsAreInstalledForEveryMenuCommand) {
  build();
  FXAccelTable* table = window->getAccelTable();
  ASSERT_NE(table, nullptr);
  for (FXuint key : {KEY_o, KEY_q, KEY_a, KEY_r, KEY_f}) EXPECT_TRUE(table->hasAccel(MKUINT(key, CONTROLMASK))) << key;
}

TEST_F(MainWindowTest, MenuBarReadsFileSettingsOptionsWithHelpAtTheRight) {
  build();
  std::vector<std::string> titles;
  FXWindow* help = nullptr;
  FXWindow* bar = window->getFirst();
  ASSERT_TRUE(bar->isMemberOf(FXMETACLASS(FXMenuBar)));
  for (FXWindow* w = bar->getFirst(); w; w = w->getNext()) {
    const std::string t = ((FXMenuTitle*)w)->getText().text();
    if (w->getLayoutHints() & LAYOUT_RIGHT) help = w;
    else titles.push_back(t);
  }
  EXPECT_EQ(titles, (std::vector<std::string>{"File", "Settings", "Options"}));
  ASSERT_NE(help, nullptr);
  EXPECT_STREQ(((FXMenuTitle*)help)->getText().text(), "Help");
}

TEST_F(MainWindowTest, AboutOpensFromCtrlAAndIsDismissed) {
  build();
  ModalCloser closer(FXDialogBox::ID_ACCEPT, [](FXTopWindow* dialog) {
    if (const char* dir = std::getenv("MBUS_BUILD_DIR")) {
      app().forceRefresh();
      app().repaint();
      app().flush(true);
      const std::string cmd = std::string("mkdir -p ") + dir + "/screenshots && import -window " +
                              std::to_string((unsigned long)dialog->id()) + " " + dir +
                              "/screenshots/about.png 2>/dev/null";
      if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "about screenshot not taken\n");
    }
  });
  sendKey(window, KEY_a, CONTROLMASK);
  EXPECT_TRUE(closer.seen);
  EXPECT_EQ(closer.title, "About Zentharoval FW update tool");
  EXPECT_NE(closer.joinedLabels().find("multiprotocol Dongle FW update tool V1.8|"), std::string::npos)
      << closer.joinedLabels();
  EXPECT_NE(closer.joinedLabels().find("\nmultiprotocol Dongle FW update tool\nTool to update a multiprotocol Dongle.|"),
            std::string::npos);
  EXPECT_EQ(app().getModalWindow(), nullptr);
  EXPECT_EQ(consoleText(), "");
}

TEST_F(MainWindowTest, QuitFromCtrlQEndsTheEventLoop) {
  build();
  TestTimer timer;
  timer.onTick = [&] { sendKey(window, KEY_q, CONTROLMASK); };
  app().addTimeout(&timer, TestTimer::ID_TICK, 50);
  FXuint never = 0;
  app().runUntil(never);  // returns only because the application was told to quit
  EXPECT_EQ(never, 0u);
}

TEST_F(MainWindowTest, ConnectWithEmptyPortListShowsTheErrorBoxAndStaysDisconnected) {
  build();
  ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
  EXPECT_EQ(send(DongleToolWindow::ID_CONNECT), 1);
  EXPECT_TRUE(closer.seen);
  EXPECT_EQ(closer.title, "Brovanel Testtool");
  EXPECT_NE(closer.joinedLabels().find("Serial Error\nNo COM port selected."), std::string::npos)
      << closer.joinedLabels();
  EXPECT_FALSE(window->getConnection().connected());
  EXPECT_STREQ(window->getStatusLine()->getNormalText().text(), "Waiting for commands.");
  EXPECT_EQ(consoleText(), "");
}

TEST_F(MainWindowTest, ConnectToAMissingPortNamesItInTheErrorBox) {
  build();
  window->getPortList()->appendItem("/dev/mbus-no-such-port");
  ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
  send(DongleToolWindow::ID_CONNECT);
  EXPECT_NE(closer.joinedLabels().find("Serial Error\nCOM port /dev/mbus-no-such-port not found"), std::string::npos)
      << closer.joinedLabels();
  EXPECT_FALSE(window->getConnection().connected());
}

// A pseudo-terminal stands in for the COM port; the test holds the far end.
class PtyPort {
 public:
  PtyPort() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    if (master >= 0) fcntl(master, F_SETFL, O_NONBLOCK);
  }
  ~PtyPort() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
  std::vector<uint8_t> drain() {
    std::vector<uint8_t> bytes;
    uint8_t buffer[256];
    for (int tries = 0; tries < 50; ++tries) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
      else if (!bytes.empty()) break;
      else std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return bytes;
  }
  int master = -1;
  int slave = -1;
  std::string path;
};

TEST_F(MainWindowTest, ConnectSendAndReceiveThroughTheWindowOnAPty) {
  PtyPort pty;
  ASSERT_FALSE(pty.path.empty());
  build();
  window->getPortList()->appendItem(pty.path.c_str());
  window->getBaudList()->setCurrentItem(1);
  EXPECT_EQ(send(DongleToolWindow::ID_CONNECT), 1);
  ASSERT_TRUE(window->getConnection().connected());
  EXPECT_EQ(std::string(window->getStatusLine()->getNormalText().text()),
            "Connected to serial [" + pty.path + "] baudrate 9600");

  send(DongleToolWindow::ID_REQ_UD2);
  const std::vector<uint8_t> expected{0x10, 0x5B, 0xFB, 0x56, 0x16};
  const auto sent = pty.drain();
  EXPECT_EQ(sent, expected) << hex(sent);
  EXPECT_EQ(consoleText(), ">>> REQ_UD2\n0x10 0x5B 0xFB 0x56 0x16 \n");
  EXPECT_STREQ(window->getStatusLine()->getNormalText().text(), "REQ_UD2 sent.");

  // The far end acknowledges; the receive timer reads and prints it.
  const uint8_t ack = 0xE5;
  ASSERT_EQ(write(pty.master, &ack, 1), 1);
  for (int i = 0; i < 30 && consoleText().find("ACK") == std::string::npos; ++i) runFor(100);
  EXPECT_TRUE(endsWith(consoleText(), "<<< Answer single byte ACK.\n")) << consoleText();
  EXPECT_EQ(readFile(LOG_PATH), consoleText());

  send(DongleToolWindow::ID_DISCONNECT);
  EXPECT_FALSE(window->getConnection().connected());
  EXPECT_STREQ(window->getStatusLine()->getNormalText().text(), "Serial not connected.");
}

TEST_F(MainWindowTest, SndNkeWhileDisconnectedPrintsAndSetsTheStatus) {
  build();
  send(DongleToolWindow::ID_SND_NKE);
  EXPECT_EQ(consoleText(), ">>> SND_NKE\n0x10 0x40 0xFB 0x3B 0x16 \n");
  EXPECT_STREQ(window->getStatusLine()->getNormalText().text(), "SND_NKE sent.");
}

TEST_F(MainWindowTest, DisconnectWhileNotConnectedChangesNothing) {
  build();
  send(DongleToolWindow::ID_DISCONNECT);
  EXPECT_STREQ(window->getStatusLine()->getNormalText().text(), "Waiting for commands.");
}

// ---- receive timer ----

TEST_F(MainWindowTest, ReceiveTimerIsArmedForOneSecondThenEvery200Ms) {
  build();
  EXPECT_TRUE(app().hasTimeout(window, DongleToolWindow::ID_RECEIVE_TIMER));
  const FXuint first = app().remainingTimeout(window, DongleToolWindow::ID_RECEIVE_TIMER);
  EXPECT_GT(first, 500u);  // construction and realisation took the rest
  EXPECT_LE(first, 1000u);
  runFor(1100);
  ASSERT_TRUE(app().hasTimeout(window, DongleToolWindow::ID_RECEIVE_TIMER));
  EXPECT_LE(app().remainingTimeout(window, DongleToolWindow::ID_RECEIVE_TIMER), 200u);
  DongleToolWindow* gone = window;
  delete window;
  window = nullptr;
  EXPECT_FALSE(app().hasTimeout(gone, DongleToolWindow::ID_RECEIVE_TIMER));
}

// What a firmware sequence relies on while it waits: the pump runs the
// receive poll, which reads the far end's acknowledgement.
TEST_F(MainWindowTest, EventPumpLetsTheReceiveTimerReadAnswers) {
  PtyPort pty;
  ASSERT_FALSE(pty.path.empty());
  build();
  window->getPortList()->appendItem(pty.path.c_str());
  send(DongleToolWindow::ID_CONNECT);
  ASSERT_TRUE(window->getConnection().connected());
  const uint8_t ack = 0xE5;
  ASSERT_EQ(write(pty.master, &ack, 1), 1);
  EventPump& pump = window->getPump();
  const auto start = std::chrono::steady_clock::now();
  int polls = 0;
  while (consoleText().find("ACK") == std::string::npos && polls < 1000) {
    pump.pumpEvents();
    ++polls;
  }
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(consoleText(), "<<< Answer single byte ACK.\n");
  EXPECT_GE(ms, 2L * polls);  // each poll sleeps 2 ms
  EXPECT_TRUE(app().hasTimeout(window, DongleToolWindow::ID_RECEIVE_TIMER));
}

// ---- firmware file ----

TEST_F(MainWindowTest, FirmwareDialogOffersTwoPatternsWithTheFirmwareOneCurrent) {
  build();
  FXFileDialog* dialog = window->makeFirmwareDialog();
  EXPECT_STREQ(dialog->getTitle().text(), "Firmware to program");
  EXPECT_STREQ(dialog->getPatternList().text(), "Firmware file (*cfw)\nAll files (*.*)");
  EXPECT_EQ(dialog->getCurrentPattern(), 0);
  EXPECT_STREQ(dialog->getPattern().text(), "*cfw");
  delete dialog;
}

TEST_F(MainWindowTest, CancelledFirmwareDialogIsReported) {
  build();
  ModalCloser closer(FXDialogBox::ID_CANCEL);
  EXPECT_EQ(send(DongleToolWindow::ID_OPEN_FIRMWARE), 1);
  EXPECT_TRUE(closer.seen);
  EXPECT_EQ(closer.title, "Firmware to program");
  EXPECT_EQ(consoleText(), "Firmware load cancelled.\n");
  EXPECT_EQ(firmwareLoaded, 0);
}

TEST_F(MainWindowTest, FirmwareChosenInTheDialogIsLoaded) {
  {
    std::ofstream file("dialog.cfw", std::ios::binary);
    file << "0123456789";
  }
  char cwd[1024];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string path = std::string(cwd) + "/dialog.cfw";
  build();
  ModalCloser closer(FXDialogBox::ID_ACCEPT, [&](FXTopWindow* dialog) {
    ((FXFileDialog*)dialog)->setFilename(path.c_str());
  });
  sendKey(window, KEY_o, CONTROLMASK);
  EXPECT_TRUE(closer.seen);
  EXPECT_EQ(firmwareLoaded, 1);
  EXPECT_EQ(firmwareLength, 10u);
  EXPECT_EQ(consoleText(), "Read 10 bytes from file " + path + "\n");
  std::remove("dialog.cfw");
}

TEST_F(MainWindowTest, UnopenableFirmwareShowsTheErrorBoxAndReturnsZero) {
  build();
  window->chooseFirmwarePath = [] { return std::string("/no/such/firmware.cfw"); };
  ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
  EXPECT_EQ(send(DongleToolWindow::ID_OPEN_FIRMWARE), 0);
  EXPECT_EQ(closer.title, "Error opening file");
  EXPECT_NE(closer.joinedLabels().find("Could not open file: /no/such/firmware.cfw"), std::string::npos);
  EXPECT_EQ(consoleText(), "Error opening firmware file.\n");
  EXPECT_EQ(firmwareLoaded, 0);
}

TEST_F(MainWindowTest, CancelAfterALoadKeepsTheFirmware) {
  {
    std::ofstream file("kept.cfw", std::ios::binary);
    file << "abc";
  }
  build();
  window->chooseFirmwarePath = [] { return std::string("kept.cfw"); };
  EXPECT_EQ(send(DongleToolWindow::ID_OPEN_FIRMWARE), 1);
  window->chooseFirmwarePath = [] { return std::string(); };
  EXPECT_EQ(send(DongleToolWindow::ID_OPEN_FIRMWARE), 1);
  EXPECT_EQ(firmwareLoaded, 1);
  EXPECT_EQ(firmwareLength, 3u);
  EXPECT_EQ(consoleText(), "Read 3 bytes from file kept.cfw\nFirmware load cancelled.\n");
  std::remove("kept.cfw");
}

TEST_F(MainWindowTest, FirmwareUpdateWithoutFirmwareShowsTheBoxThenTheLine) {
  build();
  {
    ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
    EXPECT_EQ(send(DongleToolWindow::ID_FIRMWARE_UPDATE), 0);
    EXPECT_TRUE(closer.seen);
  }
  window->getConsole()->setText("");
  ModalCloser closer(FXMessageBox::ID_CLICKED_OK);
  sendKey(window, KEY_f, CONTROLMASK);
  EXPECT_TRUE(closer.seen);
  EXPECT_EQ(closer.title, "No firmware selected.");
  EXPECT_NE(closer.joinedLabels().find("Choose firmware to program."), std::string::npos);
  EXPECT_EQ(consoleText(), "No firmware selected.\n");
}

// ---- the whole window, for the eye ----

TEST_F(MainWindowTest, ScreenshotOfTheMainWindow) {
  const char* dir = std::getenv("MBUS_BUILD_DIR");
  if (!dir) GTEST_SKIP() << "MBUS_BUILD_DIR not set";
  std::strcpy(comPortNames[0], "/dev/ttyS0");
  comPortCount = 1;
  build();
  window->outputText(">>> REQ_UD2\n", STYLE_SENT);
  const std::vector<uint8_t> frame{0x10, 0x5B, 0xFB, 0x56, 0x16};
  window->dumpSentBytes(frame.data(), 5);
  window->outputText("<<< Answer single byte ACK.\n", STYLE_RECEIVED);
  window->outputText("Read 131104 bytes from file firmware.cfw\n", STYLE_PROGRESS);
  runFor(300);
  const std::string shots = std::string(dir) + "/screenshots";
  mkdir(shots.c_str(), 0755);
  const std::string file = shots + "/main-window.png";
  std::remove(file.c_str());
  const std::string cmd = "import -window " + std::to_string((unsigned long)window->id()) + " " + file;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_GT(st.st_size, 1000);
}

// ---- the program itself ----

// Starts the built tool in a folder where the log cannot be created and where a
// configuration file exists, then quits it with ctrl-q like a user. The
// windows of the tests above are gone by now, so the title finds the tool's.
TEST(ToolProcessTest, StartsWithoutLogAndQuitsCleanly) {
  const char* dir = std::getenv("MBUS_BUILD_DIR");
  if (!dir) GTEST_SKIP() << "MBUS_BUILD_DIR not set";
  const std::string tool = std::string(dir) + "/mbus-fwtool";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "tool not built";
  const std::string work = "process-run";
  std::system(("rm -rf " + work + " && mkdir -p " + work + "/QORFW.log").c_str());
  {
    std::ofstream config(work + "/QORconfig.txt");
    config << "ABC\n12345678\n";
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(work.c_str()) != 0) _exit(90);
    execl(tool.c_str(), tool.c_str(), (char*)nullptr);
    _exit(91);
  }
  std::string wid;
  for (int i = 0; i < 100 && wid.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    FILE* p = popen("xdotool search --name '^multiprotocol FW update tool V1.8$' 2>/dev/null | tail -1", "r");
    char line[64] = {0};
    if (p && std::fgets(line, sizeof line, p)) wid = line;
    if (p) pclose(p);
    while (!wid.empty() && (wid.back() == '\n' || wid.back() == ' ')) wid.pop_back();
  }
  int status = 0;
  if (wid.empty()) {
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    FAIL() << "the tool's window did not appear";
  }
  std::system(("xdotool windowfocus --sync " + wid + " key ctrl+q").c_str());
  pid_t done = 0;
  for (int i = 0; i < 100 && done == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = waitpid(pid, &status, WNOHANG);
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the tool did not quit on ctrl-q";
  }
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat st;
  ASSERT_EQ(stat((work + "/QORFW.log").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
