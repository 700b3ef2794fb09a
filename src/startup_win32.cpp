// Start-up on Windows: the program runs elevated, checks the web runtime,
// and has a console in dev mode and its own icon.
#include "startup.h"

#include "installer_config.h"
#include "system.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <iostream>

#include "webview2_prerequisite.h"

namespace Startup {

void openDevConsole() {
    AllocConsole();
    FILE* stream = nullptr;
    freopen_s(&stream, "CONOUT$", "w", stdout);
    freopen_s(&stream, "CONOUT$", "w", stderr);
    freopen_s(&stream, "CONIN$", "r", stdin);
    std::cout.clear();
    std::cerr.clear();
    std::cin.clear();
}

void prepareLogsFolder() {}
void installApplicationMenu() {}

bool ensureWebRuntime() {
    std::cout << "[MAIN] Checking WebView2 Runtime..." << std::endl;
    if (!ensureWebView2Runtime(InstallerConfig::WEBVIEW2_LINK_ORIGIN)) {
        std::cerr << "[ERROR] WebView2 Runtime is required but not installed" << std::endl;
        return false;
    }
    std::cout << "[MAIN] WebView2 Runtime is available" << std::endl;
    return true;
}

void setWindowIcon(webview_t w) {
    HWND window = static_cast<HWND>(webview_get_window(w));
    if (!window) return;
    HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1));
    if (!icon) {
        std::cerr << "[WARNING] Failed to load icon from resources (error: " << GetLastError() << ")" << std::endl;
        return;
    }
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    std::cout << "[MAIN] Window icon loaded from resources" << std::endl;
}

// No fallback name here: the module's own path always exists.
std::string executableName() {
    const std::string path = System::executablePath();
    const std::string::size_type slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void openInBrowser(const std::string& url) {
    ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace Startup
