// Source selection: GitHub addresses go direct, then through each proxy;
// Hugging Face addresses go direct, then to the mirror; any other address
// is probed for a first redirect to either, and otherwise fetched once.
#include "installer_sources.h"

#include <zip.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "installer_analytics.h"
#include "installer_config.h"
#include "installer_transfer.h"
#include "text_escape.h"

namespace {

const char* const kGitHubHost = "github.com";
const char* const kGitHubRawHost = "raw.githubusercontent.com";
const char* const kHuggingFaceHost = "huggingface.co";

// Tests replace the configured proxies and mirror (DeliveryTesting).
bool g_prefixesOverridden = false;
std::vector<std::string> g_prefixOverride;
bool g_mirrorOverridden = false;
std::string g_mirrorOverride;

const std::string& huggingFaceMirrorHost() {
    if (g_mirrorOverridden) return g_mirrorOverride;
    return InstallerConfig::HF_MIRROR_HOST;
}

// The one place a failed archive download is reported (HTTP code always 0).
void reportDownloadError(const std::string& url, const std::string& reason) {
    InstallerAnalytics::trackDownloadError(url, 0, reason);
}

// Cheap check that a downloaded file is a ZIP archive libzip can open.
bool isUsableZipArchive(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    std::streamoff size = in.tellg();
    if (size < 22) return false;
    in.seekg(0);
    char magic[2] = {0, 0};
    if (!in.read(magic, 2) || magic[0] != 'P' || magic[1] != 'K') return false;
    in.close();
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_RDONLY, &err);
    if (!za) return false;
    zip_discard(za);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Proxies and mirror.

const ProxyPrefixList GITHUB_PROXY_PREFIXES;

const std::vector<std::string>& ProxyPrefixList::list() const {
    if (g_prefixesOverridden) return g_prefixOverride;
    // Never destroyed: a detached download may still read it at exit.
    static const std::vector<std::string>& prefixes = *[] {
        auto* p = new std::vector<std::string>{""};
        for (const std::string& host : InstallerConfig::GITHUB_PROXY_HOSTS) p->push_back("https://" + host + "/");
        return p;
    }();
    return prefixes;
}

bool isGitHubUrl(const std::string& url) {
    return url.find(kGitHubHost) != std::string::npos || url.find(kGitHubRawHost) != std::string::npos;
}

bool isHuggingFaceUrl(const std::string& url) { return url.find(kHuggingFaceHost) != std::string::npos; }

std::string applyHuggingFaceMirror(const std::string& url) {
    std::string result = url;
    size_t pos = result.find(kHuggingFaceHost);
    if (pos != std::string::npos) result.replace(pos, std::strlen(kHuggingFaceHost), huggingFaceMirrorHost());
    return result;
}

// ---------------------------------------------------------------------------
// Attempts.

bool attemptSource(const std::string& attemptUrl, const std::string& path, const std::string& label,
                   const ProgressFn& progress, const StatusFn& status, const SourceCheck& usable, bool& noRoom,
                   DownloadRoom* room) {
    std::string contentType;
    if (!downloadToFile(attemptUrl, path, label, progress, status, &contentType, &noRoom, room)) return false;
    if (!usable(path, contentType)) {
        // The address may be built on a redirect target, which a server chose.
        std::cerr << "[download] Not a ZIP archive: " << escapeForLog(attemptUrl) << std::endl;
        removeFile(path);
        return false;
    }
    return true;
}

bool attemptThroughProxies(const std::string& url, const std::string& trying, const StatusFn& send,
                           const std::function<bool(const std::string&)>& attempt, const bool& noRoom) {
    for (const std::string& p : GITHUB_PROXY_PREFIXES) {
        if (noRoom) return false;
        if (p.empty()) continue;
        std::cout << trying << p << std::endl;
        send("Trying mirror...");
        if (attempt(p + url)) return true;
    }
    return false;
}

bool unpackDownload(const std::string& archivePath, const std::string& destDir, const std::string& label,
                    const ProgressFn& progress, const StatusFn& status) {
    const std::string prefix = statusPrefix(label);
    ProgressFn extractProgress;
    if (progress) {
        extractProgress = [progress](uint64_t done, uint64_t total) {
            if (total == 0) return;
            progress(static_cast<uint64_t>((0.7 + double(done) / double(total) * 0.3) * 1000), 1000);
        };
    }
    if (status) status(prefix + "Extracting...");
    const bool ok = extractZip(archivePath, destDir, extractProgress, status);
    removeFile(archivePath);
    if (ok && status) status(prefix + "Complete");
    return ok;
}

// ---------------------------------------------------------------------------
// One archive from its best source.

bool downloadAndExtractZip(const std::string& url, const std::string& destDir, const std::string& label,
                           ProgressFn progress, StatusFn status) {
    std::cout << "[downloadAndExtractZip] Downloading from: " << escapeForLog(url) << " to " << destDir << std::endl;

    const std::string workDir = getRunTempDirectory();
    if (workDir.empty()) return false;
    const std::string tempPath = workDir + "/zorvik_installer_download.zip";
    const std::string prefix = statusPrefix(label);
    auto send = [&](const std::string& text) {
        if (status) status(prefix + text);
    };
    ProgressFn downloadProgress;
    if (progress) {
        downloadProgress = [progress](uint64_t done, uint64_t total) {
            if (total == 0) return;
            progress(static_cast<uint64_t>(double(done) / double(total) * 0.7 * 1000), 1000);
        };
    }
    const SourceCheck isArchive = [](const std::string& path, const std::string&) { return isUsableZipArchive(path); };
    bool noRoom = false;
    auto attempt = [&](const std::string& attemptUrl) {
        return attemptSource(attemptUrl, tempPath, label, downloadProgress, status, isArchive, noRoom);
    };
    // Every source failed (line, when given, says so), or the disk had no
    // room for the first that answered.
    auto giveUp = [&](const char* reason, const char* line = nullptr) {
        if (noRoom) {
            std::cerr << "[downloadAndExtractZip] Not enough disk space, no other source is tried" << std::endl;
        } else if (line) {
            std::cerr << line << std::endl;
        }
        reportDownloadError(url, noRoom ? "Not enough disk space" : reason);
        return false;
    };
    // The Hugging Face mirror once the direct attempt failed; shown is what the log names.
    auto attemptMirror = [&](const std::string& mirrored, const std::string& shown) {
        std::cout << "[download] Trying HuggingFace mirror: " << shown << std::endl;
        send("Trying mirror...");
        const bool ok = attempt(mirrored);
        if (ok) std::cout << "[download] Success via HuggingFace mirror" << std::endl;
        return ok;
    };

    bool downloaded = false;
    if (isGitHubUrl(url)) {
        for (const std::string& p : GITHUB_PROXY_PREFIXES) {
            if (p.empty()) {
                std::cout << "[download] Trying direct connection..." << std::endl;
                send("Connecting...");
            } else {
                std::cout << "[download] Trying proxy: " << p << std::endl;
                send("Trying mirror...");
            }
            if (attempt(p + url)) {
                if (!p.empty()) std::cout << "[download] Success via proxy: " << p << std::endl;
                downloaded = true;
                break;
            }
            if (noRoom) break;
            std::cout << "[download] Failed, trying next mirror..." << std::endl;
        }
        if (!downloaded) return giveUp("All mirrors failed", "[downloadAndExtractZip] All download attempts failed");
    } else if (isHuggingFaceUrl(url)) {
        std::cout << "[download] Trying direct HuggingFace connection..." << std::endl;
        send("Connecting...");
        downloaded = attempt(url);
        if (!downloaded && !noRoom) downloaded = attemptMirror(applyHuggingFaceMirror(url), huggingFaceMirrorHost());
        if (!downloaded)
            return giveUp("All HuggingFace mirrors failed",
                          "[downloadAndExtractZip] All HuggingFace download attempts failed");
    } else {
        send("Connecting...");
        std::string r = getFirstRedirectUrl(url);
        if (isHuggingFaceUrl(r)) {
            std::cout << "[download] Detected HuggingFace redirect, trying direct first..." << std::endl;
            downloaded = attempt(url);
            if (!downloaded && !noRoom) {
                const std::string m = applyHuggingFaceMirror(r);
                downloaded = attemptMirror(m, escapeForLog(m));
            }
            if (!downloaded) return giveUp("HuggingFace redirect failed");
        } else if (isGitHubUrl(r)) {
            std::cout << "[download] Detected GitHub redirect" << std::endl;
            downloaded = attempt(url);
            if (!downloaded) {
                downloaded = attemptThroughProxies(r, "[download] Trying GitHub proxy: ", send, attempt, noRoom);
                if (downloaded) std::cout << "[download] Success via GitHub proxy" << std::endl;
            }
            if (!downloaded) return giveUp("GitHub redirect failed");
        } else {
            downloaded = attempt(url);
            if (!downloaded) return giveUp("Download failed");
        }
    }

    std::cout << "[downloadAndExtractZip] Download complete, extracting..." << std::endl;
    const bool ok = unpackDownload(tempPath, destDir, label, progress, status);
    if (ok) std::cout << "[downloadAndExtractZip] Extraction complete" << std::endl;
    return ok;
}

// ---------------------------------------------------------------------------
// Test seams.

namespace DeliveryTesting {

void setGitHubProxyPrefixes(const std::vector<std::string>& prefixes) {
    g_prefixOverride = prefixes;
    g_prefixesOverridden = true;
}
void setHuggingFaceMirrorHost(const std::string& host) {
    g_mirrorOverride = host;
    g_mirrorOverridden = true;
}
void resetSources() {
    g_prefixesOverridden = false;
    g_prefixOverride.clear();
    g_mirrorOverridden = false;
    g_mirrorOverride.clear();
}

}  // namespace DeliveryTesting
