// One installation run's state, in a header of its own: the installation
// worker owns it and the progress reports write into it.
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
