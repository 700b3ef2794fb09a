#include "main.h"

// curl brings winsock2.h, which must come before windows.h.
#include <curl/curl.h>

#include "installer_config.h"
#include "installer_logging.h"
#include "installer_analytics.h"
#include "installer_components.h"
#include "installer_download.h"
#include "installer_uninstall.h"
#include "installer_utils.h"
#include "plugin_diagnostics.h"
#ifndef _WIN32
#include "installer_auth.h"
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include "webview2_prerequisite.h"
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif
#ifdef __APPLE__
#include <mach-o/dyld.h>
#include <objc/message.h>
#include <objc/runtime.h>
#endif

// Never destroyed: a detached manifest worker may still store into them
// while the process exits.
std::string& g_manifestJson = *new std::string;
std::mutex& g_manifestJsonMutex = *new std::mutex;

namespace {

const char* const WINDOW_TITLE = "Zorvik Installer";
const int WINDOW_WIDTH = 600;
const int WINDOW_HEIGHT = 520;

// Workers may still post after the loop ended; the window is marked gone
// under this lock before it is destroyed, so no post reaches a dead window.
std::mutex g_windowMutex;
webview_t g_liveWindow = nullptr;

#ifdef ZRVK_TESTING
std::function<void(const std::string&)> g_scriptSink;
std::function<void(const std::string&, int, const std::string&)> g_returnSink;
std::function<void(const std::string&)> g_urlOpener;
std::string g_manifestUrlOverride;
long g_httpTimeoutSeconds = 30;
#endif

std::string manifestUrl() {
#ifdef ZRVK_TESTING
    if (!g_manifestUrlOverride.empty()) return g_manifestUrlOverride;
#endif
    return InstallerConfig::MANIFEST_URL;
}

long httpTotalTimeoutSeconds() {
#ifdef ZRVK_TESTING
    return g_httpTimeoutSeconds;
#else
    return 30;
#endif
}

void answer(webview_t w, const char* seq, int status, const std::string& result) {
#ifdef ZRVK_TESTING
    if (g_returnSink) {
        g_returnSink(seq ? seq : "", status, result);
        return;
    }
#endif
    webview_return(w, seq, status, result.c_str());
}

const std::string FRAME(40, '=');

void openInBrowser(const std::string& url) {
#ifdef ZRVK_TESTING
    if (g_urlOpener) {
        g_urlOpener(url);
        return;
    }
#endif
#ifdef _WIN32
    ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
#else
#ifdef __APPLE__
    const char* opener = "open";
#else
    const char* opener = "xdg-open";
#endif
    // The URL is one argument of its own: nothing in it reaches a shell.
    std::vector<char*> argv = {const_cast<char*>(opener), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, opener, nullptr, nullptr, argv.data(), environ) != 0) return;
    try {
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    } catch (const std::exception& e) {
        // The browser is open; only its opener is left unreaped until exit.
        std::cerr << "[openUrl] Failed to start thread: " << e.what() << std::endl;
    }
#endif
}

// Starts a detached worker that owns the context. When no thread can be
// made the context is deleted here and the caller refuses the request.
template <typename Context>
bool startWorker(void (*body)(Context*), Context* context, const char* tag) {
    try {
        std::thread(body, context).detach();
        return true;
    } catch (const std::exception& e) {
        delete context;
        std::cerr << tag << " Failed to start thread: " << e.what() << std::endl;
        return false;
    }
}

bool isWebUrl(const std::string& url) {
    std::string scheme = url.substr(0, url.find("://"));
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https";
}

std::string executableName() {
#if defined(_WIN32)
    char buffer[260];
    DWORD length = GetModuleFileNameA(nullptr, buffer, 260);
    std::string path(buffer, length);
    const std::string::size_type slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
#else
#if defined(__APPLE__)
    char buffer[1024];
    uint32_t size = sizeof(buffer);
    if (_NSGetExecutablePath(buffer, &size) != 0) return "Zorvik Installer";
    std::string path(buffer);
#else
    char buffer[1024];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (length <= 0) return "Zorvik Installer";
    std::string path(buffer, static_cast<std::size_t>(length));
#endif
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
#endif
}

bool isDevMode(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dev") == 0) return true;
    }
    return false;
}

#ifdef _WIN32
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
#endif

#ifndef _WIN32
// Administrator rights before any window exists, and the shared logs folder
// made writable for every user. The session stays held for the workers.
void prepareLogsFolder() {
    std::string error;
    if (!acquireAuthorizationSession(&error)) {
        std::cerr << "[MAIN] Warning: Failed to acquire authorization session: " << error << std::endl;
        return;
    }
    const std::string folder = InstallerConfig::MAC_LOGS_DIR;
    if (!executeMultipleWithAuthorization({"mkdir -p \"" + folder + "\"", "chmod 1777 \"" + folder + "\""}, &error)) {
        std::cerr << "[MAIN] Error: Failed to create logs directory with 777 permissions: " << error << std::endl;
    }
}
#endif

