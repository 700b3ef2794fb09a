#include "installer_download.h"

#include <curl/curl.h>
#include <zip.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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
constexpr zip_uint64_t kMaxLinkTarget = 4096;
// File creation waits on the disk (and on Windows on the virus scan); a few
// writers hide most of that. Four did best when measured, on disk and in
// memory: more contend in the kernel for the same folders.
constexpr int kExtractThreads = 4;
// Entries planned ahead of the oldest unreported one.
constexpr size_t kExtractWindow = 256;
// Every writer holds its own archive handle, whose central directory grows
// with the entries; writers are added only while they fit in this.
constexpr uint64_t kWriterMemoryBudget = 48ull * 1024 * 1024;
constexpr uint64_t kWriterFixedBytes = 512 * 1024;  // block, inflate state
constexpr uint64_t kWriterBytesPerEntry = 400;
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
int g_extractThreads = kExtractThreads;
long stallSeconds() { return g_stallSeconds; }
long probeConnectSeconds() { return g_probeConnectSeconds; }
long redirectProbeTotalSeconds() { return g_redirectProbeTotalSeconds; }
long existsProbeTotalSeconds() { return g_existsProbeTotalSeconds; }
int extractThreads() { return g_extractThreads; }
#else
long stallSeconds() { return kStallSeconds; }
long probeConnectSeconds() { return kProbeConnectSeconds; }
long redirectProbeTotalSeconds() { return kRedirectProbeTotalSeconds; }
long existsProbeTotalSeconds() { return kExistsProbeTotalSeconds; }
int extractThreads() { return kExtractThreads; }
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
// Platform differences of the extraction and the private temporary folder.

// How reaching an entry's place below the destination went.
enum class Walk { Opened, ThroughLink, Failed };

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

// Windows has no links to meet (link entries become small files), so the
// walk is the path itself; ".." and absolute names are refused before.
class Destination {
public:
    bool open(const std::string& path) {
        path_ = path;
        return true;
    }
    const std::string& walkRoot() const { return path_; }

private:
    std::string path_;
};

class FolderWalker {
public:
    explicit FolderWalker(const std::string& destDir) : dest_(destDir) {}
    const std::string& dest() const { return dest_; }

private:
    std::string dest_;
};

