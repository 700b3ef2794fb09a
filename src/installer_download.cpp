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
#include <memory>
#include <mutex>
#include <new>
#include <set>
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
constexpr size_t kExtractBlockSize = 256 * 1024;
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
// Platform differences of the extraction and the private temporary folder.

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

// An extracted file, written through the C runtime.
class OutputFile {
public:
    ~OutputFile() {
        if (f_) std::fclose(f_);
    }
    bool open(const std::string& path) {
        path_ = path;
        f_ = std::fopen(path.c_str(), "wb");
        return f_ != nullptr;
    }
    bool write(const char* data, size_t size) { return std::fwrite(data, 1, size, f_) == size; }
    bool close() {
        bool ok = std::fclose(f_) == 0;
        f_ = nullptr;
        return ok;
    }
    void discard() {
        if (f_) std::fclose(f_);
        f_ = nullptr;
        std::remove(path_.c_str());
    }

private:
    FILE* f_ = nullptr;
    std::string path_;
};

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

// An extracted file. O_NOFOLLOW: a link found at the target is never
// written through.
class OutputFile {
public:
    ~OutputFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open(const std::string& path) {
        path_ = path;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        return fd_ >= 0;
    }
    bool write(const char* data, size_t size) {
        while (size > 0) {
            ssize_t n = ::write(fd_, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    bool close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }
    void discard() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        unlink(path_.c_str());
    }

private:
    int fd_ = -1;
    std::string path_;
};

// Link entries become real links; errno is returned on failure (0 = made).
int makeSymlink(const std::string& linkTarget, const std::string& path) {
    unlink(path.c_str());
    if (symlink(linkTarget.c_str(), path.c_str()) != 0) return errno;
    return 0;
}

#endif

// Removes this run's folder at exit when nothing is left in it.
struct RunTempDirectory {
    std::mutex mutex;
    std::string path;
    std::string base;
    ~RunTempDirectory() {
        if (path.empty()) return;
        removeEmptyDirectory(path + "/zorvik_multipart");
        removeEmptyDirectory(path);
    }
};
RunTempDirectory g_runTemp;

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

// Reads a whole entry into buf (grown as needed) and reads on to the end so
// that libzip checks the entry's CRC.
bool readEntry(zip_t* za, zip_uint64_t index, zip_uint64_t size, std::unique_ptr<char[]>& buf, size_t& capacity) {
    if (size > static_cast<zip_uint64_t>(SIZE_MAX)) return false;
    if (size > capacity) {
        char* fresh = new (std::nothrow) char[static_cast<size_t>(size)];
        if (!fresh) return false;
        buf.reset(fresh);
        capacity = static_cast<size_t>(size);
    }
    zip_file_t* zf = zip_fopen_index(za, index, 0);
    if (!zf) return false;
    zip_uint64_t got = 0;
    bool ok = true;
    while (got < size) {
        zip_int64_t n = zip_fread(zf, buf.get() + got, size - got);
        if (n <= 0) {
            ok = false;
            break;
        }
        got += static_cast<zip_uint64_t>(n);
    }
    if (ok) {
        char extra;
        ok = zip_fread(zf, &extra, 1) == 0;
    }
    if (zip_fclose(zf) != 0) ok = false;
    return ok;
}

enum class EntryResult { Written, ReadFailed, OpenFailed, WriteFailed };

// Streams one entry into its file in blocks that stay in the CPU cache. An
// entry that fails to read (its CRC is checked at the end) or to write
// leaves no file behind.
EntryResult extractEntryToFile(zip_t* za, zip_uint64_t index, const std::string& target, char* buf, size_t size) {
    zip_file_t* zf = zip_fopen_index(za, index, 0);
    if (!zf) return EntryResult::ReadFailed;
    OutputFile out;
    if (!out.open(target)) {
        zip_fclose(zf);
        return EntryResult::OpenFailed;
    }
    for (;;) {
        zip_int64_t n = zip_fread(zf, buf, size);
        if (n < 0) {
            zip_fclose(zf);
            out.discard();
            return EntryResult::ReadFailed;
        }
        if (n == 0) break;
        if (!out.write(buf, static_cast<size_t>(n))) {
            zip_fclose(zf);
            out.discard();
            return EntryResult::WriteFailed;
        }
    }
    if (zip_fclose(zf) != 0) {
        out.discard();
        return EntryResult::ReadFailed;
    }
    if (!out.close()) {
        std::remove(target.c_str());
        return EntryResult::WriteFailed;
    }
    return EntryResult::Written;
}

bool isUnsafeEntryPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return true;
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
        return true;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}

