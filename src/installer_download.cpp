#include "installer_download.h"

#include <curl/curl.h>
#include <zip.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "installer_analytics.h"
#include "installer_config.h"
#include "installer_download_internal.h"
#include "installer_extract.h"
#include "installer_utils.h"


namespace {

// ---------------------------------------------------------------------------
// Tunables. The product values are fixed; the test build can change them.

constexpr long kStallSeconds = 60;
constexpr long kProbeConnectSeconds = 10;
constexpr long kRedirectProbeTotalSeconds = 15;
constexpr long kExistsProbeTotalSeconds = 30;
constexpr long kMaxRedirects = 30;  // the limit newer libcurl has by default
constexpr int kMaxParts = 100;
constexpr size_t kCopyBufferSize = 1048576;
constexpr long kReceiveBufferSize = 512 * 1024;
constexpr double kBytesPerMB = 1048576.0;

const char* const kGitHubHost = "github.com";
const char* const kGitHubRawHost = "raw.githubusercontent.com";
const char* const kHuggingFaceHost = "huggingface.co";

#ifdef ZRVK_TESTING
long g_stallSeconds = kStallSeconds;
long g_probeConnectSeconds = kProbeConnectSeconds;
long g_redirectProbeTotalSeconds = kRedirectProbeTotalSeconds;
long g_existsProbeTotalSeconds = kExistsProbeTotalSeconds;
bool g_prefixesOverridden = false;
std::vector<std::string> g_prefixOverride;
bool g_mirrorOverridden = false;
std::string g_mirrorOverride;
std::string g_tempBaseOverride;
std::string g_protocolsOverride;
std::string g_certificateAuthority;
long stallSeconds() { return g_stallSeconds; }
long probeConnectSeconds() { return g_probeConnectSeconds; }
long redirectProbeTotalSeconds() { return g_redirectProbeTotalSeconds; }
long existsProbeTotalSeconds() { return g_existsProbeTotalSeconds; }
#else
long stallSeconds() { return kStallSeconds; }
long probeConnectSeconds() { return kProbeConnectSeconds; }
long redirectProbeTotalSeconds() { return kRedirectProbeTotalSeconds; }
long existsProbeTotalSeconds() { return kExistsProbeTotalSeconds; }
#endif

const std::string& huggingFaceMirrorHost() {
#ifdef ZRVK_TESTING
    if (g_mirrorOverridden) return g_mirrorOverride;
#endif
    return InstallerConfig::HF_MIRROR_HOST;
}

const std::string& transferProtocols() {
#ifdef ZRVK_TESTING
    if (!g_protocolsOverride.empty()) return g_protocolsOverride;
#endif
    return InstallerConfig::TRANSFER_PROTOCOLS;
}

std::string temporaryBase() {
#ifdef ZRVK_TESTING
    if (!g_tempBaseOverride.empty()) return g_tempBaseOverride;
#endif
    return getTempDirectory();
}

std::string statusPrefix(const std::string& label) { return label.empty() ? std::string() : label + ": "; }

std::string formatMB(double bytes) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << bytes / kBytesPerMB;
    return s.str();
}

void removeFile(const std::string& path) { std::remove(path.c_str()); }

// The one place a failed archive download is reported (HTTP code always 0).
void reportDownloadError(const std::string& url, const std::string& reason) {
    InstallerAnalytics::trackDownloadError(url, 0, reason);
}

// ---------------------------------------------------------------------------
// Platform differences of the private temporary folder.

#ifdef _WIN32

