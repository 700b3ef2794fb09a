// Pieces of the delivery module that only the module itself and its tests use.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "installer_download.h"

struct DownloadContext {
    std::ostream* out = nullptr;
    ProgressFn progress;
    StatusFn status;
    uint64_t bytesWritten = 0;
    std::string label;
    int32_t lastLoggedPercent = -1;
};

size_t writeCallback(void* data, size_t size, size_t nmemb, void* userdata);
int progressCallback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);

// contentType, when given, receives the answer's Content-Type ("" if none).
bool downloadToFile(const std::string& url, const std::string& path, const std::string& label, ProgressFn progress,
                    StatusFn status, std::string* contentType = nullptr);
std::string getFirstRedirectUrl(const std::string& url);

bool isGitHubUrl(const std::string& url);
bool isHuggingFaceUrl(const std::string& url);
std::string applyHuggingFaceMirror(const std::string& url);

bool concatenateParts(const std::vector<std::string>& partPaths, const std::string& outputPath);

// Whole percent of done out of total, in 64 bits (0 when total is 0).
uint64_t percentOf(uint64_t done, uint64_t total);

// url with suffix put at the end of its path, before any "?" or "#".
std::string appendPartSuffix(const std::string& url, const std::string& suffix);

// Direct first (""), then "https://" + host + "/" for each configured proxy.
// Built on first use, so the order of static initialisation never matters.
class ProxyPrefixList {
public:
    constexpr ProxyPrefixList() = default;
    const std::vector<std::string>& list() const;
    std::vector<std::string>::const_iterator begin() const { return list().begin(); }
    std::vector<std::string>::const_iterator end() const { return list().end(); }
    size_t size() const { return list().size(); }
    const std::string& operator[](size_t i) const { return list()[i]; }
};
extern const ProxyPrefixList GITHUB_PROXY_PREFIXES;
