// What macOS and Linux share.
#include "startup.h"

#include "installer_auth.h"
#include "installer_config.h"
#include "system.h"

#include <spawn.h>
#include <sys/wait.h>

#include <exception>
#include <iostream>
#include <thread>
#include <vector>

extern char** environ;

namespace Startup {

namespace {
#ifdef __APPLE__
const char* const kUrlOpener = "open";
#else
const char* const kUrlOpener = "xdg-open";
#endif
}  // namespace

void openDevConsole() {}
bool ensureWebRuntime() { return true; }
void setWindowIcon(webview_t) {}

void prepareLogsFolder() {
    std::string error;
    if (!acquireAuthorizationSession(&error)) {
        std::cerr << "[MAIN] Warning: Failed to acquire authorization session: " << error << std::endl;
        return;
    }
    // Every user writes logs there; sticky, so that only a file's owner may
    // replace it. Whatever stands at its place and is not root's own real
    // folder (a link, another user's folder) is removed, never followed.
    const std::string folder = InstallerConfig::MAC_LOGS_DIR;
    std::vector<std::string> chain = {"mkdir -p \"" + folder.substr(0, folder.rfind('/')) + "\""};
    for (const std::string& command : ownedFolderCommands(folder, "1777")) chain.push_back(command);
    if (!executeMultipleWithAuthorization(chain, &error)) {
        std::cerr << "[MAIN] Error: Failed to create logs directory with 777 permissions: " << error << std::endl;
    }
}

std::string executableName() {
    const std::string path = System::executablePath();
    if (path.empty()) return "Zorvik Installer";
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void openInBrowser(const std::string& url) {
    // The URL is one argument of its own: nothing in it reaches a shell.
    std::vector<char*> argv = {const_cast<char*>(kUrlOpener), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, kUrlOpener, nullptr, nullptr, argv.data(), environ) != 0) return;
    try {
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    } catch (const std::exception& e) {
        // The browser is open; only its opener is left unreaped until exit.
        std::cerr << "[openUrl] Failed to start thread: " << e.what() << std::endl;
    }
}

}  // namespace Startup