#ifdef __APPLE__
// The application menu with its Quit item, so that Command-Q quits.
void installApplicationMenu() {
    using Send = id (*)(id, SEL);
    using SendObject = id (*)(id, SEL, id);
    using SendTitle = id (*)(id, SEL, id, SEL, id);
    auto send = reinterpret_cast<Send>(objc_msgSend);
    auto sendObject = reinterpret_cast<SendObject>(objc_msgSend);
    auto sendTitle = reinterpret_cast<SendTitle>(objc_msgSend);
    auto text = [&](const char* value) {
        using SendString = id (*)(id, SEL, const char*);
        return reinterpret_cast<SendString>(objc_msgSend)(reinterpret_cast<id>(objc_getClass("NSString")),
                                                          sel_registerName("stringWithUTF8String:"), value);
    };
    id app = send(reinterpret_cast<id>(objc_getClass("NSApplication")), sel_registerName("sharedApplication"));
    id menuBar = send(reinterpret_cast<id>(objc_getClass("NSMenu")), sel_registerName("new"));
    id barItem = send(reinterpret_cast<id>(objc_getClass("NSMenuItem")), sel_registerName("new"));
    sendObject(menuBar, sel_registerName("addItem:"), barItem);
    sendObject(app, sel_registerName("setMainMenu:"), menuBar);
    id appMenu = send(reinterpret_cast<id>(objc_getClass("NSMenu")), sel_registerName("new"));
    id quitItem = send(reinterpret_cast<id>(objc_getClass("NSMenuItem")), sel_registerName("alloc"));
    quitItem = sendTitle(quitItem, sel_registerName("initWithTitle:action:keyEquivalent:"), text("Quit Zorvik Installer"),
                         sel_registerName("terminate:"), text("q"));
    sendObject(appMenu, sel_registerName("addItem:"), quitItem);
    sendObject(barItem, sel_registerName("setSubmenu:"), appMenu);
    std::cout << "[MAIN] macOS application menu initialized (Cmd-Q enabled)" << std::endl;
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Scripts for the page

std::string jsEscape(const std::string& text) { return escapeStringBody(text, EscapeFor::Script); }

void executeJS(webview_t w, void* arg) {
    std::string* script = static_cast<std::string*>(arg);
    webview_eval(w, script->c_str());
    delete script;
}

void postScript(webview_t w, const std::string& script) {
#ifdef ZRVK_TESTING
    if (g_scriptSink) {
        g_scriptSink(script);
        return;
    }
#endif
    std::lock_guard<std::mutex> lock(g_windowMutex);
    if (!w || w != g_liveWindow) return;
    webview_dispatch(w, executeJS, new std::string(script));
}

// ---------------------------------------------------------------------------
// The manifest

size_t WriteCallback(void* data, size_t size, size_t nmemb, void* userp) {
    const size_t bytes = size * nmemb;
    static_cast<std::string*>(userp)->append(static_cast<const char*>(data), bytes);
    return bytes;
}

bool httpGet(const std::string& url, std::string& body, int maxAttempts) {
    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        if (attempt > 0) {
            std::cout << "[httpGet] Retry attempt " << attempt << " of " << maxAttempts << "..." << std::endl;
            std::this_thread::sleep_for(std::chrono::milliseconds(500 * attempt));
        }
        body.clear();
        CURL* curl = curl_easy_init();
        if (!curl) continue;
        setTransferOptions(curl, url);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteCallback);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, httpTotalTimeoutSeconds());
        const CURLcode code = curl_easy_perform(curl);
        bool success = false;
        if (code != CURLE_OK) {
            std::cerr << "[httpGet] Error: " << curl_easy_strerror(code) << std::endl;
            if (code == CURLE_OPERATION_TIMEDOUT) {
                std::cerr << "[httpGet] Connection timeout - network may be slow or unavailable" << std::endl;
            }
        } else {
            long status = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
            if (status == 200) {
                success = true;
            } else {
                std::cerr << "[httpGet] HTTP error: " << status << std::endl;
            }
        }
        curl_easy_cleanup(curl);
        if (success) return true;
    }
    std::cerr << "[httpGet] Failed after " << maxAttempts << " attempts" << std::endl;
    return false;
}

void loadManifestThreadFunc(ManifestLoadContext* context) {
    const std::string url = manifestUrl();
    std::cout << "[MANIFEST_THREAD] Starting manifest download..." << std::endl;
    std::cout << "[MANIFEST_THREAD] Fetching from: " << url << std::endl;
    std::string body;
    if (httpGet(url, body, 3)) {
        std::cout << "[MANIFEST_THREAD] Successfully fetched manifest, length: " << body.size() << std::endl;
        {
            std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
            g_manifestJson = body;
        }
        std::cout << "[MANIFEST_THREAD] Manifest JSON length: " << body.size() << " bytes" << std::endl;
        std::cout << "[MANIFEST_THREAD] First 200 chars: " << body.substr(0, 200) << std::endl;
        // The text is parsed inside the page, so a body that is not JSON ends
        // in the error callback and a body that is script is never run.
        const std::string script =
            "if (window.onManifestLoaded) { try { console.log('[MANIFEST] Parsing JSON...'); var manifest = "
            "JSON.parse(\"" + jsEscape(body) + "\"); console.log('[MANIFEST] JSON parsed successfully'); "
            "window.onManifestLoaded(manifest); } catch(e) { console.error('[MANIFEST] Parse error:', e, e.stack); "
            "window.onManifestLoadError('Failed to parse manifest: ' + e.message); } }";
        std::cout << "[MANIFEST_THREAD] Dispatching JavaScript callback..." << std::endl;
        postScript(context->webview, script);
    } else {
        std::cerr << "[MANIFEST_THREAD] Failed to fetch manifest from URL" << std::endl;
        InstallerAnalytics::trackManifestError("network", "Failed to fetch manifest from server");
        postScript(context->webview,
                   "if (window.onManifestLoadError) { window.onManifestLoadError('Failed to fetch manifest from server'); }");
    }
    delete context;
}

std::string substituteVersionInUrl(const std::string& url, const std::string& version) {
    const std::string placeholder = "{number}";
    const std::string::size_type pos = url.find(placeholder);
    if (pos == std::string::npos) return url;
    return url.substr(0, pos) + version + url.substr(pos + placeholder.size());
}

void getUrlsWithGitHubFallback(const json& manifest, const std::string& urlKey, const std::string& version,
                               std::string& githubUrl, std::string& primaryUrl) {
    githubUrl.clear();
    primaryUrl.clear();
    const std::string::size_type suffix = urlKey.rfind("_url");
    const std::string githubKey = suffix == std::string::npos ? urlKey : urlKey.substr(0, suffix) + "_github_url";
    if (!manifest.is_object()) return;
    if (manifest.contains(githubKey)) {
        githubUrl = substituteVersionInUrl(manifest[githubKey].get<std::string>(), version);
        std::cout << "[URL] GitHub URL available: " << githubUrl << std::endl;
    }
    if (manifest.contains(urlKey)) {
        primaryUrl = substituteVersionInUrl(manifest[urlKey].get<std::string>(), version);
        std::cout << "[URL] Fallback URL: " << primaryUrl << std::endl;
    }
}

// ---------------------------------------------------------------------------
// Weighted progress

