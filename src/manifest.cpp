#include "manifest.h"

#include <curl/curl.h>

#include "bridge.h"
#include "installer_analytics.h"
#include "installer_config.h"
#include "installer_download.h"
#include "text_escape.h"

#include <chrono>
#include <iostream>
#include <thread>

// Never destroyed: a detached manifest worker may still store into them
// while the process exits.
std::string& g_manifestJson = *new std::string;
std::mutex& g_manifestJsonMutex = *new std::mutex;

namespace {

std::string g_manifestUrlOverride;
long g_httpTimeoutSeconds = 30;

std::string manifestUrl() {
    if (!g_manifestUrlOverride.empty()) return g_manifestUrlOverride;
    return InstallerConfig::MANIFEST_URL;
}

}  // namespace

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
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, g_httpTimeoutSeconds);
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

void getUrlsWithGitHubFallback(const nlohmann::json& manifest, const std::string& urlKey, const std::string& version,
                               std::string& githubUrl, std::string& primaryUrl) {
    githubUrl.clear();
    primaryUrl.clear();
    const std::string::size_type suffix = urlKey.rfind("_url");
    const std::string githubKey = suffix == std::string::npos ? urlKey : urlKey.substr(0, suffix) + "_github_url";
    if (!manifest.is_object()) return;
    if (manifest.contains(githubKey)) {
        githubUrl = substituteVersionInUrl(manifest[githubKey].get<std::string>(), version);
        std::cout << "[URL] GitHub URL available: " << escapeForLog(githubUrl) << std::endl;
    }
    if (manifest.contains(urlKey)) {
        primaryUrl = substituteVersionInUrl(manifest[urlKey].get<std::string>(), version);
        std::cout << "[URL] Fallback URL: " << escapeForLog(primaryUrl) << std::endl;
    }
}

void loadManifest_cb(const char* seq, const char*, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    std::cout << "[loadManifest] Called, launching background thread..." << std::endl;
    if (!startWorker(loadManifestThreadFunc, new ManifestLoadContext{w}, "[loadManifest]")) {
        answerCall(w, seq, 1, "{\"success\":false,\"error\":\"Failed to start manifest loading\"}");
        return;
    }
    std::cout << "[loadManifest] Background thread launched, UI remains responsive" << std::endl;
    answerCall(w, seq, 0, "{\"success\":true,\"message\":\"Loading manifest in background\"}");
}

void setManifestUrlForTesting(const std::string& url) { g_manifestUrlOverride = url; }
void setHttpTimeoutForTesting(long seconds) { g_httpTimeoutSeconds = seconds; }
