// The manifest: fetched on a worker of its own and handed to the page, kept
// for the installation; and the download addresses read from it.
#pragma once

#include "webview.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <mutex>
#include <string>

// The raw text of the last manifest fetched; empty until one arrives.
extern std::string& g_manifestJson;
extern std::mutex& g_manifestJsonMutex;

struct ManifestLoadContext {
    webview_t webview;
};

size_t WriteCallback(void* data, size_t size, size_t nmemb, void* userp);
bool httpGet(const std::string& url, std::string& body, int maxAttempts);
void loadManifestThreadFunc(ManifestLoadContext* context);
void loadManifest_cb(const char* seq, const char* req, void* arg);
std::string substituteVersionInUrl(const std::string& url, const std::string& version);
void getUrlsWithGitHubFallback(const nlohmann::json& manifest, const std::string& urlKey, const std::string& version,
                               std::string& githubUrl, std::string& primaryUrl);

// Seams that the tests set: the manifest's address ("" = the configured one)
// and the whole fetch's time limit.
void setManifestUrlForTesting(const std::string& url);
void setHttpTimeoutForTesting(long seconds);
