#include "installer_analytics.h"

#include "installer_config.h"
#include "installer_logging.h"

#include <condition_variable>
#include <cstdint>
#include <iostream>
#include <mutex>

#ifdef _WIN32
#include "program_data_folders.h"
#endif

namespace InstallerAnalytics {

std::unique_ptr<PostHog::Client> g_client;

namespace {

const char* const APP_NAME = "zrvk-installer";

// Workers are detached and may still be tracking while shutdown or the exit
// releases the client. Each call holds a lease on the client; the client is
// destroyed only once no lease is left. Never destroyed itself, so a worker
// that calls in during the exit still finds a valid lock.
struct Guard {
    std::mutex mutex;
    std::condition_variable idle;
    int leases = 0;
    bool releasing = false;
    bool closed = false;
};

Guard& guard() {
    static Guard* instance = new Guard();
    return *instance;
}

class Lease {
public:
    Lease() {
        Guard& g = guard();
        std::lock_guard<std::mutex> lock(g.mutex);
        if (!g.closed && g_client) {
            client = g_client.get();
            ++g.leases;
        }
    }
    ~Lease() {
        if (client == nullptr) return;
        Guard& g = guard();
        std::lock_guard<std::mutex> lock(g.mutex);
        if (--g.leases == 0) g.idle.notify_all();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return client != nullptr; }
    PostHog::Client* operator->() const { return client; }

private:
    PostHog::Client* client = nullptr;
};

// Takes the client out of g_client once no call is using it any more.
std::unique_ptr<PostHog::Client> takeClient(bool close) {
    Guard& g = guard();
    std::unique_lock<std::mutex> lock(g.mutex);
    std::unique_ptr<PostHog::Client> client = std::move(g_client);
    if (close) g.closed = true;
    g.idle.wait(lock, [&g] { return g.leases == 0; });
    return client;
}

// Releases the client at exit before g_client's own destructor and before
// the logger's (it is created after both): the client's destructor still
// posts what is queued, but only once every tracking call has left it, and
// calls that come later find no client.
struct ExitRelease {
    ~ExitRelease() { takeClient(true).reset(); }
};

std::string cut(const std::string& text, std::size_t bytes) { return text.substr(0, bytes); }

// The file that keeps the machine id. The Windows program writes it elevated,
// so only into a folder of the data folders that no other user controls;
// otherwise the id is not kept.
std::string machineIdFile() {
    const std::string& folder = InstallerConfig::Paths::MRV_BASE_DIR;
#ifdef _WIN32
    if (!ProgramDataFolders::prepare(folder, ProgramDataFolders::Purpose::Use)) return "";
#endif
    return folder + "/id.txt";
}

}  // namespace

bool initialize() {
    {
        std::lock_guard<std::mutex> lock(guard().mutex);
        if (g_client) return true;
    }
    InstallerLogging::FileLogger::getInstance();
    static ExitRelease exitRelease;
    std::cout << "[ANALYTICS] Initializing PostHog analytics..." << std::endl;
    const std::string& key = InstallerConfig::ANALYTICS_API_KEY;
    std::cout << "[ANALYTICS] API key: " << key.substr(0, 8) << "..." << key.substr(key.size() >= 4 ? key.size() - 4 : 0)
              << std::endl;

    std::string distinctId = PostHog::Client::generateMachineId(machineIdFile());

    PostHog::Config config;
    config.apiKey = key;
    config.appName = APP_NAME;
    config.appVersion = InstallerConfig::VERSION;
    config.host = InstallerConfig::ANALYTICS_HOST;
    config.distinctId = distinctId;

    std::unique_ptr<PostHog::Client> client(new PostHog::Client(config));
    if (!client->initialize()) {
        std::cerr << "[ANALYTICS] Failed to initialize PostHog client" << std::endl;
        return false;
    }
    std::string id = client->getDistinctId();
    {
        std::lock_guard<std::mutex> lock(guard().mutex);
        g_client = std::move(client);
    }
    std::cout << "[ANALYTICS] Initialized successfully, distinct_id: " << id.substr(0, 8) << "..." << std::endl;
    return true;
}

void shutdown() {
    Guard& g = guard();
    PostHog::Client* client = nullptr;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        if (!g_client || g.releasing) return;
        client = g_client.get();
        g.releasing = true;
    }
    std::cout << "[ANALYTICS] Shutting down..." << std::endl;
    // The client stays reachable while it drains, so events tracked meanwhile
    // are still queued (and sent if the drain has not finished yet).
    client->shutdown();
    takeClient(false).reset();
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.releasing = false;
    }
    std::cout << "[ANALYTICS] Shutdown complete" << std::endl;
}

