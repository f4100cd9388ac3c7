// DongleToolWindow: the tool's only window and the target of every command.
// It shows the console (ConsoleView), owns the fields (WindowFields), the
// output, the serial connection and the event pump that the core runs on.
#pragma once
#include <fx.h>

#include <cstdint>
#include <functional>
#include <string>

#include "app/fox_event_pump.h"
#include "app/port_input.h"
#include "interfaces/output.h"
#include "interfaces/own_file.h"
#include "interfaces/window_interfaces.h"
#include "link/connection.h"
#include "link/tool_context.h"

class DongleToolWindow : public FXMainWindow, public ConsoleView, public WindowFields {
  FXDECLARE(DongleToolWindow)

 protected:
  DongleToolWindow();  // for FOX's factory only: builds nothing

 public:
  // Numbered from FXMainWindow::ID_LAST with gaps, so each ID keeps its value.
  enum {
    ID_ABOUT = FXMainWindow::ID_LAST,
    ID_SND_NKE = FXMainWindow::ID_LAST + 8,
    ID_REQ_UD2 = FXMainWindow::ID_LAST + 9,
    ID_ENCRYPTION = FXMainWindow::ID_LAST + 12,
    ID_SIMPLE_PROTOCOL = FXMainWindow::ID_LAST + 13,
    ID_DOUBLE_BLOCK_42 = FXMainWindow::ID_LAST + 14,
    ID_SKIP_BLOCK_15 = FXMainWindow::ID_LAST + 15,
    ID_RECEIVE_TIMER = FXMainWindow::ID_LAST + 16,
    ID_FAST_ANSWERS = FXMainWindow::ID_LAST + 17,
    ID_PORT_INPUT = FXMainWindow::ID_LAST + 18,
    ID_DECODE_RECORDS = FXMainWindow::ID_LAST + 19,
    ID_FONT_1 = FXMainWindow::ID_LAST + 22,
    ID_FONT_2 = FXMainWindow::ID_LAST + 23,
    ID_FONT_3 = FXMainWindow::ID_LAST + 24,
    ID_FONT_4 = FXMainWindow::ID_LAST + 25,
    ID_RESET_OUTPUT = FXMainWindow::ID_LAST + 28,
    ID_CONNECT = FXMainWindow::ID_LAST + 29,
    ID_DISCONNECT = FXMainWindow::ID_LAST + 30,
    ID_ADD_SERVER_PORT = FXMainWindow::ID_LAST + 31,
    ID_OPEN_FIRMWARE = FXMainWindow::ID_LAST + 32,
    ID_FIRMWARE_UPDATE = FXMainWindow::ID_LAST + 33,
    ID_LAST = FXMainWindow::ID_LAST + 34
  };

  static const char* const TITLE;                    // "multiprotocol FW update tool V1.8"
  static const char* const FIRMWARE_PATTERNS;        // the file dialog's pattern list
  static const unsigned RECEIVE_FIRST_MS = 1000;     // first poll after construction
  static const unsigned RECEIVE_INTERVAL_MS = 200;   // later polls after each run

  explicit DongleToolWindow(FXApp* app);
  ~DongleToolWindow() override;
  void create() override;

  long onCmdAbout(FXObject*, FXSelector, void*);
  long onCmdSndNke(FXObject*, FXSelector, void*);
  long onCmdReqUd2(FXObject*, FXSelector, void*);
  long onCmdOption(FXObject*, FXSelector, void*);  // ID_ENCRYPTION to ID_SKIP_BLOCK_15
  long onUpdOption(FXObject*, FXSelector, void*);
  long onReceiveTimeout(FXObject*, FXSelector, void*);
  long onCmdFastAnswers(FXObject*, FXSelector, void*);
  long onUpdFastAnswers(FXObject*, FXSelector, void*);
  long onPortInput(FXObject*, FXSelector, void*);  // bytes arrived (fast answers)
  long onCmdDecodeRecords(FXObject*, FXSelector, void*);
  long onUpdDecodeRecords(FXObject*, FXSelector, void*);
  long onCmdFont(FXObject*, FXSelector, void*);  // ID_FONT_1 to ID_FONT_4
  long onUpdFont(FXObject*, FXSelector, void*);
  long onCmdResetOutput(FXObject*, FXSelector, void*);
  long onCmdConnect(FXObject*, FXSelector, void*);
  long onCmdDisconnect(FXObject*, FXSelector, void*);
  long onCmdAddServerPort(FXObject*, FXSelector, void*);
  long onCmdOpenFirmware(FXObject*, FXSelector, void*);
  long onCmdFirmwareUpdate(FXObject*, FXSelector, void*);

  // ConsoleView: the console widget, without notification.
  void appendStyledText(const char* text, int length, int style) override;
  void scrollToEnd() override;