void sendProgressToJS(InstallationContext* ctx, uint64_t current, uint64_t total, const std::string& status) {
    using InstallerConfig::INSTALLATION_PHASES;
    const std::string effectiveStatus = status.empty() ? ctx->lastStatus : status;

    uint64_t pairCurrent = 0;
    uint64_t pairTotal = 1;
    if (total == 1000 || total >= 10240) {
        pairCurrent = current;
        pairTotal = total;
        ctx->lastCurrent = current;
        ctx->lastTotal = total;
    } else if (ctx->lastTotal != 0) {
        pairCurrent = ctx->lastCurrent;
        pairTotal = ctx->lastTotal;
    }
    const double ratio = static_cast<double>(pairCurrent) / static_cast<double>(pairTotal);

    double weightSum = 0.0;
    for (const auto& phase : INSTALLATION_PHASES) {
        if (phase.enabled) weightSum += phase.weight;
    }
    const auto share = [&](int index) {
        if (weightSum <= 0.0 || index < 0 || index >= 3 || !INSTALLATION_PHASES[index].enabled) return 0.0;
        return INSTALLATION_PHASES[index].weight / weightSum;
    };
    double completed = 0.0;
    if (weightSum > 0.0) {
        for (int i = 0; i < ctx->currentStep && i < 3; ++i) completed += share(i);
    }
    const double running = ctx->currentStep <= 2 ? share(ctx->currentStep) : 0.0;
    const uint64_t percent = static_cast<uint64_t>((running * ratio + completed) * 100.0);
    const std::string phaseName =
        ctx->currentStep >= 0 && ctx->currentStep <= 2 ? INSTALLATION_PHASES[ctx->currentStep].name : "Unknown";

    const bool milestone = effectiveStatus.find("Requesting authorization") != std::string::npos ||
                           effectiveStatus.find(" installed") != std::string::npos ||
                           effectiveStatus.find("Installation complete") != std::string::npos ||
                           effectiveStatus.find("already up to date") != std::string::npos;
    const bool risen = static_cast<long long>(percent) - ctx->lastLoggedPercent >= 10;
    if (milestone || ctx->lastLoggedPercent == -1 || risen) {
        std::cout << "[PROGRESS] " << percent << "% [" << phaseName << "] "
                  << (effectiveStatus.empty() ? phaseName : effectiveStatus) << std::endl;
        ctx->lastLoggedPercent = static_cast<int>(percent);
    }
    if (!status.empty()) ctx->lastStatus = status;

    std::string script = "if (window.onInstallProgress) { window.onInstallProgress({current: " +
                         std::to_string(percent) + ", total: 100, currentStep: " + std::to_string(ctx->currentStep) +
                         ", totalSteps: " + std::to_string(ctx->totalSteps) + ", phaseName: \"" + phaseName +
                         "\", status: \"" + jsEscape(effectiveStatus) +
                         "\", currentPlugin: " + std::to_string(ctx->currentPlugin) +
                         ", totalPlugins: " + std::to_string(ctx->totalPlugins) + ", currentPluginName: \"" +
                         jsEscape(ctx->currentPluginName) + "\"}); }";
    // Most reports (every extracted file) change nothing the page shows.
    if (script == ctx->lastPostedScript) return;
    ctx->lastPostedScript = script;
    postScript(ctx->webview, script);
}

// ---------------------------------------------------------------------------
// The installation flow