// An extracted file, written through the C runtime.
class OutputFile {
public:
    ~OutputFile() {
        if (f_) std::fclose(f_);
    }
    Walk open(FolderWalker& walker, const std::string& entryPath) {
        path_ = walker.dest() + "/" + entryPath;
        size_t slash = path_.rfind('/');
        createDirectory(path_.substr(0, slash));
        f_ = std::fopen(path_.c_str(), "wb");
        return f_ ? Walk::Opened : Walk::Failed;
    }
    bool write(const char* data, size_t size) { return std::fwrite(data, 1, size, f_) == size; }
    bool close() {
        bool ok = std::fclose(f_) == 0;
        f_ = nullptr;
        if (!ok) std::remove(path_.c_str());
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

// One step of the walk: the folder `name` below `at`, made when missing. A
// link there is never followed (isLink tells the caller why it failed).
int openFolderAt(int at, const std::string& name, bool& isLink) {
    isLink = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != ENOENT) break;
        if (mkdirat(at, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
    struct stat st;
    isLink = fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    return -1;
}

// The destination folder, opened once; every entry is reached from it.
class Destination {
public:
    Destination() = default;
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;
    ~Destination() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return fd_ >= 0;
    }
    int walkRoot() const { return fd_; }

private:
    int fd_ = -1;
};

// Walks an entry's folders from the destination one component at a time with
// no-follow opens, so no link is ever passed, whatever its spelling on a
// case-insensitive or normalising volume. Keeps the last folder open: the
// entries of one folder usually come together.
class FolderWalker {
public:
    explicit FolderWalker(int root) : root_(root) {}
    ~FolderWalker() { forget(); }
    FolderWalker(const FolderWalker&) = delete;
    FolderWalker& operator=(const FolderWalker&) = delete;

    // The folder holding the entry's last component (owned by the walker,
    // valid until the next call) and that component's name.
    Walk open(const std::string& entryPath, int& folder, std::string& leaf) {
        std::vector<std::string> names;
        if (!splitEntryPath(entryPath, names, leaf)) return Walk::Failed;
        std::string key;
        for (const std::string& name : names) key += name + "/";
        if (fd_ < 0 || key != key_) {
            forget();
            int fd = root_;
            for (const std::string& name : names) {
                bool isLink = false;
                int next = openFolderAt(fd, name, isLink);
                if (fd != root_) ::close(fd);
                if (next < 0) return isLink ? Walk::ThroughLink : Walk::Failed;
                fd = next;
            }
            fd_ = fd;
            key_ = key;
        }
        folder = fd_;
        return Walk::Opened;
    }

private:
    // Folder names without empty and "." components; false when the last
    // component is not a name.
    static bool splitEntryPath(const std::string& path, std::vector<std::string>& names, std::string& leaf) {
        size_t start = 0;
        for (size_t end; (end = path.find('/', start)) != std::string::npos; start = end + 1) {
            std::string name = path.substr(start, end - start);
            if (!name.empty() && name != ".") names.push_back(std::move(name));
        }
        leaf = path.substr(start);
        return !leaf.empty() && leaf != "." && leaf != "..";
    }
    void forget() {
        if (fd_ >= 0 && fd_ != root_) ::close(fd_);
        fd_ = -1;
        key_.clear();
    }

    int root_;
    int fd_ = -1;
    std::string key_;
};

// A new file for an entry. O_EXCL | O_NOFOLLOW: an ordinary file already
// there is removed first; a link or a folder there is left alone and fails.
int createFileAt(int folder, const std::string& leaf) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
        struct stat st;
        if (fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode)) return -1;
        if (unlinkat(folder, leaf.c_str(), 0) != 0 && errno != ENOENT) return -1;
    }
    return -1;
}

// An extracted file, created through the walker.
class OutputFile {
public:
    ~OutputFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    Walk open(FolderWalker& walker, const std::string& entryPath) {
        Walk w = walker.open(entryPath, folder_, leaf_);
        if (w != Walk::Opened) return w;
        fd_ = createFileAt(folder_, leaf_);
        return fd_ >= 0 ? Walk::Opened : Walk::Failed;
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
        if (rc != 0) unlinkat(folder_, leaf_.c_str(), 0);
        return rc == 0;
    }
    void discard() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        unlinkat(folder_, leaf_.c_str(), 0);
    }

private:
    int fd_ = -1;
    int folder_ = -1;  // the walker's
    std::string leaf_;
};

// Link entries become real links, replacing a file or link at their place;
// err is errno when the link could not be made.
Walk makeEntryLink(FolderWalker& walker, const std::string& entryPath, const std::string& linkTarget, int& err) {
    int folder = -1;
    std::string leaf;
    Walk w = walker.open(entryPath, folder, leaf);
    if (w != Walk::Opened) {
        err = errno;
        return w;
    }
    unlinkat(folder, leaf.c_str(), 0);
    if (symlinkat(linkTarget.c_str(), folder, leaf.c_str()) != 0) {
        err = errno;
        return Walk::Failed;
    }
    return Walk::Opened;
}

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

#ifndef _WIN32
// A link entry's target. The size the archive claims is checked before
// anything is read: longer targets fail the entry. Reads on to the end so
// that libzip checks the entry's CRC.
bool readLinkTarget(zip_t* za, zip_uint64_t index, zip_uint64_t size, std::string& target) {
    if (size > kMaxLinkTarget) return false;
    char buf[kMaxLinkTarget + 1];
    zip_file_t* zf = zip_fopen_index(za, index, 0);
    if (!zf) return false;
    zip_uint64_t got = 0;
    bool ok = true;
    while (got < size) {
        zip_int64_t n = zip_fread(zf, buf + got, size - got);
        if (n <= 0) {
            ok = false;
            break;
        }
        got += static_cast<zip_uint64_t>(n);
    }
    if (ok) ok = zip_fread(zf, buf + got, 1) == 0;
    if (zip_fclose(zf) != 0) ok = false;
    if (ok) target.assign(buf, static_cast<size_t>(size));
    return ok;
}
#endif