// Entry path without empty and "." components, for comparing entries.
std::string normalizedEntryPath(const std::string& path) {
    std::string out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") {
            if (!out.empty()) out += '/';
            out += part;
        }
        start = end + 1;
    }
#ifdef __APPLE__
    // The usual macOS volume ignores case; so must the comparison.
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
#endif
    return out;
}

// True when a link made earlier lies on the way to path (or at it, unless
// the entry itself is a link that replaces it).
bool passesThroughLink(const std::set<std::string>& links, const std::string& normalized, bool entryIsLink) {
    if (links.empty()) return false;
    for (size_t pos = normalized.find('/'); pos != std::string::npos; pos = normalized.find('/', pos + 1)) {
        if (links.count(normalized.substr(0, pos))) return true;
    }
    return !entryIsLink && links.count(normalized) > 0;
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

}  // namespace

// ---------------------------------------------------------------------------
// Proxy list.

const ProxyPrefixList GITHUB_PROXY_PREFIXES;

const std::vector<std::string>& ProxyPrefixList::list() const {
#ifdef ZRVK_TESTING
    if (g_prefixesOverridden) return g_prefixOverride;
#endif
    static const std::vector<std::string> prefixes = [] {
        std::vector<std::string> p{""};
        for (const std::string& host : InstallerConfig::GITHUB_PROXY_HOSTS) p.push_back("https://" + host + "/");
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
                    StatusFn status) {
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
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // runs on a worker thread
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
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, probeConnectSeconds());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, redirectProbeTotalSeconds());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

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
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, probeConnectSeconds());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, existsProbeTotalSeconds());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);

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
        // The first part must open a ZIP archive; anything else (an error page
        // answered with 200) counts as a failed source.
        auto attempt = [&](const std::string& u) {
            if (!downloadToFile(u, partPath, label, partProgress, status)) return false;
            if (i == 0 && !startsLikeZip(partPath)) {
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
// ZIP extraction.

bool extractZip(const std::string& zipPath, const std::string& destDir, ProgressFn progress, StatusFn status) {
    std::cout << "[extractZip] Extracting " << zipPath << " to " << destDir << std::endl;
    {
        std::ifstream in(zipPath, std::ios::binary | std::ios::ate);
        if (!in.is_open()) {
            std::cerr << "[extractZip] Cannot open file for validation: " << zipPath << std::endl;
            return false;
        }
        std::streamoff size = in.tellg();
        std::cout << "[extractZip] File size: " << size << " bytes" << std::endl;
        if (size < 22) {
            std::cerr << "[extractZip] File too small to be a valid ZIP: " << size << " bytes" << std::endl;
            return false;
        }
        in.seekg(0);
        unsigned char magic[4] = {0, 0, 0, 0};
        in.read(reinterpret_cast<char*>(magic), 4);
        if (magic[0] == 'P' && magic[1] == 'K') {
            std::cout << "[extractZip] ZIP magic bytes validated OK" << std::endl;
        } else {
            std::ostringstream line;
            line << "[extractZip] Invalid ZIP file (bad magic bytes): " << std::hex;
            for (int b = 0; b < 4; ++b) line << (b ? " " : "") << "0x" << static_cast<unsigned>(magic[b]);
            std::cerr << line.str() << std::endl;
            if (magic[0] == '<')
                std::cerr << "[extractZip] File appears to be HTML (likely error page from server)" << std::endl;
            return false;
        }
    }

    if (!createDirectory(destDir)) {
        std::cerr << "[extractZip] Failed to create destination directory" << std::endl;
        return false;
    }

    int openError = 0;
    zip_t* za = zip_open(zipPath.c_str(), ZIP_RDONLY, &openError);
    if (!za) {
        zip_error_t error;
        zip_error_init_with_code(&error, openError);
        std::cerr << "[extractZip] Failed to open ZIP file: " << zipPath << " (libzip error: " << openError << " - "
                  << zip_error_strerror(&error) << ")" << std::endl;
        zip_error_fini(&error);
        return false;
    }

    const int n = static_cast<int>(zip_get_num_entries(za, 0));
    std::cout << "[extractZip] Archive contains " << n << " files" << std::endl;

    int k = 0;
    int lastLoggedPercent = -1;
    int failures = 0;
    std::set<std::string> links;  // entry paths of links made by this archive
    std::unique_ptr<char[]> buffer;  // link targets
    size_t capacity = 0;
    std::vector<char> block(kExtractBlockSize);

    for (int i = 0; i < n; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW, &st) != 0 || !(st.valid & ZIP_STAT_NAME) ||
            !(st.valid & ZIP_STAT_SIZE)) {
            std::cerr << "[extractZip] Failed to get file stat for index " << i << std::endl;
            ++failures;
            continue;
        }
        const std::string storedName = st.name;
        std::string entryPath = storedName;
        for (char& c : entryPath)
            if (c == '\\') c = '/';

        if (entryPath.find("__MACOSX") != std::string::npos || entryPath.find(".DS_Store") != std::string::npos)
            continue;

        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(za, static_cast<zip_uint64_t>(i), 0, &opsys, &attributes) != 0)
            attributes = 0;
        const bool isFolder = (!storedName.empty() && storedName.back() == '/') || (attributes & 0x10) != 0;
        if (isFolder) continue;

#ifdef _WIN32
        const bool isLink = false;  // written as a small file holding the target text
#else
        const bool isLink = (attributes & 0xF0000000u) == 0xA0000000u;
#endif

        if (isUnsafeEntryPath(entryPath)) {
            std::cerr << "[extractZip] Refusing unsafe entry name: " << entryPath << std::endl;
            ++failures;
            continue;
        }
        const std::string normalized = normalizedEntryPath(entryPath);
        if (passesThroughLink(links, normalized, isLink)) {
            std::cerr << "[extractZip] Refusing to write through link: " << entryPath << std::endl;
            ++failures;
            continue;
        }

        const std::string targetPath = destDir + "/" + entryPath;
        size_t slash = targetPath.rfind('/');
        if (slash != std::string::npos) createDirectory(targetPath.substr(0, slash));

#ifndef _WIN32
        if (isLink) {
            if (!readEntry(za, static_cast<zip_uint64_t>(i), st.size, buffer, capacity)) {
                std::cerr << "[extractZip] Failed to extract symlink target: " << entryPath << std::endl;
                ++failures;
                continue;
            }
            const std::string linkTarget(buffer.get(), static_cast<size_t>(st.size));
            int err = makeSymlink(linkTarget, targetPath);
            if (err != 0) {
                std::cerr << "[extractZip] Failed to create symlink: " << entryPath << " -> " << linkTarget
                          << " (errno: " << err << ")" << std::endl;
                ++failures;
                continue;
            }
            links.insert(normalized);
            ++k;
            continue;
        }
#endif

        switch (extractEntryToFile(za, static_cast<zip_uint64_t>(i), targetPath, block.data(), block.size())) {
            case EntryResult::ReadFailed:
                std::cerr << "[extractZip] Failed to extract to memory: " << entryPath << std::endl;
                ++failures;
                continue;  // no progress for an entry that was never read
            case EntryResult::OpenFailed:
            case EntryResult::WriteFailed:
                std::cerr << "[extractZip] Failed to write file: " << targetPath << std::endl;
                ++failures;
                break;
            case EntryResult::Written:
                ++k;
                break;
        }

        if (progress) progress(static_cast<uint64_t>(k), static_cast<uint64_t>(n));
        int pct = k * 100 / n;
        if (lastLoggedPercent == -1 || pct >= lastLoggedPercent + 10) {
            std::cout << "[extractZip] " << pct << "% (" << k << "/" << n << " files)" << std::endl;
            lastLoggedPercent = pct;
        }
        if (status && k % 10 == 0) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "Extracting %d/%d files", k, n);
            status(buf);
        }
    }

    zip_discard(za);
    if (failures > 0) {
        std::cerr << "[extractZip] Extraction failed: " << failures << " entries could not be extracted ("
                  << k << " files written)" << std::endl;
        return false;
    }
    std::cout << "[extractZip] 100% - Extraction complete (" << k << " files)" << std::endl;
    return true;
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
}

}  // namespace DeliveryTesting
#endif