namespace {

const char* const COMPLETE_SUCCESS = "if (window.onInstallationComplete) { window.onInstallationComplete({success: true}); }";

std::string completionFailure(const std::string& quotedError) {
    return "if (window.onInstallationComplete) { window.onInstallationComplete({success: false, error: " + quotedError +
           "}); }";
}

// A missing key reads as null, so that its conversion is a type error.
json manifestValue(const json& manifest, const std::string& key) {
    return manifest.is_object() && manifest.contains(key) ? manifest[key] : json(nullptr);
}

// A manifest value of the wrong type in the flow's own reads. JSON errors
// raised inside a component are that component's failure, not this.
struct ManifestFormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <typename Read>
void readManifest(Read read) {
    try {
        read();
    } catch (const json::exception& e) {
        throw ManifestFormatError(e.what());
    }
}

#ifdef _WIN32
bool hasKey(const json& manifest, const std::string& key) { return manifest.is_object() && manifest.contains(key); }
#endif

void logBlock(const std::string& title) {
    std::cout << "\n" << FRAME << "\n" << title << "\n" << FRAME << std::endl;
}

void logBanner(const std::string& title) { std::cout << "\n" << title << std::endl; }

void enterStep(InstallationContext* ctx, int step) {
    ctx->currentStep = step;
    ctx->lastCurrent = 0;
    ctx->lastTotal = 0;
    ctx->lastLoggedPercent = -1;
}

ProgressFn progressCallback(InstallationContext* ctx) {
    return [ctx](uint64_t current, uint64_t total) {
        sendProgressToJS(ctx, current, total, ctx->lastStatus.empty() ? "Installing..." : ctx->lastStatus);
    };
}

StatusFn statusCallback(InstallationContext* ctx) {
    return [ctx](const std::string& text) { sendProgressToJS(ctx, 0, 0, text); };
}

const char* platformName() {
#if defined(_WIN32)
    return "Windows";
#elif defined(__APPLE__)
    return "macOS_x64";
#else
    return "Linux_x64";
#endif
}

enum class SourceResult { NoArchive, Failed, Installed };

// One attempt at the render engine from one source.
SourceResult tryRenderEngineSource(InstallationContext* ctx, const std::string& url, const char* label,
                                   const std::string& version) {
    const std::vector<std::string> urls = detectMultiPartUrls(url, statusCallback(ctx));
    std::cout << "[INSTALL_THREAD] " << label << ": Detected " << urls.size() << " URL(s)" << std::endl;
    if (urls.empty()) return SourceResult::NoArchive;
    const bool installed =
        installRenderEngine(urls, version, progressCallback(ctx), statusCallback(ctx), ctx->forceReinstallRenderEngine);
    return installed ? SourceResult::Installed : SourceResult::Failed;
}

// Step 1. Type errors of the version and URL reads reach the caller as ManifestFormatError.
bool installRenderEngineStep(InstallationContext* ctx, const json& manifest) {
    logBanner("=== STEP 1/3: Render Engine ===");
#ifdef _WIN32
    std::cout << "[INSTALL_THREAD] Getting Windows Render Engine..." << std::endl;
    std::string versionKey, urlKey;
    if (hasKey(manifest, "latest_render_engine_windows_version")) {
        versionKey = "latest_render_engine_windows_version";
        urlKey = "latest_render_engine_windows_url";
    } else if (hasKey(manifest, "latest_render_engine_win_version")) {
        versionKey = "latest_render_engine_win_version";
        urlKey = "latest_render_engine_win_url";
    } else {
        std::cerr << "[INSTALL_THREAD] Windows Render Engine fields not found in manifest" << std::endl;
        ctx->lastStatus = "Windows Render Engine not available in manifest";
        return false;
    }
#else
    std::cout << "[INSTALL_THREAD] Getting macOS x64 Render Engine..." << std::endl;
    const std::string versionKey = "latest_render_engine_mac_x64_version";
    const std::string urlKey = "latest_render_engine_mac_x64_url";
#endif
    std::string version, githubUrl, primaryUrl;
    readManifest([&] {
        version = std::to_string(manifestValue(manifest, versionKey).get<int32_t>());
        std::cout << "[INSTALL_THREAD] Version: " << version << std::endl;
        getUrlsWithGitHubFallback(manifest, urlKey, version, githubUrl, primaryUrl);
    });

    if (githubUrl.empty() && primaryUrl.empty()) {
        sendProgressToJS(ctx, 100, 100, "Render Engine already up to date");
        return true;
    }
    if (!primaryUrl.empty()) {
        std::cout << "[INSTALL_THREAD] Trying HuggingFace source first: " << primaryUrl << std::endl;
        sendProgressToJS(ctx, 0, 0, "Downloading Render Engine...");
        const SourceResult result = tryRenderEngineSource(ctx, primaryUrl, "HuggingFace", version);
        if (result == SourceResult::Installed) {
            std::cout << "[INSTALL_THREAD] HuggingFace download succeeded" << std::endl;
            return true;
        }
        if (result == SourceResult::Failed) {
            std::cout << "[INSTALL_THREAD] HuggingFace download failed, will try GitHub fallback" << std::endl;
        }
    }
    if (githubUrl.empty()) return false;
    std::cout << "[INSTALL_THREAD] Trying GitHub fallback: " << githubUrl << std::endl;
    sendProgressToJS(ctx, 0, 0, "Trying alternative source...");
    return tryRenderEngineSource(ctx, githubUrl, "GitHub", version) == SourceResult::Installed;
}

// The first placeholder of the server template, "{text}" before "{number}".
std::string serverUrlFromTemplate(const std::string& urlTemplate, const std::string& version) {
    for (const std::string placeholder : {"{text}", "{number}"}) {
        const std::string::size_type pos = urlTemplate.find(placeholder);
        if (pos != std::string::npos) {
            return urlTemplate.substr(0, pos) + version + urlTemplate.substr(pos + placeholder.size());
        }
    }
    return "";
}

// Step 2. Type errors of the reads reach the caller as ManifestFormatError.
bool installServerStep(InstallationContext* ctx, const json& manifest) {
    enterStep(ctx, 1);
    logBanner("=== STEP 2/3: MRV Server ===");
#ifdef _WIN32
    std::cout << "[INSTALL_THREAD] Getting Windows MRV Server version..." << std::endl;
    std::string versionKey;
    if (hasKey(manifest, "latest_mrv_server_version_windows")) {
        versionKey = "latest_mrv_server_version_windows";
    } else if (hasKey(manifest, "latest_mrv_server_version_win")) {
        versionKey = "latest_mrv_server_version_win";
    } else {
        return true;
    }
    const std::string urlKey = hasKey(manifest, "mrv_server_windows_url") ? "mrv_server_windows_url" : "mrv_server_win_url";
    std::cout << "[INSTALL_THREAD] Using version field: " << versionKey << std::endl;
    std::cout << "[INSTALL_THREAD] Using URL field: " << urlKey << std::endl;
#else
    std::cout << "[INSTALL_THREAD] Getting Mac MRV Server version..." << std::endl;
    const std::string versionKey = "latest_mrv_server_version_mac";
    const std::string urlKey = "mrv_server_mac_url";
#endif
    std::string version, urlTemplate;
    readManifest([&] {
        version = manifestValue(manifest, versionKey).get<std::string>();
        std::cout << "[INSTALL_THREAD] MRV Server version: " << version << std::endl;
        urlTemplate = manifestValue(manifest, urlKey).get<std::string>();
        std::cout << "[INSTALL_THREAD] URL template: " << urlTemplate << std::endl;
    });
    const std::string url = serverUrlFromTemplate(urlTemplate, version);
    std::cout << "[INSTALL_THREAD] Final MRV Server URL: " << url << std::endl;
    if (url.empty()) return true;
    return installMRVServer(url, version, progressCallback(ctx), statusCallback(ctx));
}

// Step 3.
bool installPluginsStep(InstallationContext* ctx) {
    enterStep(ctx, 2);
    logBanner("=== STEP 3/3: Plugins ===");
    PluginProgressFn overall = [ctx](int current, int total, const std::string& text) {
        sendProgressToJS(ctx, static_cast<uint64_t>(static_cast<int64_t>(current)),
                         static_cast<uint64_t>(static_cast<int64_t>(total)), text);
    };
    PluginProgressFn pluginStart = [ctx](int current, int total, const std::string& text) {
        ctx->currentPlugin = current;
        ctx->totalPlugins = total;
        ctx->currentPluginName = text;
        std::cout << "[PLUGINS] UI notified: plugin " << current << "/" << total << " = " << text << std::endl;
    };
    return installPlugins(ctx->pluginIds, ctx->manifestJson, overall, statusCallback(ctx), pluginStart);
}

const char* phaseKey(int step) {
    if (step == 0) return "render_engine";
    if (step == 1) return "mrv_server";
    return "plugins";
}

const char* componentName(int step) {
    if (step == 0) return "Render Engine";
    if (step == 1) return "MRV Server";
    return "Plugins";
}

void reportFailure(InstallationContext* ctx) {
    logBlock("=== INSTALLATION FAILED ===");
    std::string message = ctx->failedComponent + " installation failed";
    if (ctx->lastStatus.find("Error") != std::string::npos) message += ": " + ctx->lastStatus;
    std::cout << "[INSTALL_THREAD] Error details: " << message << std::endl;
    InstallerAnalytics::trackInstallationFailed(ctx->failedComponent, message, phaseKey(ctx->currentStep));
    postScript(ctx->webview, completionFailure("\"" + jsEscape(message) + "\""));
}

// The inventory of the machine's MediaCore plug-ins, as (name or file, version)
// pairs. The installation has succeeded by now: a failing inventory must not
// turn it into a failure.
void reportDiagnostics() {
    logBanner("=== Collecting Plugin Diagnostics ===");
    try {
        const std::vector<PluginDiagnostics::PluginInfo> plugins = PluginDiagnostics::collectInstalledPlugins();
        std::vector<std::pair<std::string, std::string>> pairs;
        for (const PluginDiagnostics::PluginInfo& plugin : plugins) {
            pairs.emplace_back(plugin.name.empty() ? plugin.file : plugin.name, plugin.version);
        }
        InstallerAnalytics::trackInstallationDiagnostics(static_cast<int>(plugins.size()), pairs);
    } catch (const std::exception& e) {
        std::cerr << "[DIAGNOSTICS] Inventory failed: " << e.what() << std::endl;
    }
}

void reportSuccess(InstallationContext* ctx, std::chrono::steady_clock::time_point start) {
    std::cout << "\n" << FRAME << std::endl;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::cout << "=== INSTALLATION COMPLETE ===\n" << FRAME << std::endl;
    const double seconds =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1000000000.0;
    InstallerAnalytics::trackInstallationCompleted(seconds, static_cast<int>(ctx->pluginIds.size()));
    reportDiagnostics();
    logBanner("=== Launching MRV Server ===");
    launchMRVServer();
    std::cout << FRAME << std::endl;
    postScript(ctx->webview, COMPLETE_SUCCESS);
}

#ifdef _WIN32
// The Windows program runs elevated from the start.
bool acquireRights(const char*, std::string&) { return true; }
void releaseInstallRights() {}
#else
// Administrator rights for a worker; the session that start-up took is reused.
bool acquireRights(const char* tag, std::string& error) {
    logBanner("=== Requesting Administrator Access ===");
    if (acquireAuthorizationSession(&error)) return true;
    std::cerr << tag << " Failed to acquire authorization: " << error << std::endl;
    return false;
}
void releaseInstallRights() { releaseAuthorizationSession(); }
#endif

bool acquireInstallRights(InstallationContext* ctx) {
    std::string error;
    if (acquireRights("[INSTALL_THREAD]", error)) return true;
    InstallerAnalytics::trackAuthorizationError(-1, error);
    InstallerAnalytics::trackInstallationFailed("Authorization", error, "authorization");
    postScript(ctx->webview, completionFailure("'Authorization required to install'"));
    return false;
}

// The three steps; false with failedComponent set when one of them failed.
// Manifest format errors and exceptions of the components reach the caller.
bool runInstallationSteps(InstallationContext* ctx, const json& manifest) {
    if (!installRenderEngineStep(ctx, manifest)) {
        ctx->failedComponent = "Render Engine";
        return false;
    }
    if (!installServerStep(ctx, manifest)) {
        ctx->failedComponent = "MRV Server";
        return false;
    }
    if (!ctx->pluginIds.empty() && !installPluginsStep(ctx)) {
        ctx->failedComponent = "Plugins";
        return false;
    }
    return true;
}

}  // namespace