bool makePrivateDirectory(const std::string& base, std::string& made) {
    // TEMP is already per user; a fresh, unguessable name keeps runs apart.
    LARGE_INTEGER counter;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QueryPerformanceCounter(&counter);
        char name[64];
        std::snprintf(name, sizeof name, "/zorvik_installer_%08lx%08lx", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(counter.LowPart ^ (attempt * 2654435761u)));
        std::string candidate = base + name;
        if (_mkdir(candidate.c_str()) == 0) {
            made = candidate;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

void removeEmptyDirectory(const std::string& path) { _rmdir(path.c_str()); }

#else

bool makePrivateDirectory(const std::string& base, std::string& made) {
    std::string templ = base + "/zorvik_installer_XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return false;  // mkdtemp makes it 0700
    made = buf.data();
    return true;
}

void removeEmptyDirectory(const std::string& path) { rmdir(path.c_str()); }

#endif

// This run's private folder. A detached worker may still use the record while
// the process exits, so it is never destroyed; the folder goes at exit when
// nothing is left in it.
struct RunTempDirectory {
    std::mutex mutex;
    std::string path;
    std::string base;
};
RunTempDirectory& g_runTemp = *new RunTempDirectory;

struct RunTempCleanup {
    ~RunTempCleanup() {
        std::lock_guard<std::mutex> lock(g_runTemp.mutex);
        if (g_runTemp.path.empty()) return;
        removeEmptyDirectory(g_runTemp.path + "/zorvik_multipart");
        removeEmptyDirectory(g_runTemp.path);
    }
} g_runTempCleanup;

// ---------------------------------------------------------------------------
// ZIP helpers.

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

// ---------------------------------------------------------------------------
// Source attempts.

// One attempt on one source: a 200 answer that is not a ZIP archive counts as
// a failed source, so the caller moves on to the next one.
bool attemptSource(const std::string& attemptUrl, const std::string& tempPath, const std::string& label,
                   const ProgressFn& progress, const StatusFn& status) {
    if (!downloadToFile(attemptUrl, tempPath, label, progress, status)) return false;
    if (!isUsableZipArchive(tempPath)) {
        std::cerr << "[download] Not a ZIP archive: " << attemptUrl << std::endl;
        removeFile(tempPath);
        return false;
    }
    return true;
}

// True when a part file can be the start of a ZIP archive.
bool startsLikeZip(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char magic[2] = {0, 0};
    return in.read(magic, 2) && magic[0] == 'P' && magic[1] == 'K';
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size()) return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// A later part is a plain byte slice, so any first byte is possible; only a
// page (declared as HTML, or opening with markup) marks a failed source. A
// lone "<" is not enough: one part in 256 would start with it.
bool isWebPage(const std::string& path, const std::string& contentType) {
    if (startsWithNoCase(contentType, "text/html")) return true;
    std::ifstream in(path, std::ios::binary);
    char head[64] = {};
    in.read(head, sizeof head);
    std::string start(head, static_cast<size_t>(in.gcount()));
    start.erase(0, start.find_first_not_of(" \t\r\n"));
    for (const char* markup : {"<!doctype", "<html", "<head", "<body", "<?xml", "<!--"})
        if (startsWithNoCase(start, markup)) return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Proxy list.

const ProxyPrefixList GITHUB_PROXY_PREFIXES;

const std::vector<std::string>& ProxyPrefixList::list() const {
#ifdef ZRVK_TESTING
    if (g_prefixesOverridden) return g_prefixOverride;
#endif
    // Never destroyed: a detached download may still read it at exit.
    static const std::vector<std::string>& prefixes = *[] {
        auto* p = new std::vector<std::string>{""};
        for (const std::string& host : InstallerConfig::GITHUB_PROXY_HOSTS) p->push_back("https://" + host + "/");
        return p;
    }();
    return prefixes;
}

// ---------------------------------------------------------------------------
// Private temporary folder.

std::string getRunTempDirectory() {
    std::lock_guard<std::mutex> lock(g_runTemp.mutex);
    std::string base = temporaryBase();
    if (!g_runTemp.path.empty() && g_runTemp.base == base && pathExists(g_runTemp.path)) return g_runTemp.path;
    if (!g_runTemp.path.empty()) {
        removeEmptyDirectory(g_runTemp.path + "/zorvik_multipart");
        removeEmptyDirectory(g_runTemp.path);
    }
    g_runTemp.path.clear();
    createDirectory(base);
    std::string made;
    if (!makePrivateDirectory(base, made)) {
        std::cerr << "[download] Failed to create private temporary folder in: " << base << " (errno: " << errno
                  << ")" << std::endl;
        return std::string();
    }
    g_runTemp.path = made;
    g_runTemp.base = base;
    return made;
}

// ---------------------------------------------------------------------------
// HTTP transfers.

void setTransferOptions(CURL* curl, const std::string& url) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, transferProtocols().c_str());
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, transferProtocols().c_str());
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
#ifdef ZRVK_TESTING
    if (!g_certificateAuthority.empty()) {
        curl_blob blob{const_cast<char*>(g_certificateAuthority.data()), g_certificateAuthority.size(),
                       CURL_BLOB_COPY};
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
#endif
}

size_t writeCallback(void* data, size_t size, size_t nmemb, void* userdata) {
    auto* ctx = static_cast<DownloadContext*>(userdata);
    size_t n = size * nmemb;
    ctx->out->write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    // A short count makes libcurl stop with a write error: a download that
    // cannot be stored must not look complete.
    if (!*ctx->out) return 0;
    ctx->bytesWritten += n;
    return n;
}

int progressCallback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* ctx = static_cast<DownloadContext*>(clientp);
    if (dltotal < 10241) return 0;
    if (ctx->progress) ctx->progress(static_cast<uint64_t>(dlnow), static_cast<uint64_t>(dltotal));

    double nowMB = dlnow / kBytesPerMB;
    double totalMB = dltotal / kBytesPerMB;
    int32_t percent = static_cast<int32_t>(static_cast<int64_t>(dlnow) * 100 / static_cast<int64_t>(dltotal));
    std::string prefix = statusPrefix(ctx->label);

    if (ctx->lastLoggedPercent == -1 || percent >= ctx->lastLoggedPercent + 10) {
        std::ostringstream line;
        line << "[download] " << prefix << percent << "% (" << std::fixed << std::setprecision(1) << nowMB << "/"
             << totalMB << " MB)";
        std::cout << line.str() << std::endl;
        ctx->lastLoggedPercent = percent;
    }
    if (ctx->status) {
        char buf[256];
        std::snprintf(buf, sizeof buf, "%sDownloading %.1f / %.1f MB", prefix.c_str(), nowMB, totalMB);
        ctx->status(buf);
    }
    return 0;
}

