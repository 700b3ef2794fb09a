#include "uninstall_flow.h"

#include "bridge.h"
#include "installer_uninstall.h"
#include "text_escape.h"
#include "worker.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <memory>

void detectInstalledComponents_cb(const char* seq, const char*, void* arg) {
    std::cout << "[detectInstalledComponents] Detecting installed components..." << std::endl;
    const std::string result =
        InstallerUninstall::installedComponentsToJson(InstallerUninstall::detectInstalledComponents());
    std::cout << "[detectInstalledComponents] Result: " << result << std::endl;
    answerCall(static_cast<webview_t>(arg), seq, 0, result);
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

// Only a JSON boolean sets a flag.
bool requestFlag(const nlohmann::json& request, const char* key) {
    const auto member = request.find(key);
    return member != request.end() && member->is_boolean() && member->get<bool>();
}

}  // namespace

// Throws on a request that cannot be read; a request that is not an object asks for nothing.
void readUninstallRequest(const std::string& text, UninstallContext& ctx) {
    const nlohmann::json parsed = parseRequest(text);
    nlohmann::json inner;
    const nlohmann::json& request = requestObject(parsed, inner);
    if (!request.is_object()) return;
    ctx.renderEngine = requestFlag(request, "renderEngine");
    ctx.mrvServer = requestFlag(request, "mrvServer");
    ctx.userData = requestFlag(request, "userData");
    const auto ids = request.find("pluginIds");
    if (ids != request.end() && ids->is_array()) {
        for (const nlohmann::json& id : *ids) ctx.pluginIds.push_back(id.get<std::string>());
    }
}

namespace {

// The requested plug-ins, found in one fresh detection; false when one that
// was found could not be removed. One that is not there is already as asked.
bool uninstallPluginsStep(UninstallContext* ctx, int& step, int total) {
    logBanner("=== Uninstalling Plugins ===");
    const std::vector<InstallerUninstall::InstalledPlugin> installed = InstallerUninstall::detectInstalledPlugins();
    bool ok = true;
    for (const std::string& id : ctx->pluginIds) {
        sendUninstallProgressToJS(ctx, step, total, "Removing " + id + "...");
        const std::vector<const InstallerUninstall::InstalledPlugin*> found = InstallerUninstall::findPlugins(installed, id);
        if (found.empty()) {
            std::cout << "[UNINSTALL_THREAD] Plugin not found: " << id << std::endl;
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

// A request for nothing succeeds at once, with no progress.
bool uninstallRequested(UninstallContext& ctx) {
    const int total = (ctx.renderEngine ? 1 : 0) + (ctx.mrvServer ? 1 : 0) + (ctx.userData ? 1 : 0) +
                      static_cast<int>(ctx.pluginIds.size());
    if (total == 0) {
        std::cout << "[UNINSTALL_THREAD] Nothing to uninstall" << std::endl;
        return true;
    }
    return runUninstallSteps(&ctx, total);
}

}  // namespace

void uninstallThreadFunc(UninstallContext* ctx) {
    WorkerSteps<UninstallContext> worker;
    worker.tag = "[UNINSTALL_THREAD]";
    worker.startBanner = "=== UNINSTALL THREAD STARTED ===";
    worker.refused = [](UninstallContext& c, const std::string&) {
        postScript(c.webview, uninstallFailure("Authorization required to uninstall"));
    };
    worker.steps = uninstallRequested;
    worker.complete = [](UninstallContext& c, bool ok) {
        postScript(c.webview, ok ? UNINSTALL_SUCCESS : uninstallFailure("Some components failed to uninstall"));
    };
    runWorker(ctx, worker);
}

void startUninstall_cb(const char* seq, const char* req, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    const std::string request = req ? req : "";
    std::cout << logRule() << "\n=== STARTING UNINSTALL ===\n" << logRule() << std::endl;
    std::cout << "[startUninstall] Request: " << request << std::endl;

    auto ctx = std::make_unique<UninstallContext>();
    ctx->webview = w;
    try {
        readUninstallRequest(request, *ctx);
    } catch (const std::exception& e) {
        std::cerr << "[startUninstall] Failed to parse request: " << e.what() << std::endl;
        answerCall(w, seq, 1, "{\"success\":false,\"error\":\"Invalid request format\"}");
        return;
    }
    std::cout << "[startUninstall] Uninstall request:\n"
              << "  - Render Engine: " << (ctx->renderEngine ? "yes" : "no") << "\n"
              << "  - MRV Server: " << (ctx->mrvServer ? "yes" : "no") << "\n"
              << "  - User Data: " << (ctx->userData ? "yes" : "no") << "\n"
              << "  - Plugins: " << ctx->pluginIds.size() << std::endl;

    std::cout << "[startUninstall] Launching uninstall thread..." << std::endl;
    if (!startWorker(uninstallThreadFunc, ctx.release(), "[startUninstall]")) {
        answerCall(w, seq, 1, "{\"success\":false,\"error\":\"Failed to start uninstall\"}");
        return;
    }
    std::cout << "[startUninstall] Uninstall thread launched" << std::endl;
    answerCall(w, seq, 0, "{\"success\":true,\"message\":\"Uninstall started\"}");
}