enum class EntryResult { Written, ReadFailed, OpenFailed, WriteFailed, ThroughLink };

// Streams one entry into its file in blocks that stay in the CPU cache. An
// entry that fails to read (its CRC is checked at the end) or to write
// leaves no file behind.
EntryResult extractEntryToFile(zip_t* za, zip_uint64_t index, FolderWalker& walker, const std::string& entryPath,
                               char* buf, size_t size) {
    zip_file_t* zf = zip_fopen_index(za, index, 0);
    if (!zf) return EntryResult::ReadFailed;
    OutputFile out;
    Walk w = out.open(walker, entryPath);
    if (w != Walk::Opened) {
        zip_fclose(zf);
        return w == Walk::ThroughLink ? EntryResult::ThroughLink : EntryResult::OpenFailed;
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
    return out.close() ? EntryResult::Written : EntryResult::WriteFailed;
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
// ZIP extraction.

uint64_t percentOf(uint64_t done, uint64_t total) { return total == 0 ? 0 : done * 100 / total; }

namespace {

// The checks before the archive is opened: it exists, is long enough and
// starts like a ZIP archive (not an error page).
bool validateArchive(const std::string& zipPath) {
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
        return true;
    }
    std::ostringstream line;
    line << "[extractZip] Invalid ZIP file (bad magic bytes): " << std::hex;
    for (int b = 0; b < 4; ++b) line << (b ? " " : "") << "0x" << static_cast<unsigned>(magic[b]);
    std::cerr << line.str() << std::endl;
    if (magic[0] == '<') std::cerr << "[extractZip] File appears to be HTML (likely error page from server)" << std::endl;
    return false;
}

zip_t* openArchive(const std::string& zipPath) {
    int openError = 0;
    zip_t* za = zip_open(zipPath.c_str(), ZIP_RDONLY, &openError);
    if (!za) {
        zip_error_t error;
        zip_error_init_with_code(&error, openError);
        std::cerr << "[extractZip] Failed to open ZIP file: " << zipPath << " (libzip error: " << openError << " - "
                  << zip_error_strerror(&error) << ")" << std::endl;
        zip_error_fini(&error);
    }
    return za;
}

// One entry to write, as planned on the calling thread.
struct EntryJob {
    zip_uint64_t index = 0;
    std::string entryPath;
    std::string normalized;
    bool isLink = false;
    zip_uint64_t size = 0;
};

// What the calling thread reports for one entry, in archive order.
struct EntryReport {
    std::string failure;    // the log line of a failed entry
    bool counted = false;   // a written file or link
    bool progress = false;  // reaches the progress report
    bool linkMade = false;
};

// Reads an entry's record and decides: skipped (empty report), refused (a
// failure line) or a job (true).
bool planEntry(zip_t* za, zip_uint64_t i, const std::set<std::string>& links, EntryJob& job, EntryReport& report) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, i, ZIP_FL_ENC_RAW, &st) != 0 || !(st.valid & ZIP_STAT_NAME) || !(st.valid & ZIP_STAT_SIZE)) {
        report.failure = "[extractZip] Failed to get file stat for index " + std::to_string(i);
        return false;
    }
    const std::string storedName = st.name;
    std::string entryPath = storedName;
    for (char& c : entryPath)
        if (c == '\\') c = '/';
    if (entryPath.find("__MACOSX") != std::string::npos || entryPath.find(".DS_Store") != std::string::npos)
        return false;

    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(za, i, 0, &opsys, &attributes) != 0) attributes = 0;
    const bool isFolder = (!storedName.empty() && storedName.back() == '/') || (attributes & 0x10) != 0;
    if (isFolder) return false;
