// The installer's analytics vocabulary over one process-wide client. Every
// function is a no-op when analytics did not start, and none reports errors.
#pragma once

#include "posthog.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace InstallerAnalytics {

enum class EventType {
    INSTALLATION_STARTED = 0,
    INSTALLATION_COMPLETED = 1,
    INSTALLATION_FAILED = 2,
    INSTALLATION_DIAGNOSTICS = 3,
    COMPONENT_ERROR = 4,
    DOWNLOAD_ERROR = 5,
    AUTHORIZATION_ERROR = 6,
    MANIFEST_LOAD_ERROR = 7,
};

// Empty before initialize, after a failed initialize and after shutdown.
// Read it only through the functions below: workers may still be tracking
// while shutdown (or the exit) releases it.
extern std::unique_ptr<PostHog::Client> g_client;

bool initialize();
void shutdown();

std::string eventName(EventType type);
void track(EventType type, const std::map<std::string, std::string>& props);

void trackInstallationStarted(const std::vector<std::string>& pluginIds);
void trackInstallationCompleted(double seconds, int pluginCount);
void trackInstallationFailed(const std::string& component, const std::string& error, const std::string& phase);
void trackInstallationDiagnostics(int pluginCount, const std::vector<std::pair<std::string, std::string>>& plugins);
void trackDownloadError(const std::string& url, int httpCode, const std::string& curlError);
void trackAuthorizationError(int code, const std::string& message);
void trackManifestError(const std::string& errorType, const std::string& message);
void trackComponentError(const std::string& component, const std::string& errorType, const std::string& message);

bool isEnabled();
void setEnabled(bool enabled);
std::string getDistinctId();
void flush(int timeoutMs);
void installCrashHandler(const std::string& dir);

}  // namespace InstallerAnalytics
