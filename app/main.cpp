// The tool's entry point: working files, the port list, the window, the loop.
#include <fx.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/main_window.h"
#include "app/front/config_file.h"
#include "app/front/front_system.h"
#include "app/front/front_texts.h"
#include "app/front/program_flags.h"
#include "app/front/user_folder.h"
#include "interfaces/log_file.h"
#include "link/com_ports.h"

namespace {
const char* const USER_FOLDER_OPTION = "--user-folder";
}  // namespace

int main(int argc, char* argv[]) {
  // Answered before the folder, the config, the log or a display is touched.
  if (const ProgramFlag flag = programFlag(argc, argv); flag != ProgramFlag::None) {
    reachStartingConsole();
    std::fputs((flag == ProgramFlag::Help ? windowUsage() : versionLine("mbus-fwtool") + "\n").c_str(), stdout);
    return 0;
  }
  // The Start-menu shortcut's choice: an installed program's folder is not
  // the user's to write, and both files live in the current folder.
  bool inUserFolder = false;
  for (int i = 1; i < argc; ++i) inUserFolder = inUserFolder || std::strcmp(argv[i], USER_FOLDER_OPTION) == 0;
  const UserFolderResult folder = inUserFolder ? enterUserFolder() : UserFolderResult::Entered;

  // A refused config leaves the defaults, as a missing one does; the console says why.
  const OwnFileResult config = readConfigFile(CONFIG_FILE_NAME);
  // Without a log (read-only folder, a symlink, another run's) the tool still
  // works; every writer skips the missing stream.
  const OwnFileResult log = openLogFile(LOG_FILE_NAME);

  FXApp application(DongleToolWindow::TITLE, "Brovanel");
  std::setvbuf(stdout, NULL, _IONBF, 0);
  std::setvbuf(stderr, NULL, _IONBF, 0);
  enumerateComPorts();
  application.init(argc, argv, TRUE);

  DongleToolWindow* window = new DongleToolWindow(&application);
  // Where the log is, for a user who never chose that folder; red when it failed.
  if (inUserFolder)
    window->outputText((userFolderText(folder, userFolderPath()) + "\n").c_str(),
                       folder == UserFolderResult::Entered ? ConsoleStyle::Plain : STYLE_SENT);
  if (config != OwnFileResult::Opened && config != OwnFileResult::Missing)
    window->outputText((std::string(CONFIG_FILE_NAME) + " not read: " + ownFileText(config) + ".\n").c_str(), STYLE_SENT);
  if (log != OwnFileResult::Opened) window->reportLogUnavailable(LOG_FILE_NAME, log);
  application.create();
  return application.run();
}