void installationThreadFunc(InstallationContext* ctx) {
    logBlock("=== INSTALLATION THREAD STARTED ===");
    const auto start = std::chrono::steady_clock::now();
    InstallerAnalytics::trackInstallationStarted(ctx->pluginIds);

    json manifest;
    try {
        manifest = json::parse(ctx->manifestJson);
    } catch (const std::exception& e) {
        std::cerr << "[INSTALL_THREAD] Failed to parse manifest: " << e.what() << std::endl;
        postScript(ctx->webview, completionFailure("'Invalid manifest'"));
        delete ctx;
        return;
    }
    std::cout << "[INSTALL_THREAD] Platform: " << platformName() << std::endl;
    if (!acquireInstallRights(ctx)) {
        delete ctx;
        return;
    }

    // Every way out of the steps posts exactly one completion script.
    try {
        if (runInstallationSteps(ctx, manifest)) {
            reportSuccess(ctx, start);
        } else {
            reportFailure(ctx);
        }
    } catch (const ManifestFormatError& e) {
        std::cerr << "[INSTALL_THREAD] JSON type error accessing "
                  << (ctx->currentStep == 0 ? "render engine" : "MRV Server") << " fields: " << e.what() << std::endl;
        postScript(ctx->webview, completionFailure("'Invalid manifest format'"));
    } catch (const std::exception& e) {
        std::cerr << "[INSTALL_THREAD] Unexpected error: " << e.what() << std::endl;
        ctx->failedComponent = componentName(ctx->currentStep);
        reportFailure(ctx);
    } catch (...) {
        std::cerr << "[INSTALL_THREAD] Unexpected error" << std::endl;
        ctx->failedComponent = componentName(ctx->currentStep);
        reportFailure(ctx);
    }
    releaseInstallRights();
    delete ctx;
}

bool requestNestedTooDeep(const std::string& text) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxRequestDepth) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

namespace {

// A bound call's request text, parsed; a text nested too deeply is refused
// before the parser or any copy recurses through it.
json parseRequest(const std::string& text) {
    if (requestNestedTooDeep(text)) throw std::runtime_error("Request nested too deeply");
    return json::parse(text);
}

// The request object of a bound call: the object itself, or the first
// element of an array (a JSON text there is parsed). Refers into parsed or
// inner, so nothing deep is copied. With a tag, each shape is logged.
const json& requestObject(const json& parsed, json& inner, const char* tag = nullptr) {
    if (parsed.is_object()) {
        if (tag) std::cout << tag << " Request is an object" << std::endl;
        return parsed;
    }
    if (parsed.is_array() && !parsed.empty()) {
        if (tag) std::cout << tag << " Request is an array" << std::endl;
        if (!parsed[0].is_string()) return parsed[0];
        const std::string& text = parsed[0].get_ref<const std::string&>();
        if (tag) std::cout << tag << " Parsing inner JSON: " << text << std::endl;
        inner = parseRequest(text);
        return inner;
    }
    throw std::runtime_error("Unexpected request format");
}

}  // namespace

