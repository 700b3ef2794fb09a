// The program's own pieces: start-up, the bound functions the page calls,
// the workers they start and the scripts those post back to the page.
// Declared here so the tests can drive them without a window.
#pragma once

#include "webview.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using json = nlohmann::json;

// The raw text of the last manifest fetched; empty until one arrives.
extern std::string& g_manifestJson;
extern std::mutex& g_manifestJsonMutex;

struct ManifestLoadContext {
    webview_t webview;
};

// The state of one installation run; made by startInstallation_cb, owned
// and deleted by the installation worker.
struct InstallationContext {
    webview_t webview = nullptr;
    std::vector<std::string> pluginIds;
    std::string manifestJson;
    std::string lastStatus;
    uint64_t lastCurrent = 0;
    uint64_t lastTotal = 0;
    int currentStep = 0;
    int totalSteps = 0;
    int lastLoggedPercent = -1;
    std::string failedComponent;
    int currentPlugin = 0;
    int totalPlugins = 0;
    std::string currentPluginName;
    bool forceReinstallRenderEngine = false;
    std::string lastPostedScript;  // a report that would post it again posts nothing
};

// Turns one progress or status report of a run into a progress script for
// the page, weighted by the installation phases.
void sendProgressToJS(InstallationContext* ctx, uint64_t current, uint64_t total, const std::string& status);
void installationThreadFunc(InstallationContext* ctx);

// One uninstall request; made by startUninstall_cb, owned and deleted by the
// uninstall worker.
struct UninstallContext {
    webview_t webview = nullptr;
    bool renderEngine = false;
    bool mrvServer = false;
    bool userData = false;
    std::vector<std::string> pluginIds;
};

void sendUninstallProgressToJS(UninstallContext* ctx, int current, int total, const std::string& status);
void uninstallThreadFunc(UninstallContext* ctx);

// Escapes a text for a double-quoted JavaScript string literal so that the
// script always parses and the text arrives unchanged: backslash, quotes,
// every control character, U+2028/U+2029; invalid UTF-8 becomes U+FFFD.
std::string jsEscape(const std::string& text);

// Hands a script to the UI thread; safe from any thread, also after the
// window is gone (then the script is dropped).
void postScript(webview_t w, const std::string& script);
void executeJS(webview_t w, void* arg);

size_t WriteCallback(void* data, size_t size, size_t nmemb, void* userp);
bool httpGet(const std::string& url, std::string& body, int maxAttempts);
void loadManifestThreadFunc(ManifestLoadContext* context);
std::string substituteVersionInUrl(const std::string& url, const std::string& version);
void getUrlsWithGitHubFallback(const json& manifest, const std::string& urlKey, const std::string& version,
                               std::string& githubUrl, std::string& primaryUrl);

// Requests nested deeper than this are refused before they are parsed, so
// no deep copy of a parsed value can exhaust the stack.
constexpr int kMaxRequestDepth = 32;
// True when arrays and objects in the JSON text nest deeper than kMaxRequestDepth.
bool requestNestedTooDeep(const std::string& text);

void checkElevated_cb(const char* seq, const char* req, void* arg);
void checkHostApp_cb(const char* seq, const char* req, void* arg);
void loadManifest_cb(const char* seq, const char* req, void* arg);
void startInstallation_cb(const char* seq, const char* req, void* arg);
void openUrl_cb(const char* seq, const char* req, void* arg);
void closeWindow_cb(const char* seq, const char* req, void* arg);
void detectInstalledComponents_cb(const char* seq, const char* req, void* arg);
void startUninstall_cb(const char* seq, const char* req, void* arg);

#ifdef ZRVK_TESTING
int installerMain(int argc, char* argv[]);
// Scripts posted to the page go to the sink instead of the window.
void setScriptSinkForTesting(std::function<void(const std::string&)> sink);
// Answers of bound functions go to the sink instead of the window.
void setReturnSinkForTesting(std::function<void(const std::string& seq, int status, const std::string& result)> sink);
// URLs to open go to the sink instead of the desktop's browser.
void setUrlOpenerForTesting(std::function<void(const std::string&)> opener);
void setManifestUrlForTesting(const std::string& url);
void setHttpTimeoutForTesting(long seconds);
// The uninstall request's reading, without starting a worker; throws on a bad request.
void readUninstallRequest(const std::string& text, UninstallContext& ctx);
#endif
