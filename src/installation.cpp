#include "installation.h"

#include "bridge.h"
#include "installer_analytics.h"
#include "installer_components.h"
#include "installer_config.h"
#include "installer_download.h"
#include "installer_utils.h"
#include "manifest.h"
#include "plugin_diagnostics.h"
#include "progress.h"
#include "system.h"
#include "text_escape.h"
#include "worker.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace {

const char* const COMPLETE_SUCCESS = "if (window.onInstallationComplete) { window.onInstallationComplete({success: true}); }";

std::string completionFailure(const std::string& quotedError) {
    return "if (window.onInstallationComplete) { window.onInstallationComplete({success: false, error: " + quotedError +
           "}); }";
}

bool hasKey(const nlohmann::json& manifest, const std::string& key) { return manifest.is_object() && manifest.contains(key); }

// A missing key reads as null, so that its conversion is a type error.
nlohmann::json manifestValue(const nlohmann::json& manifest, const std::string& key) {
    return hasKey(manifest, key) ? manifest[key] : nlohmann::json(nullptr);
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
    } catch (const nlohmann::json::exception& e) {
        throw ManifestFormatError(e.what());
    }
}

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

// The log names the processor beside the system, except on Windows.
std::string installPlatform() {
    const std::string name = System::platformName();
    return name == "Windows" ? name : name + "_x64";
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
bool installRenderEngineStep(InstallationContext* ctx, const nlohmann::json& manifest) {
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
        std::cout << "[INSTALL_THREAD] Trying HuggingFace source first: " << escapeForLog(primaryUrl) << std::endl;
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
    std::cout << "[INSTALL_THREAD] Trying GitHub fallback: " << escapeForLog(githubUrl) << std::endl;
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
bool installServerStep(InstallationContext* ctx, const nlohmann::json& manifest) {
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
        std::cout << "[INSTALL_THREAD] MRV Server version: " << escapeForLog(version) << std::endl;
        urlTemplate = manifestValue(manifest, urlKey).get<std::string>();
        std::cout << "[INSTALL_THREAD] URL template: " << escapeForLog(urlTemplate) << std::endl;
    });
    const std::string url = serverUrlFromTemplate(urlTemplate, version);
    std::cout << "[INSTALL_THREAD] Final MRV Server URL: " << escapeForLog(url) << std::endl;
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
    std::cout << "\n" << logRule() << std::endl;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::cout << "=== INSTALLATION COMPLETE ===\n" << logRule() << std::endl;
    const double seconds =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1000000000.0;
    InstallerAnalytics::trackInstallationCompleted(seconds, static_cast<int>(ctx->pluginIds.size()));
    reportDiagnostics();
    logBanner("=== Launching MRV Server ===");
    launchMRVServer();
    std::cout << logRule() << std::endl;
    postScript(ctx->webview, COMPLETE_SUCCESS);
}

void refuseInstallation(InstallationContext& ctx, const std::string& error) {
    InstallerAnalytics::trackAuthorizationError(-1, error);
    InstallerAnalytics::trackInstallationFailed("Authorization", error, "authorization");
    postScript(ctx.webview, completionFailure("'Authorization required to install'"));
}

// The three steps; false with failedComponent set when one of them failed.
// Manifest format errors and exceptions of the components reach the caller.
bool runInstallationSteps(InstallationContext* ctx, const nlohmann::json& manifest) {
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

// The manifest for the steps; false when it is not JSON (the failure is posted).
bool parseInstallationManifest(InstallationContext& ctx, nlohmann::json& manifest) {
    try {
        manifest = nlohmann::json::parse(ctx.manifestJson);
    } catch (const std::exception& e) {
        std::cerr << "[INSTALL_THREAD] Failed to parse manifest: " << e.what() << std::endl;
        postScript(ctx.webview, completionFailure("'Invalid manifest'"));
        return false;
    }
    std::cout << "[INSTALL_THREAD] Platform: " << installPlatform() << std::endl;
    return true;
}

// The steps and the completion script of their outcome.
void installAndReport(InstallationContext* ctx, const nlohmann::json& manifest,
                      std::chrono::steady_clock::time_point start) {
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
    }
}

// Whatever else a step threw fails the component it was in.
void reportUnexpectedError(InstallationContext& ctx) {
    ctx.failedComponent = componentName(ctx.currentStep);
    reportFailure(&ctx);
}

}  // namespace

void installationThreadFunc(InstallationContext* ctx) {
    std::chrono::steady_clock::time_point start;
    nlohmann::json manifest;
    WorkerSteps<InstallationContext> worker;
    worker.tag = "[INSTALL_THREAD]";
    worker.startBanner = "=== INSTALLATION THREAD STARTED ===";
    worker.prepare = [&](InstallationContext& c) {
        start = std::chrono::steady_clock::now();
        InstallerAnalytics::trackInstallationStarted(c.pluginIds);
        return parseInstallationManifest(c, manifest);
    };
    worker.refused = refuseInstallation;
    // The completion is posted before the rights are given back.
    worker.steps = [&](InstallationContext& c) {
        installAndReport(&c, manifest, start);
        return true;
    };
    worker.unexpected = reportUnexpectedError;
    runWorker(ctx, worker);
}

void startInstallation_cb(const char* seq, const char* req, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    const std::string request = req ? req : "";
    std::cout << logRule() << "\n=== STARTING INSTALLATION ===\n" << logRule() << std::endl;
    std::cout << "[startInstallation] Request: " << request << std::endl;
    std::cout << "[startInstallation] Raw request: " << request << std::endl;

    std::vector<std::string> pluginIds;
    bool forceReinstall = false;
    try {
        const nlohmann::json parsed = parseRequest(request);
        nlohmann::json inner;
        const nlohmann::json& body = requestObject(parsed, inner, "[startInstallation]");
        if (body.is_object() && body.contains("pluginIds") && body["pluginIds"].is_array()) {
            for (const nlohmann::json& id : body["pluginIds"]) pluginIds.push_back(id.get<std::string>());
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
        answerCall(w, seq, 1, "{\"success\":false,\"error\":\"Invalid request format\"}");
        return;
    }

    std::string manifest;
    {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        manifest = g_manifestJson;
    }
    if (manifest.empty()) {
        std::cerr << "[startInstallation] Manifest not loaded" << std::endl;
        answerCall(w, seq, 1, "{\"success\":false,\"error\":\"Manifest not loaded\"}");
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
        answerCall(w, seq, 1, "{\"success\":false,\"error\":\"Failed to start installation\"}");
        return;
    }
    std::cout << "[startInstallation] Installation thread launched, UI will remain responsive" << std::endl;
    answerCall(w, seq, 0, "{\"success\":true,\"message\":\"Installation started\"}");
}