void startInstallation_cb(const char* seq, const char* req, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    const std::string request = req ? req : "";
    std::cout << FRAME << "\n=== STARTING INSTALLATION ===\n" << FRAME << std::endl;
    std::cout << "[startInstallation] Request: " << request << std::endl;
    std::cout << "[startInstallation] Raw request: " << request << std::endl;

    std::vector<std::string> pluginIds;
    bool forceReinstall = false;
    try {
        const json parsed = parseRequest(request);
        json inner;
        const json& body = requestObject(parsed, inner, "[startInstallation]");
        if (body.is_object() && body.contains("pluginIds") && body["pluginIds"].is_array()) {
            for (const json& id : body["pluginIds"]) pluginIds.push_back(id.get<std::string>());
        }
        if (body.is_object() && body.contains("forceReinstallRenderEngine") &&
            body["forceReinstallRenderEngine"].is_boolean()) {
            forceReinstall = body["forceReinstallRenderEngine"].get<bool>();
        }
        std::cout << "[startInstallation] Parsed " << pluginIds.size() << " plugin(s):" << std::endl;
        for (const std::string& id : pluginIds) std::cout << "[startInstallation]   - " << id << std::endl;
        std::cout << "[startInstallation] Force reinstall Render Engine: " << (forceReinstall ? "yes" : "no") << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "[startInstallation] Failed to parse request: " << e.what() << std::endl;
        answer(w, seq, 1, "{\"success\":false,\"error\":\"Invalid request format\"}");
        return;
    }

    std::string manifest;
    {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        manifest = g_manifestJson;
    }
    if (manifest.empty()) {
        std::cerr << "[startInstallation] Manifest not loaded" << std::endl;
        answer(w, seq, 1, "{\"success\":false,\"error\":\"Manifest not loaded\"}");
        return;
    }

    InstallationContext* ctx = new InstallationContext();
    ctx->webview = w;
    ctx->pluginIds = pluginIds;
    ctx->manifestJson = manifest;
    ctx->lastStatus = "Preparing...";
    for (const auto& phase : InstallerConfig::INSTALLATION_PHASES) {
        if (phase.enabled) ++ctx->totalSteps;
    }
    ctx->totalPlugins = static_cast<int>(pluginIds.size());
    ctx->forceReinstallRenderEngine = forceReinstall;

    std::cout << "[startInstallation] Launching installation thread..." << std::endl;
    if (!startWorker(installationThreadFunc, ctx, "[startInstallation]")) {
        answer(w, seq, 1, "{\"success\":false,\"error\":\"Failed to start installation\"}");
        return;
    }
    std::cout << "[startInstallation] Installation thread launched, UI will remain responsive" << std::endl;
    answer(w, seq, 0, "{\"success\":true,\"message\":\"Installation started\"}");
}

// ---------------------------------------------------------------------------
// Installed components and the uninstall

void detectInstalledComponents_cb(const char* seq, const char*, void* arg) {
    std::cout << "[detectInstalledComponents] Detecting installed components..." << std::endl;
    const std::string result =
        InstallerUninstall::installedComponentsToJson(InstallerUninstall::detectInstalledComponents());
    std::cout << "[detectInstalledComponents] Result: " << result << std::endl;
    answer(static_cast<webview_t>(arg), seq, 0, result);
}

void sendUninstallProgressToJS(UninstallContext* ctx, int current, int total, const std::string& status) {
    std::cout << "[UNINSTALL_PROGRESS] " << current << "/" << total << " - " << status << std::endl;
    postScript(ctx->webview, "if (window.onUninstallProgress) { window.onUninstallProgress({current: " +
                                 std::to_string(current) + ", total: " + std::to_string(total) + ", status: \"" +
                                 jsEscape(status) + "\"}); }");
}

namespace {

const char* const UNINSTALL_SUCCESS = "if (window.onUninstallComplete) { window.onUninstallComplete({success: true}); }";

std::string uninstallFailure(const std::string& error) {
    return "if (window.onUninstallComplete) { window.onUninstallComplete({success: false, error: '" + error + "'}); }";
}

bool acquireUninstallRights(UninstallContext* ctx) {
    std::string error;
    if (acquireRights("[UNINSTALL_THREAD]", error)) return true;
    postScript(ctx->webview, uninstallFailure("Authorization required to uninstall"));
    return false;
}

// Only a JSON boolean sets a flag.
bool requestFlag(const json& request, const char* key) {
    const auto member = request.find(key);
    return member != request.end() && member->is_boolean() && member->get<bool>();
}

}  // namespace

// Throws on a request that cannot be read; a request that is not an object asks for nothing.
void readUninstallRequest(const std::string& text, UninstallContext& ctx) {
    const json parsed = parseRequest(text);
    json inner;
    const json& request = requestObject(parsed, inner);
    if (!request.is_object()) return;
    ctx.renderEngine = requestFlag(request, "renderEngine");
    ctx.mrvServer = requestFlag(request, "mrvServer");
    ctx.userData = requestFlag(request, "userData");
    const auto ids = request.find("pluginIds");
    if (ids != request.end() && ids->is_array()) {
        for (const json& id : *ids) ctx.pluginIds.push_back(id.get<std::string>());
    }
}