std::string eventName(EventType type) {
    switch (static_cast<int>(type)) {
        case 0: return "installation_started";
        case 1: return "installation_completed";
        case 2: return "installation_failed";
        case 3: return "installation_diagnostics";
        case 4: return "component_error";
        case 5: return "download_error";
        case 6: return "authorization_error";
        case 7: return "manifest_load_error";
        default: return "unknown_event";
    }
}

void track(EventType type, const std::map<std::string, std::string>& props) {
    Lease client;
    if (!client || !client->isEnabled()) return;
    std::string name = eventName(type);
    client->track(name, props);
    std::cout << "[ANALYTICS] Queued event: " << name << std::endl;
}

void trackInstallationStarted(const std::vector<std::string>& pluginIds) {
    std::string joined;
    for (std::size_t i = 0; i < pluginIds.size() && i < 10; ++i) {
        if (!joined.empty()) joined += ",";
        joined += pluginIds[i];
    }
    track(EventType::INSTALLATION_STARTED, {{"plugin_count", std::to_string(pluginIds.size())}, {"plugins", joined}});
}

void trackInstallationCompleted(double seconds, int pluginCount) {
    track(EventType::INSTALLATION_COMPLETED, {{"duration_seconds", std::to_string(static_cast<int32_t>(seconds))},
                                              {"plugin_count", std::to_string(pluginCount)}});
}

void trackInstallationFailed(const std::string& component, const std::string& error, const std::string& phase) {
    Lease client;
    if (!client || !client->isEnabled()) return;
    if (error.find("Access denied") != std::string::npos || error.find("Administrator") != std::string::npos) {
        std::cout << "[ANALYTICS] Skipping user error (not a bug): " << error << std::endl;
        return;
    }
    std::map<std::string, std::string> props{{"phase", phase}};
    std::string logs = InstallerLogging::FileLogger::getInstance().getLastLines(50);
    if (!logs.empty()) props["recent_logs"] = logs;
    client->trackException("InstallationError", error, component, props);
    std::cout << "[ANALYTICS] Queued exception: InstallationError" << std::endl;
}

void trackInstallationDiagnostics(int pluginCount, const std::vector<std::pair<std::string, std::string>>& plugins) {
    std::map<std::string, std::string> props{{"plugin_count", std::to_string(pluginCount)}};
    for (const auto& plugin : plugins) {
        std::string key = "plugin_" + plugin.first;
        for (char& c : key) {
            if (c == ' ' || c == '-' || c == '.') c = '_';
        }
        props[key] = plugin.second;
    }
    track(EventType::INSTALLATION_DIAGNOSTICS, props);
    std::cout << "[ANALYTICS] Queued diagnostics for " << pluginCount << " plugins" << std::endl;
}

void trackDownloadError(const std::string& url, int httpCode, const std::string& curlError) {
    std::map<std::string, std::string> props;
    std::string::size_type scheme = url.find("://");
    if (scheme != std::string::npos) {
        std::string::size_type slash = url.find('/', scheme + 3);
        if (slash != std::string::npos) props["domain"] = url.substr(scheme + 3, slash - scheme - 3);
    }
    props["http_code"] = std::to_string(httpCode);
    props["curl_error"] = cut(curlError, 200);
    track(EventType::DOWNLOAD_ERROR, props);
}

void trackAuthorizationError(int code, const std::string& message) {
    track(EventType::AUTHORIZATION_ERROR, {{"error_code", std::to_string(code)}, {"error_message", cut(message, 200)}});
}

void trackManifestError(const std::string& errorType, const std::string& message) {
    track(EventType::MANIFEST_LOAD_ERROR, {{"error_type", errorType}, {"error_message", cut(message, 500)}});
}

void trackComponentError(const std::string& component, const std::string& errorType, const std::string& message) {
    track(EventType::COMPONENT_ERROR, {{"component", component}, {"error_type", errorType}, {"error_message", message}});
}

bool isEnabled() {
    Lease client;
    return client && client->isEnabled();
}

void setEnabled(bool enabled) {
    {
        Lease client;
        if (client) client->setEnabled(enabled);
    }
    std::cout << "[ANALYTICS] Analytics " << (enabled ? "enabled" : "disabled") << std::endl;
}

std::string getDistinctId() {
    Lease client;
    return client ? client->getDistinctId() : "";
}

void flush(int timeoutMs) {
    Lease client;
    if (!client) return;
    std::cout << "[ANALYTICS] Flushing pending events..." << std::endl;
    client->flush(timeoutMs);
    std::cout << "[ANALYTICS] Flush complete" << std::endl;
}

void installCrashHandler(const std::string& dir) {
    Lease client;
    if (!client) {
        std::cerr << "[ANALYTICS] Cannot install crash handler - not initialized" << std::endl;
        return;
    }
    std::cout << "[ANALYTICS] Installing crash handler..." << std::endl;
    client->installCrashHandler(dir.empty() ? InstallerConfig::Paths::CRASH_REPORTS_DIR : dir);
}

}  // namespace InstallerAnalytics