  // WindowFields: texts set without notification; the status line is not logged.
  std::string fieldText(Field field) const override;
  void setFieldText(Field field, const std::string& text) override;
  void setStatusText(const std::string& text) override;

  // The output operations, to the log and the console.
  void outputText(const char* text, ConsoleStyle style) { output.outputText(text, style); }
  void dumpSentBytes(const uint8_t* bytes, int count) { output.dumpSentBytes(bytes, count); }
  void dumpBytes(const uint8_t* bytes, int count, ConsoleStyle style) { output.dumpBytes(bytes, count, style); }
  // One console line telling that the log file is not used, and why.
  void reportLogUnavailable(const char* path, OwnFileResult result);

  // What the core gets for a command: output, fields, port and pump.
  ToolContext context() {
    ToolContext ctx{output, *this, connection, pump, nullptr};
    ctx.decodeRecords = decodeRecords;
    return ctx;
  }

  // The firmware file choice: returns the chosen path, or "" when cancelled.
  // By default it runs the file dialog; tests replace it.
  std::function<std::string()> chooseFirmwarePath;
  // The firmware file dialog as the default choice runs it (caller deletes).
  FXFileDialog* makeFirmwareDialog();

  // For tests and the other parts' GUI tests.
  FXText* getConsole() const { return console; }
  FXFont* getConsoleFont() const { return consoleFont; }
  FXTextField* getField(Field field) const;
  FXMenuCheck* getEncryptionCheck() const { return encryptionCheck; }
  FXMenuCheck* getSimpleProtocolCheck() const { return simpleProtocolCheck; }
  FXMenuCheck* getDoubleBlockCheck() const { return doubleBlockCheck; }
  FXMenuCheck* getSkipBlockCheck() const { return skipBlockCheck; }
  FXMenuCheck* getFastAnswersCheck() const { return fastAnswersCheck; }
  FXMenuCheck* getDecodeRecordsCheck() const { return decodeRecordsCheck; }
  FXMenuRadio* getFontRadio(int number) const;  // 1 to 4, else null
  FXListBox* getPortList() const { return portList; }
  FXListBox* getBaudList() const { return baudList; }
  FXStatusLine* getStatusLine() const { return statusLine; }
  FXIcon* getLogoIcon() const { return logoIcon; }
  FXIcon* getSmallIcon() const { return smallIcon; }
  Connection& getConnection() { return connection; }
  Output& getOutput() { return output; }
  EventPump& getPump() { return pump; }

 private:
  void buildWidgets();
  void fillFields();
  void buildMenus();
  void useConsoleFont(FXFont* font, int number);
  void receiveAndShowAnswers();
  std::string runFirmwareDialog();

  FXStatusBar* statusBar = nullptr;
  FXStatusLine* statusLine = nullptr;
  FXMenuBar* menuBar = nullptr;
  FXMenuPane* fileMenu = nullptr;
  FXMenuPane* helpMenu = nullptr;
  FXMenuPane* optionsMenu = nullptr;
  FXMenuPane* settingsMenu = nullptr;
  FXMenuRadio* font1Radio = nullptr;
  FXMenuRadio* font2Radio = nullptr;
  FXMenuRadio* font3Radio = nullptr;
  FXMenuRadio* font4Radio = nullptr;
  FXIcon* logoIcon = nullptr;
  FXIcon* smallIcon = nullptr;
  FXHorizontalFrame* contents = nullptr;
  FXVerticalFrame* mainPanel = nullptr;
  FXGroupBox* communicationGroup = nullptr;
  FXGroupBox* identificationGroup = nullptr;
  FXGroupBox* encryptionGroup = nullptr;
  FXListBox* portList = nullptr;
  FXListBox* baudList = nullptr;
  FXText* console = nullptr;
  FXFont* consoleFont = nullptr;
  int fontNumber = 2;  // the radio item marked
  FXTextField* manufacturerField = nullptr;
  FXTextField* idNumberField = nullptr;
  FXTextField* versionField = nullptr;
  FXTextField* deviceTypeField = nullptr;
  FXTextField* keyField = nullptr;
  FXTextField* counterField = nullptr;
  FXMenuCheck* encryptionCheck = nullptr;
  FXMenuCheck* simpleProtocolCheck = nullptr;
  FXMenuCheck* doubleBlockCheck = nullptr;
  FXMenuCheck* skipBlockCheck = nullptr;
  FXMenuCheck* fastAnswersCheck = nullptr;
  FXMenuCheck* decodeRecordsCheck = nullptr;
  bool decodeRecords = false;  // Settings > "Decode records", remembered like fast answers

  Output output;
  Connection connection;  // holds the port handle and the connected flag
  FoxEventPump pump;
  PortInput portInput;  // watches the port while fast answers are on
};

// The console's highlight styles 1 to 3 (red sent, green received, blue progress).
extern FXHiliteStyle hiliteStyles[3];