namespace {

// The requested plug-ins, found in one fresh detection; false when one of
// them could not be found or removed.
bool uninstallPluginsStep(UninstallContext* ctx, int& step, int total) {
    logBanner("=== Uninstalling Plugins ===");
    const std::vector<InstallerUninstall::InstalledPlugin> installed = InstallerUninstall::detectInstalledPlugins();
    bool ok = true;
    for (const std::string& id : ctx->pluginIds) {
        sendUninstallProgressToJS(ctx, step, total, "Removing " + id + "...");
        const std::vector<const InstallerUninstall::InstalledPlugin*> found = InstallerUninstall::findPlugins(installed, id);
        if (found.empty()) {
            std::cout << "[UNINSTALL_THREAD] Plugin not found: " << id << std::endl;
            ok = false;
        }
        for (const InstallerUninstall::InstalledPlugin* plugin : found) {
            if (!InstallerUninstall::uninstallPlugin(*plugin, nullptr)) {
                std::cerr << "[UNINSTALL_THREAD] Failed to uninstall plugin: " << id << std::endl;
                ok = false;
            }
        }
        ++step;
    }
    return ok;
}

// The requested removals in order; false when one failed. A failed render
// engine or server removal skips every later step.
bool runUninstallSteps(UninstallContext* ctx, int total) {
    bool ok = true;
    int step = 0;
    if (ctx->renderEngine) {
        logBanner("=== Uninstalling Render Engine ===");
        sendUninstallProgressToJS(ctx, 0, total, "Removing Render Engine...");
        if (!InstallerUninstall::uninstallRenderEngine(nullptr)) {
            std::cerr << "[UNINSTALL_THREAD] Failed to uninstall Render Engine" << std::endl;
            ok = false;
        }
        step = 1;
    }
    if (ctx->mrvServer && ok) {
        logBanner("=== Uninstalling MRV Server ===");
        sendUninstallProgressToJS(ctx, step, total, "Removing MRV Server...");
        if (!InstallerUninstall::uninstallMRVServer(nullptr)) {
            std::cerr << "[UNINSTALL_THREAD] Failed to uninstall MRV Server" << std::endl;
            ok = false;
        }
        ++step;
    }
    const bool componentsRemoved = ok;
    if (!ctx->pluginIds.empty() && componentsRemoved) ok = uninstallPluginsStep(ctx, step, total) && ok;
    if (ctx->userData && componentsRemoved) {
        logBanner("=== Removing User Data ===");
        sendUninstallProgressToJS(ctx, step, total, "Removing user data...");
        if (!InstallerUninstall::removeUserData(nullptr)) {
            std::cerr << "[UNINSTALL_THREAD] Failed to remove user data" << std::endl;
        }
    }
    sendUninstallProgressToJS(ctx, total, total, "Uninstall complete");
    logBlock("=== UNINSTALL COMPLETE ===");
    return ok;
}

}  // namespace

void uninstallThreadFunc(UninstallContext* ctx) {
    logBlock("=== UNINSTALL THREAD STARTED ===");
    if (!acquireUninstallRights(ctx)) {
        delete ctx;
        return;
    }
    const int total = (ctx->renderEngine ? 1 : 0) + (ctx->mrvServer ? 1 : 0) + (ctx->userData ? 1 : 0) +
                      static_cast<int>(ctx->pluginIds.size());
    if (total == 0) {
        std::cout << "[UNINSTALL_THREAD] Nothing to uninstall" << std::endl;
        releaseInstallRights();
        postScript(ctx->webview, UNINSTALL_SUCCESS);
        delete ctx;
        return;
    }

    // Every way out of the steps posts exactly one completion script.
    bool ok = false;
    try {
        ok = runUninstallSteps(ctx, total);
    } catch (const std::exception& e) {
        std::cerr << "[UNINSTALL_THREAD] Unexpected error: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "[UNINSTALL_THREAD] Unexpected error" << std::endl;
    }
    releaseInstallRights();
    postScript(ctx->webview, ok ? UNINSTALL_SUCCESS : uninstallFailure("Some components failed to uninstall"));
    delete ctx;
}

void startUninstall_cb(const char* seq, const char* req, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    const std::string request = req ? req : "";
    std::cout << FRAME << "\n=== STARTING UNINSTALL ===\n" << FRAME << std::endl;
    std::cout << "[startUninstall] Request: " << request << std::endl;

    auto ctx = std::make_unique<UninstallContext>();
    ctx->webview = w;
    try {
        readUninstallRequest(request, *ctx);
    } catch (const std::exception& e) {
        std::cerr << "[startUninstall] Failed to parse request: " << e.what() << std::endl;
        answer(w, seq, 1, "{\"success\":false,\"error\":\"Invalid request format\"}");
        return;
    }
    std::cout << "[startUninstall] Uninstall request:\n"
              << "  - Render Engine: " << (ctx->renderEngine ? "yes" : "no") << "\n"
              << "  - MRV Server: " << (ctx->mrvServer ? "yes" : "no") << "\n"
              << "  - User Data: " << (ctx->userData ? "yes" : "no") << "\n"
              << "  - Plugins: " << ctx->pluginIds.size() << std::endl;

    std::cout << "[startUninstall] Launching uninstall thread..." << std::endl;
    if (!startWorker(uninstallThreadFunc, ctx.release(), "[startUninstall]")) {
        answer(w, seq, 1, "{\"success\":false,\"error\":\"Failed to start uninstall\"}");
        return;
    }
    std::cout << "[startUninstall] Uninstall thread launched" << std::endl;
    answer(w, seq, 0, "{\"success\":true,\"message\":\"Uninstall started\"}");
}

// ---------------------------------------------------------------------------
// Bound functions

void checkElevated_cb(const char* seq, const char*, void* arg) {
    answer(static_cast<webview_t>(arg), seq, 0, "{\"elevated\":false}");
}

void checkHostApp_cb(const char* seq, const char*, void* arg) {
    std::cout << "[checkHostApp] Checking if Adobe host apps are running..." << std::endl;
    const std::string result = isHostAppRunning() ? "{\"isRunning\":true}" : "{\"isRunning\":false}";
    std::cout << "[checkHostApp] Returning: " << result << std::endl;
    answer(static_cast<webview_t>(arg), seq, 0, result);
}

void loadManifest_cb(const char* seq, const char*, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    std::cout << "[loadManifest] Called, launching background thread..." << std::endl;
    if (!startWorker(loadManifestThreadFunc, new ManifestLoadContext{w}, "[loadManifest]")) {
        answer(w, seq, 1, "{\"success\":false,\"error\":\"Failed to start manifest loading\"}");
        return;
    }
    std::cout << "[loadManifest] Background thread launched, UI remains responsive" << std::endl;
    answer(w, seq, 0, "{\"success\":true,\"message\":\"Loading manifest in background\"}");
}

