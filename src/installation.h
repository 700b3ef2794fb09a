// The installation: the bound function that starts it and its worker, which
// runs the three steps (render engine, server, plug-ins) and reports to the page.
#pragma once

#include "webview.h"

#include <cstdint>
#include <string>
#include <vector>

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

void installationThreadFunc(InstallationContext* ctx);
void startInstallation_cb(const char* seq, const char* req, void* arg);