#ifdef _WIN32
    const bool isLink = false;  // written as a small file holding the target text
#else
    const bool isLink = (attributes & 0xF0000000u) == 0xA0000000u;
#endif
    if (isUnsafeEntryPath(entryPath)) {
        report.failure = "[extractZip] Refusing unsafe entry name: " + entryPath;
        return false;
    }
    std::string normalized = normalizedEntryPath(entryPath);
    if (passesThroughLink(links, normalized, isLink)) {
        report.failure = "[extractZip] Refusing to write through link: " + entryPath;
        return false;
    }
    job.index = i;
    job.entryPath = std::move(entryPath);
    job.normalized = std::move(normalized);
    job.isLink = isLink;
    job.size = st.size;
    return true;
}

// A file that could not be written still reaches the progress report.
EntryReport writeFailure(const std::string& destDir, const EntryJob& job) {
    EntryReport report;
    report.failure = "[extractZip] Failed to write file: " + destDir + "/" + job.entryPath;
    report.progress = true;
    return report;
}

EntryReport runFileJob(zip_t* za, FolderWalker& walker, const EntryJob& job, const std::string& destDir, char* block,
                       size_t blockSize) {
    EntryReport report;
    switch (extractEntryToFile(za, job.index, walker, job.entryPath, block, blockSize)) {
        case EntryResult::ReadFailed:
            report.failure = "[extractZip] Failed to extract to memory: " + job.entryPath;
            break;  // no progress for an entry that was never read
        case EntryResult::ThroughLink:
            report.failure = "[extractZip] Refusing to write through link: " + job.entryPath;
            break;
        case EntryResult::OpenFailed:
        case EntryResult::WriteFailed:
            report = writeFailure(destDir, job);
            break;
        case EntryResult::Written:
            report.counted = true;
            report.progress = true;
            break;
    }
    return report;
}

#ifndef _WIN32
// Links make no progress call of their own.
EntryReport runLinkJob(zip_t* za, FolderWalker& walker, const EntryJob& job) {
    EntryReport report;
    std::string linkTarget;
    if (!readLinkTarget(za, job.index, job.size, linkTarget)) {
        report.failure = "[extractZip] Failed to extract symlink target: " + job.entryPath;
        return report;
    }
    int err = 0;
    switch (makeEntryLink(walker, job.entryPath, linkTarget, err)) {
        case Walk::ThroughLink:
            report.failure = "[extractZip] Refusing to write through link: " + job.entryPath;
            break;
        case Walk::Failed:
            report.failure = "[extractZip] Failed to create symlink: " + job.entryPath + " -> " + linkTarget +
                             " (errno: " + std::to_string(err) + ")";
            break;
        case Walk::Opened:
            report.counted = true;
            report.linkMade = true;
            break;
    }
    return report;
}
#endif

// Counts, log lines and callbacks of one extraction; used only on the
// calling thread, one entry at a time in archive order.
class ExtractionReporter {
public:
    ExtractionReporter(uint64_t n, ProgressFn progress, StatusFn status)
        : n_(n), progress_(std::move(progress)), status_(std::move(status)) {}

    void add(const EntryReport& r) {
        if (!r.failure.empty()) {
            std::cerr << r.failure << std::endl;
            ++failures_;
        }
        if (r.counted) ++k_;
        if (!r.progress) return;
        if (progress_) progress_(k_, n_);
        const uint64_t pct = percentOf(k_, n_);
        if (lastLoggedPercent_ < 0 || pct >= static_cast<uint64_t>(lastLoggedPercent_) + 10) {
            std::cout << "[extractZip] " << pct << "% (" << k_ << "/" << n_ << " files)" << std::endl;
            lastLoggedPercent_ = static_cast<int64_t>(pct);
        }
        if (status_ && k_ % 10 == 0) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "Extracting %llu/%llu files", static_cast<unsigned long long>(k_),
                          static_cast<unsigned long long>(n_));
            status_(buf);
        }
    }
    bool finish() const {
        if (failures_ > 0) {
            std::cerr << "[extractZip] Extraction failed: " << failures_ << " entries could not be extracted (" << k_
                      << " files written)" << std::endl;
            return false;
        }
        std::cout << "[extractZip] 100% - Extraction complete (" << k_ << " files)" << std::endl;
        return true;
    }