bool downloadToFile(const std::string& url, const std::string& path, const std::string& label, ProgressFn progress,
                    StatusFn status, std::string* contentType) {
    if (contentType) contentType->clear();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        std::cerr << "[download] Failed to create temp file: " << path << std::endl;
        return false;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        std::cerr << "[download] Failed to initialize curl" << std::endl;
        out.close();
        return false;
    }

    DownloadContext ctx;
    ctx.out = &out;
    ctx.progress = std::move(progress);
    ctx.status = std::move(status);
    ctx.bytesWritten = 0;
    ctx.label = label;
    ctx.lastLoggedPercent = -1;

    const long stall = stallSeconds();
    setTransferOptions(curl, url);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall);
    // Larger reads mean far fewer system calls for archives of hundreds of MB.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);

    CURLcode res = curl_easy_perform(curl);
    out.close();
    const bool stored = !out.fail();

    if (res != CURLE_OK) {
        curl_off_t size = 0, timeUs = 0, speed = 0;
        curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &size);
        curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &timeUs);
        curl_easy_getinfo(curl, CURLINFO_SPEED_DOWNLOAD_T, &speed);
        std::ostringstream line;
        line << "[download] Failed: " << curl_easy_strerror(res) << " (downloaded: " << formatMB(double(size))
             << " MB" << ", time: " << (timeUs / 1000000) << "s" << ", speed: " << formatMB(double(speed))
             << " MB/s" << ", stall_timeout: " << stall << "s)";
        std::cerr << line.str() << std::endl;
        curl_easy_cleanup(curl);
        removeFile(path);
        return false;
    }

    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (contentType) {
        char* type = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) *contentType = type;
    }
    curl_easy_cleanup(curl);
    if (code != 200) {
        std::cerr << "[download] HTTP error: " << code << std::endl;
        removeFile(path);
        return false;
    }
    if (!stored) {
        std::cerr << "[download] Failed to write temp file: " << path << std::endl;
        removeFile(path);
        return false;
    }
    return true;
}

std::string getFirstRedirectUrl(const std::string& url) {
    CURL* curl = curl_easy_init();
    if (!curl) return url;
    setTransferOptions(curl, url);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, probeConnectSeconds());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, redirectProbeTotalSeconds());

    std::string result = url;
    if (curl_easy_perform(curl) == CURLE_OK) {
        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 300 && code <= 399) {
            char* location = nullptr;
            curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
            if (location && *location) {
                result = location;
                std::cout << "[download] First redirect: " << result << std::endl;
            }
        }
    }
    curl_easy_cleanup(curl);
    return result;
}

