#include "progress.h"

#include "bridge.h"
#include "installer_config.h"
#include "text_escape.h"

#include <iostream>

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