private:
    uint64_t n_;
    ProgressFn progress_;
    StatusFn status_;
    uint64_t k_ = 0;
    uint64_t failures_ = 0;
    int64_t lastLoggedPercent_ = -1;
};

// Comparison key of an entry path: ASCII case folded, so that entries that
// may name one place on a case-insensitive volume are never written at once.
std::string conflictKey(const std::string& normalized) {
    std::string key = normalized;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

// True when one path is the other or lies below it.
bool pathsOverlap(const std::string& a, const std::string& b) {
    const std::string& shorter = a.size() <= b.size() ? a : b;
    const std::string& longer = a.size() <= b.size() ? b : a;
    if (longer.compare(0, shorter.size(), shorter) != 0) return false;
    return longer.size() == shorter.size() || longer[shorter.size()] == '/';
}

// Writers for an archive of n entries: one (the calling thread) for a single
// entry, else as many as the memory budget holds, up to the configured count.
int writerThreads(uint64_t n) {
    if (n < 2) return 1;
    const uint64_t fit = kWriterMemoryBudget / (kWriterFixedBytes + n * kWriterBytesPerEntry);
    const uint64_t wanted = static_cast<uint64_t>(extractThreads());
    return static_cast<int>(fit < wanted ? fit : wanted);
}

// Writes file entries from a few threads, each with its own archive handle
// and folder walker. The calling thread queues entries in archive order and
// takes their reports back in the same order, so counts, log lines and
// callbacks stay on it. With one thread the calling thread writes each entry
// itself when it is queued.
class EntryPipeline {
public:
    EntryPipeline(const std::string& zipPath, zip_t* za, const Destination& destination, const std::string& destDir,
                  int threads)
        : za_(za), walker_(destination.walkRoot()), destDir_(destDir), block_(kExtractBlockSize) {
        std::vector<zip_t*> handles;
        for (int t = 0; threads > 1 && t < threads; ++t) {
            int err = 0;
            zip_t* own = zip_open(zipPath.c_str(), ZIP_RDONLY, &err);
            if (own) handles.push_back(own);
        }
        if (handles.size() < 2) {
            for (zip_t* h : handles) zip_discard(h);
            return;
        }
        for (zip_t* h : handles) workers_.emplace_back(&EntryPipeline::work, this, h, std::cref(destination));
    }
    ~EntryPipeline() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        work_.notify_all();
        for (std::thread& t : workers_) t.join();
    }
    EntryPipeline(const EntryPipeline&) = delete;
    EntryPipeline& operator=(const EntryPipeline&) = delete;

    // An entry decided without writing (skipped or refused): it waits its turn.
    void push(EntryReport report) {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.emplace_back();
        slots_.back().report = std::move(report);
        slots_.back().done = true;
    }
    // A file entry. One that overlaps an entry still being written waits
    // for everything before it, as a link entry does.
    void push(EntryJob job) {
        std::string key = conflictKey(job.normalized);
        if (workers_.empty()) {
            push(runFileJob(za_, walker_, job, destDir_, block_.data(), block_.size()));
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.emplace_back();
        Slot& slot = slots_.back();
        slot.job = std::move(job);
        slot.key = std::move(key);
        queue_.push_back(&slot);
        work_.notify_one();
    }
    bool overlapsPending(const EntryJob& job) const {
        if (workers_.empty()) return false;
        const std::string key = conflictKey(job.normalized);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Slot& slot : slots_)
            if (!slot.done && !slot.key.empty() && pathsOverlap(slot.key, key)) return true;
        return false;
    }
    size_t pending() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return slots_.size();
    }
    // The oldest entry's report, once it is written; false when none is queued.
    bool pop(EntryReport& report) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (slots_.empty()) return false;
        done_.wait(lock, [this] { return slots_.front().done; });
        report = std::move(slots_.front().report);
        slots_.pop_front();
        return true;
    }