namespace {

// The URL of an openUrl request, found as plain text; empty when there is none.
std::string urlInRequest(const std::string& request) {
    const std::string::size_type key = request.find("url");
    const std::string::size_type scheme = key == std::string::npos ? std::string::npos : request.find("://", key);
    if (scheme == std::string::npos) return "";
    const std::string::size_type before = request.find_last_of("\\\"", scheme);
    const std::string::size_type start = before == std::string::npos ? 0 : before + 1;
    const std::string::size_type end = request.find_first_of("\"\\", start);
    return request.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

void openUrl_cb(const char* seq, const char* req, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    const char* const invalid = "{\"success\":false,\"error\":\"Invalid URL\"}";
    // Nothing may cross into the web view library.
    try {
        const std::string request = req ? req : "";
        std::cout << "[openUrl] Request: " << request << std::endl;
        const std::string url = requestNestedTooDeep(request) ? std::string() : urlInRequest(request);
        if (url.empty() || !isWebUrl(url)) {
            std::cerr << "[openUrl] Failed to parse URL from request" << std::endl;
            answer(w, seq, 1, invalid);
            return;
        }
        std::cout << "[openUrl] Opening URL: " << url << std::endl;
        openInBrowser(url);
        answer(w, seq, 0, "{\"success\":true}");
    } catch (const std::exception& e) {
        try {
            std::cerr << "[openUrl] Failed to open URL: " << e.what() << std::endl;
            answer(w, seq, 1, invalid);
        } catch (...) {
        }
    }
}

void closeWindow_cb(const char* seq, const char*, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    std::cout << "[closeWindow] Closing application..." << std::endl;
    webview_terminate(w);
    answer(w, seq, 0, "{\"success\":true}");
}

// ---------------------------------------------------------------------------
// Test seams

#ifdef ZRVK_TESTING
void setScriptSinkForTesting(std::function<void(const std::string&)> sink) { g_scriptSink = std::move(sink); }
void setReturnSinkForTesting(std::function<void(const std::string&, int, const std::string&)> sink) {
    g_returnSink = std::move(sink);
}
void setUrlOpenerForTesting(std::function<void(const std::string&)> opener) { g_urlOpener = std::move(opener); }
void setManifestUrlForTesting(const std::string& url) { g_manifestUrlOverride = url; }
void setHttpTimeoutForTesting(long seconds) { g_httpTimeoutSeconds = seconds; }
#endif

// ---------------------------------------------------------------------------
// Start-up and shutdown

#ifdef ZRVK_TESTING
#define ZRVK_ENTRY installerMain
#else
#define ZRVK_ENTRY main
#endif

int ZRVK_ENTRY(int argc, char* argv[]) {
    const bool devMode = isDevMode(argc, argv);
#ifdef _WIN32
    if (devMode) openDevConsole();
#endif

#ifndef _WIN32
    prepareLogsFolder();
#endif
    InstallerLogging::FileLogger::getInstance().initialize();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    InstallerAnalytics::initialize();

    if (devMode) std::cout << "[MAIN] Dev mode enabled" << std::endl;
    std::cout << "[MAIN] Zorvik Installer starting..." << std::endl;
    std::cout << "[MAIN] Using webview C API with embedded resources" << std::endl;
#ifdef _WIN32
    std::cout << "[MAIN] Checking WebView2 Runtime..." << std::endl;
    if (!ensureWebView2Runtime()) {
        std::cerr << "[ERROR] WebView2 Runtime is required but not installed" << std::endl;
        return 1;
    }
    std::cout << "[MAIN] WebView2 Runtime is available" << std::endl;
#endif

#ifdef __APPLE__
    installApplicationMenu();
#endif

    std::cout << "[MAIN] Creating webview..." << std::endl;
    webview_t w = webview_create(devMode ? 1 : 0, nullptr);
    if (!w) {
        std::cerr << "[ERROR] Failed to create webview" << std::endl;
        return 1;
    }
    std::cout << "[MAIN] Webview created successfully" << std::endl;
    {
        std::lock_guard<std::mutex> lock(g_windowMutex);
        g_liveWindow = w;
    }
#ifdef _WIN32
    setWindowIcon(w);
#endif

    webview_set_title(w, WINDOW_TITLE);
    webview_set_size(w, WINDOW_WIDTH, WINDOW_HEIGHT, devMode ? WEBVIEW_HINT_NONE : WEBVIEW_HINT_FIXED);

    std::cout << "[MAIN] Binding JavaScript functions..." << std::endl;
    webview_bind(w, "checkElevated", checkElevated_cb, w);
    webview_bind(w, "checkHostApp", checkHostApp_cb, w);
    webview_bind(w, "loadManifest", loadManifest_cb, w);
    webview_bind(w, "startInstallation", startInstallation_cb, w);
    webview_bind(w, "openUrl", openUrl_cb, w);
    webview_bind(w, "closeWindow", closeWindow_cb, w);
    webview_bind(w, "detectInstalledComponents", detectInstalledComponents_cb, w);
    webview_bind(w, "startUninstall", startUninstall_cb, w);

    const std::string name = executableName();
    std::cout << "[MAIN] Executable name: " << name << std::endl;
    const std::string startScript = std::string("window.DEV_MODE = ") + (devMode ? "true" : "false") +
                                    "; window.INSTALLER_FILENAME = \"" + jsEscape(name) +
                                    "\"; console.log('[MAIN] Set INSTALLER_FILENAME to:', window.INSTALLER_FILENAME);";
    webview_init(w, startScript.c_str());

    std::cout << "[MAIN] Loading embedded HTML content..." << std::endl;
    webview_set_html(w, EmbeddedResources::HTML_CONTENT.c_str());

    std::cout << "[MAIN] Entering main loop..." << std::endl;
    webview_run(w);

    std::cout << "[MAIN] Main loop exited, destroying webview..." << std::endl;
    {
        std::lock_guard<std::mutex> lock(g_windowMutex);
        g_liveWindow = nullptr;
    }
    webview_destroy(w);
    InstallerAnalytics::shutdown();
    std::cout << "[MAIN] Exiting..." << std::endl;
    return 0;
}
