// What the fronts say and use that differs between the systems. One file per
// system, chosen by the build: platform/front_system_posix.cpp and
// platform/front_system_windows.cpp.
#pragma once
#include <filesystem>
#include <string>

// The absolute folder this user's application data goes under (before
// "mbus-fwtool"); empty when the environment names none.
std::filesystem::path userDataBase();
// Why userDataBase is empty, e.g. "LOCALAPPDATA names no folder".
std::string noUserDataBaseText();
// After "no permission to open serial port P": how to get it; "" when there is no general way.
std::string portPermissionHint();
// A window program started from a console has no standard output on Windows:
// there, with stdout leading nowhere, it writes to the console it was started
// from (so that --help is seen). Redirected output, and POSIX, stay as they are.
void reachStartingConsole();
