// Start-up, the window with its eight bound functions, and shutdown.
// curl brings winsock2.h, which must come before windows.h.
#include <curl/curl.h>

#include "bridge.h"
#include "installation.h"
#include "installer_analytics.h"
#include "installer_config.h"
#include "installer_logging.h"
#include "manifest.h"
#include "startup.h"
#include "uninstall_flow.h"
#include "webview.h"

#include <iostream>
#include <string>

namespace {

const char* const WINDOW_TITLE = "Zorvik Installer";
const int WINDOW_WIDTH = 600;
const int WINDOW_HEIGHT = 520;

void bindFunctions(webview_t w) {
    std::cout << "[MAIN] Binding JavaScript functions..." << std::endl;
    webview_bind(w, "checkElevated", checkElevated_cb, w);
    webview_bind(w, "checkHostApp", checkHostApp_cb, w);
    webview_bind(w, "loadManifest", loadManifest_cb, w);
    webview_bind(w, "startInstallation", startInstallation_cb, w);
    webview_bind(w, "openUrl", openUrl_cb, w);
    webview_bind(w, "closeWindow", closeWindow_cb, w);
    webview_bind(w, "detectInstalledComponents", detectInstalledComponents_cb, w);
    webview_bind(w, "startUninstall", startUninstall_cb, w);
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool devMode = Startup::isDevMode(argc, argv);
    if (devMode) Startup::openDevConsole();
    Startup::prepareLogsFolder();
    InstallerLogging::FileLogger::getInstance().initialize();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    InstallerAnalytics::initialize();

    if (devMode) std::cout << "[MAIN] Dev mode enabled" << std::endl;
    std::cout << "[MAIN] Zorvik Installer starting..." << std::endl;
    std::cout << "[MAIN] Using webview C API with embedded resources" << std::endl;
    if (!Startup::ensureWebRuntime()) return 1;
    Startup::installApplicationMenu();

    std::cout << "[MAIN] Creating webview..." << std::endl;
    webview_t w = webview_create(devMode ? 1 : 0, nullptr);
    if (!w) {
        std::cerr << "[ERROR] Failed to create webview" << std::endl;
        return 1;
    }
    std::cout << "[MAIN] Webview created successfully" << std::endl;
    setLiveWindow(w);
    Startup::setWindowIcon(w);

    webview_set_title(w, WINDOW_TITLE);
    webview_set_size(w, WINDOW_WIDTH, WINDOW_HEIGHT, devMode ? WEBVIEW_HINT_NONE : WEBVIEW_HINT_FIXED);
    bindFunctions(w);

    const std::string name = Startup::executableName();
    std::cout << "[MAIN] Executable name: " << name << std::endl;
    webview_init(w, Startup::startScript(devMode, name).c_str());

    std::cout << "[MAIN] Loading embedded HTML content..." << std::endl;
    webview_set_html(w, EmbeddedResources::HTML_CONTENT.c_str());

    std::cout << "[MAIN] Entering main loop..." << std::endl;
    webview_run(w);

    std::cout << "[MAIN] Main loop exited, destroying webview..." << std::endl;
    setLiveWindow(nullptr);
    webview_destroy(w);
    InstallerAnalytics::shutdown();
    std::cout << "[MAIN] Exiting..." << std::endl;
    return 0;
}