bool checkUrlExists(const std::string& url) {
    CURL* curl = curl_easy_init();
    if (!curl) {
        std::cerr << "[checkUrlExists] Failed to initialize curl" << std::endl;
        return false;
    }
    setTransferOptions(curl, url);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, probeConnectSeconds());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, existsProbeTotalSeconds());

    CURLcode res = curl_easy_perform(curl);
    if (res != CURLE_OK) {
        std::cout << "[checkUrlExists] Request failed: " << curl_easy_strerror(res) << std::endl;
        curl_easy_cleanup(curl);
        return false;
    }
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    std::cout << "[checkUrlExists] " << url << " -> " << code << std::endl;
    return code == 200;
}

// ---------------------------------------------------------------------------
// Source selection and mirrors.

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

bool downloadAndExtractZip(const std::string& url, const std::string& destDir, const std::string& label,
                           ProgressFn progress, StatusFn status) {
    std::cout << "[downloadAndExtractZip] Downloading from: " << url << " to " << destDir << std::endl;

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
    auto attempt = [&](const std::string& attemptUrl) {
        return attemptSource(attemptUrl, tempPath, label, downloadProgress, status);
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
            std::cout << "[download] Failed, trying next mirror..." << std::endl;
        }
        if (!downloaded) {
            std::cerr << "[downloadAndExtractZip] All download attempts failed" << std::endl;
            reportDownloadError(url, "All mirrors failed");
            return false;
        }
    } else if (isHuggingFaceUrl(url)) {
        std::cout << "[download] Trying direct HuggingFace connection..." << std::endl;
        send("Connecting...");
        downloaded = attempt(url);
        if (!downloaded) {
            std::string m = applyHuggingFaceMirror(url);
            std::cout << "[download] Trying HuggingFace mirror: " << huggingFaceMirrorHost() << std::endl;
            send("Trying mirror...");
            downloaded = attempt(m);
            if (downloaded) std::cout << "[download] Success via HuggingFace mirror" << std::endl;
        }
        if (!downloaded) {
            std::cerr << "[downloadAndExtractZip] All HuggingFace download attempts failed" << std::endl;
            reportDownloadError(url, "All HuggingFace mirrors failed");
            return false;
        }
    } else {
        send("Connecting...");
        std::string r = getFirstRedirectUrl(url);
        if (isHuggingFaceUrl(r)) {
            std::cout << "[download] Detected HuggingFace redirect, trying direct first..." << std::endl;
            downloaded = attempt(url);
            if (!downloaded) {
                std::string m = applyHuggingFaceMirror(r);
                std::cout << "[download] Trying HuggingFace mirror: " << m << std::endl;
                send("Trying mirror...");
                downloaded = attempt(m);
                if (downloaded) std::cout << "[download] Success via HuggingFace mirror" << std::endl;
            }
            if (!downloaded) {
                reportDownloadError(url, "HuggingFace redirect failed");
                return false;
            }
        } else if (isGitHubUrl(r)) {
            std::cout << "[download] Detected GitHub redirect" << std::endl;
            downloaded = attempt(url);
            if (!downloaded) {
                for (const std::string& p : GITHUB_PROXY_PREFIXES) {
                    if (p.empty()) continue;
                    std::cout << "[download] Trying GitHub proxy: " << p << std::endl;
                    send("Trying mirror...");
                    if (attempt(p + r)) {
                        std::cout << "[download] Success via GitHub proxy" << std::endl;
                        downloaded = true;
                        break;
                    }
                }
            }
            if (!downloaded) {
                reportDownloadError(url, "GitHub redirect failed");
                return false;
            }
        } else {
            downloaded = attempt(url);
            if (!downloaded) {
                reportDownloadError(url, "Download failed");
                return false;
            }
        }
    }

    std::cout << "[downloadAndExtractZip] Download complete, extracting..." << std::endl;
    ProgressFn extractProgress;
    if (progress) {
        extractProgress = [progress](uint64_t done, uint64_t total) {
            if (total == 0) return;
            progress(static_cast<uint64_t>((0.7 + double(done) / double(total) * 0.3) * 1000), 1000);
        };
    }
    send("Extracting...");
    bool ok = extractZip(tempPath, destDir, extractProgress, status);
    removeFile(tempPath);
    if (ok) {
        send("Complete");
        std::cout << "[downloadAndExtractZip] Extraction complete" << std::endl;
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Multi-part archives.

std::string appendPartSuffix(const std::string& url, const std::string& suffix) {
    size_t cut = url.find_first_of("?#");
    if (cut == std::string::npos) return url + suffix;
    return url.substr(0, cut) + suffix + url.substr(cut);
}

std::vector<std::string> detectMultiPartUrls(const std::string& url, StatusFn status) {
    std::cout << "[detectMultiPart] Checking if " << url << " is multi-part..." << std::endl;
    if (status) status("Detecting download format...");

    std::string r = getFirstRedirectUrl(url);
    if (r != url) std::cout << "[detectMultiPart] Resolved redirect: " << r << std::endl;

    if (!checkUrlExists(appendPartSuffix(r, ".000"))) {
        std::cout << "[detectMultiPart] Single file detected" << std::endl;
        return {url};
    }
    std::cout << "[detectMultiPart] Multi-part file detected" << std::endl;

    std::vector<std::string> parts;
    for (int i = 0;; ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%03u", static_cast<unsigned>(i) % 1000u);  // i stays below 100
        std::string p = appendPartSuffix(r, suffix);
        if (!checkUrlExists(p)) {
            std::cout << "[detectMultiPart] Part " << i << " not found, total parts: " << i << std::endl;
            break;
        }
        parts.push_back(p);
        std::cout << "[detectMultiPart] Found part " << i << ": " << p << std::endl;
        if (i >= kMaxParts - 1) {
            std::cerr << "[detectMultiPart] Too many parts (>99), stopping" << std::endl;
            break;
        }
    }
    if (parts.empty()) {
        std::cerr << "[detectMultiPart] First part existed but no parts found, falling back to single file"
                  << std::endl;
        return {url};
    }
    return parts;
}

bool concatenateParts(const std::vector<std::string>& partPaths, const std::string& outputPath) {
    std::cout << "[concatenate] Combining " << partPaths.size() << " parts into " << outputPath << std::endl;
    std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        std::cerr << "[concatenate] Failed to create output file: " << outputPath << std::endl;
        return false;
    }
    std::vector<char> buffer(kCopyBufferSize, 0);
    uint64_t total = 0;
    auto fail = [&](const std::string& line) {
        std::cerr << line << std::endl;
        out.close();
        removeFile(outputPath);
        return false;
    };
    for (size_t j = 0; j < partPaths.size(); ++j) {
        std::ifstream in(partPaths[j], std::ios::binary);
        if (!in.is_open()) return fail("[concatenate] Failed to open part file: " + partPaths[j]);
        while (in.good()) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            std::streamsize n = in.gcount();
            if (n > 0) {
                out.write(buffer.data(), n);
                if (!out) return fail("[concatenate] Failed to write output file: " + outputPath);
                total += static_cast<uint64_t>(n);
            }
        }
        // eof is the normal end; bad means the part could not be read whole.
        if (in.bad()) return fail("[concatenate] Failed to read part file: " + partPaths[j]);
        in.close();
        std::cout << "[concatenate] Part " << (j + 1) << "/" << partPaths.size() << " complete" << std::endl;
    }
    out.close();
    if (out.fail()) {
        std::cerr << "[concatenate] Failed to write output file: " << outputPath << std::endl;
        removeFile(outputPath);
        return false;
    }
    std::cout << "[concatenate] Total: " << (total / 1048576) << " MB" << std::endl;
    return true;
}