private:
    struct Slot {
        EntryJob job;
        std::string key;  // empty for entries decided without writing
        EntryReport report;
        bool done = false;
    };

    void work(zip_t* za, const Destination& destination) {
        FolderWalker walker(destination.walkRoot());
        std::vector<char> block(kExtractBlockSize);
        for (;;) {
            Slot* slot = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) break;
                slot = queue_.front();
                queue_.pop_front();
            }
            EntryReport report;
            try {
                report = runFileJob(za, walker, slot->job, destDir_, block.data(), block.size());
            } catch (const std::exception&) {
                report = writeFailure(destDir_, slot->job);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                slot->report = std::move(report);
                slot->done = true;
            }
            done_.notify_one();
        }
        zip_discard(za);
    }

    zip_t* za_;
    FolderWalker walker_;  // the calling thread's, for one thread
    std::string destDir_;
    std::vector<char> block_;
    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::deque<Slot> slots_;    // archive order; references stay valid at both ends
    std::deque<Slot*> queue_;   // not yet taken by a worker
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace

bool extractZip(const std::string& zipPath, const std::string& destDir, ProgressFn progress, StatusFn status) {
    std::cout << "[extractZip] Extracting " << zipPath << " to " << destDir << std::endl;
    if (!validateArchive(zipPath)) return false;
    if (!createDirectory(destDir)) {
        std::cerr << "[extractZip] Failed to create destination directory" << std::endl;
        return false;
    }
    Destination destination;
    if (!destination.open(destDir)) {
        std::cerr << "[extractZip] Failed to create destination directory" << std::endl;
        return false;
    }
    zip_t* za = openArchive(zipPath);
    if (!za) return false;

    const zip_int64_t entries = zip_get_num_entries(za, 0);
    const uint64_t n = entries > 0 ? static_cast<uint64_t>(entries) : 0;
    std::cout << "[extractZip] Archive contains " << n << " files" << std::endl;

    ExtractionReporter reporter(n, std::move(progress), std::move(status));
    std::set<std::string> links;  // entry paths of links made by this archive
    {
        EntryPipeline pipeline(zipPath, za, destination, destDir, writerThreads(n));
        auto drain = [&] {
            for (EntryReport report; pipeline.pop(report);) reporter.add(report);
        };
        FolderWalker walker(destination.walkRoot());
        for (uint64_t i = 0; i < n; ++i) {
            EntryJob job;
            EntryReport report;
            if (!planEntry(za, i, links, job, report)) {
                pipeline.push(std::move(report));
            } else if (job.isLink) {
#ifndef _WIN32
                // Made when every earlier entry is written and before any later
                // one starts, so none of them can pass through it.
                drain();
                report = runLinkJob(za, walker, job);
                if (report.linkMade) links.insert(job.normalized);
                reporter.add(report);
#endif
            } else {
                if (pipeline.overlapsPending(job)) drain();
                pipeline.push(std::move(job));
            }
            while (pipeline.pending() >= kExtractWindow) {
                EntryReport oldest;
                pipeline.pop(oldest);
                reporter.add(oldest);
            }
        }
        drain();
    }
    zip_discard(za);
    return reporter.finish();
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
void setExtractThreads(int threads) { g_extractThreads = threads > 0 ? threads : kExtractThreads; }
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
    g_extractThreads = kExtractThreads;
}

}  // namespace DeliveryTesting
#endif
