// The uninstall as the page drives it: detection for the page, the bound
// function that starts an uninstall and its worker, and its progress scripts.
#pragma once

#include "webview.h"

#include <string>
#include <vector>

// One uninstall request; made by startUninstall_cb, owned and deleted by the
// uninstall worker.
struct UninstallContext {
    webview_t webview = nullptr;
    bool renderEngine = false;
    bool mrvServer = false;
    bool userData = false;
    std::vector<std::string> pluginIds;
};

void detectInstalledComponents_cb(const char* seq, const char* req, void* arg);
void startUninstall_cb(const char* seq, const char* req, void* arg);
void uninstallThreadFunc(UninstallContext* ctx);
void sendUninstallProgressToJS(UninstallContext* ctx, int current, int total, const std::string& status);
// Reads a request into ctx, as startUninstall_cb does; throws on a request that
// cannot be read, and a request that is not an object asks for nothing.
void readUninstallRequest(const std::string& text, UninstallContext& ctx);