bool downloadMultiPartAndExtractZip(const std::vector<std::string>& partUrls, const std::string& destDir,
                                    const std::string& label, ProgressFn progress, StatusFn status) {
    if (partUrls.empty()) {
        std::cerr << "[downloadMultiPart] No URLs provided" << std::endl;
        return false;
    }
    const size_t n = partUrls.size();
    std::cout << "[downloadMultiPart] Downloading " << n << " parts for " << label << std::endl;

    const std::string prefix = statusPrefix(label);
    auto send = [&](const std::string& text) {
        if (status) status(prefix + text);
    };
    const std::string workDir = getRunTempDirectory();
    if (workDir.empty()) return false;
    const std::string folder = workDir + "/zorvik_multipart";
    createDirectory(folder);

    std::vector<std::string> partPaths;
    auto removeParts = [&] {
        for (const std::string& p : partPaths) removeFile(p);
    };
    for (size_t i = 0; i < n; ++i) {
        partPaths.push_back(folder + "/part_" + std::to_string(i));
        const std::string& partPath = partPaths.back();
        const std::string& partUrl = partUrls[i];
        std::cout << "[downloadMultiPart] Downloading part " << (i + 1) << "/" << n << ": " << partUrl << std::endl;
        if (status) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "%sDownloading part %zu/%zu...", prefix.c_str(), i + 1, n);
            status(buf);
        }
        ProgressFn partProgress;
        if (progress) {
            partProgress = [progress, i, n](uint64_t done, uint64_t total) {
                if (total == 0) return;
                double v = (double(i) + double(done) / double(total)) / double(n) * 0.6 * 1000;
                progress(static_cast<uint64_t>(v), 1000);
            };
        }
        // The first part must open a ZIP archive, and no part may be an error
        // page answered with 200: either counts as a failed source.
        auto attempt = [&](const std::string& u) {
            std::string contentType;
            if (!downloadToFile(u, partPath, label, partProgress, status, &contentType)) return false;
            if (i == 0 ? !startsLikeZip(partPath) : isWebPage(partPath, contentType)) {
                std::cerr << "[download] Not a ZIP archive: " << u << std::endl;
                removeFile(partPath);
                return false;
            }
            return true;
        };
        bool ok = attempt(partUrl);
        if (!ok && isGitHubUrl(partUrl)) {
            for (const std::string& p : GITHUB_PROXY_PREFIXES) {
                if (p.empty()) continue;
                std::cout << "[downloadMultiPart] Trying proxy: " << p << std::endl;
                send("Trying mirror...");
                if (attempt(p + partUrl)) {
                    ok = true;
                    break;
                }
            }
        }
        if (!ok) {
            std::cerr << "[downloadMultiPart] Failed to download part " << (i + 1) << std::endl;
            removeParts();
            return false;
        }
    }

    if (progress) progress(600, 1000);
    std::cout << "[downloadMultiPart] All parts downloaded, concatenating..." << std::endl;
    send("Combining parts...");
    const std::string combined = folder + "/combined.zip";
    if (!concatenateParts(partPaths, combined)) {
        std::cerr << "[downloadMultiPart] Failed to concatenate parts" << std::endl;
        removeParts();
        return false;
    }
    removeParts();
    if (progress) progress(700, 1000);

    std::cout << "[downloadMultiPart] Extracting combined ZIP..." << std::endl;
    send("Extracting...");
    ProgressFn extractProgress;
    if (progress) {
        extractProgress = [progress](uint64_t done, uint64_t total) {
            if (total == 0) return;
            progress(static_cast<uint64_t>((0.7 + double(done) / double(total) * 0.3) * 1000), 1000);
        };
    }
    bool ok = extractZip(combined, destDir, extractProgress, status);
    removeFile(combined);
    if (ok) {
        send("Complete");
        std::cout << "[downloadMultiPart] Multi-part download and extraction complete" << std::endl;
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Test seams.

#ifdef ZRVK_TESTING
namespace DeliveryTesting {

void setGitHubProxyPrefixes(const std::vector<std::string>& prefixes) {
    g_prefixOverride = prefixes;
    g_prefixesOverridden = true;
}
void setHuggingFaceMirrorHost(const std::string& host) {
    g_mirrorOverride = host;
    g_mirrorOverridden = true;
}
void setStallSeconds(long seconds) { g_stallSeconds = seconds; }
void setProbeTimeouts(long connectSeconds, long redirectTotalSeconds, long existsTotalSeconds) {
    g_probeConnectSeconds = connectSeconds;
    g_redirectProbeTotalSeconds = redirectTotalSeconds;
    g_existsProbeTotalSeconds = existsTotalSeconds;
}
void setTempDirectory(const std::string& dir) { g_tempBaseOverride = dir; }
void setTransferProtocols(const std::string& protocols) { g_protocolsOverride = protocols; }
void setCertificateAuthority(const std::string& pem) { g_certificateAuthority = pem; }
void reset() {
    g_prefixesOverridden = false;
    g_prefixOverride.clear();
    g_mirrorOverridden = false;
    g_mirrorOverride.clear();
    g_stallSeconds = kStallSeconds;
    g_probeConnectSeconds = kProbeConnectSeconds;
    g_redirectProbeTotalSeconds = kRedirectProbeTotalSeconds;
    g_existsProbeTotalSeconds = kExistsProbeTotalSeconds;
    g_tempBaseOverride.clear();
    g_protocolsOverride.clear();
    g_certificateAuthority.clear();
    resetExtraction();
}

}  // namespace DeliveryTesting
#endif
