// The steps of start-up that differ by platform, and the desktop's services
// (browser, console, window icon, application menu). Each platform's bodies
// are in startup_<platform>.cpp, which the build picks.
#pragma once

#include "webview.h"

#include <string>

namespace Startup {

bool isDevMode(int argc, char* argv[]);
// The script that runs before the page's own: dev mode and the program's name.
std::string startScript(bool devMode, const std::string& executable);

// Windows: a console that shows the log in dev mode. Elsewhere nothing.
void openDevConsole();
// macOS (and Linux): administrator rights before any window exists, and the
// shared logs folder. Windows runs elevated and makes its own log folder.
void prepareLogsFolder();
// Windows: the WebView2 runtime, installed when the user agrees; false when
// it is missing. Elsewhere true.
bool ensureWebRuntime();
// macOS: the application menu with Quit (Command-Q). Elsewhere nothing.
void installApplicationMenu();
// Windows: the program's icon on the window. Elsewhere nothing.
void setWindowIcon(webview_t w);
// The program file's name, without its folder.
std::string executableName();
// Opens a web address in the desktop's browser; nothing in it reaches a shell.
void openInBrowser(const std::string& url);

}  // namespace Startup
