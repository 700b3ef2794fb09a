// HTTP transfers with libcurl: the one set-up every transfer shares, the
// download to a file and the header-only probes.
#include "installer_transfer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "disk_space.h"
#include "installer_config.h"
#include "text_escape.h"

namespace {

// ---------------------------------------------------------------------------
// Tunables: the product values, which tests may change (DeliveryTesting).

constexpr long kStallSeconds = 60;
constexpr long kProbeConnectSeconds = 10;
constexpr long kRedirectProbeTotalSeconds = 15;
constexpr long kExistsProbeTotalSeconds = 30;
constexpr long kMaxRedirects = 30;  // the limit newer libcurl has by default
constexpr long kReceiveBufferSize = 512 * 1024;
constexpr double kBytesPerMB = 1048576.0;
// The part of what was free that downloads leave free, whether their
// answers announce a length or not.
constexpr uint64_t kMarginDivisor = 16;

long g_stallSeconds = kStallSeconds;
long g_probeConnectSeconds = kProbeConnectSeconds;
long g_redirectProbeTotalSeconds = kRedirectProbeTotalSeconds;
long g_existsProbeTotalSeconds = kExistsProbeTotalSeconds;
std::string g_protocolsOverride;
std::string g_certificateAuthority;

const std::string& transferProtocols() {
    if (!g_protocolsOverride.empty()) return g_protocolsOverride;
    return InstallerConfig::TRANSFER_PROTOCOLS;
}

std::string formatMB(double bytes) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << bytes / kBytesPerMB;
    return s.str();
}

// Only a 200 answer is kept (downloadToFile fails on any other); the body
// of any other answer is never stored.
bool isKeptAnswer(long code) { return code == 200; }

// What storing bytes more would take of the room, the margin included, so
// that the figure never reads as if the store fitted.
uint64_t neededFor(const DownloadRoom& room, uint64_t bytes) { return room.stored + bytes + room.margin(); }

// The folder a download's file goes to.
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// An answer stopped because storing it would pass what its room allows.
void reportNoRoom(const DownloadContext& ctx, const std::string& folder) {
    const DownloadRoom& room = ctx.room;
    std::ostringstream line;
    line << "[download] Not enough free space in " << folder << ": the answer announces ";
    if (ctx.announced >= 0) {
        line << ctx.announced << " bytes, ";
    } else {
        line << "no length and passed " << room.left() << " bytes, ";
    }
    if (room.stored > 0) {
        line << "the earlier parts hold " << room.stored << " bytes, " << room.freeBytes
             << " bytes were free when the first part started";
    } else {
        line << room.freeBytes << " bytes are free";
    }
    line << ", and a sixteenth of them stays free";
    std::cerr << line.str() << std::endl;
    if (ctx.status) ctx.status(statusPrefix(ctx.label) + DiskSpace::notEnoughSpaceText(ctx.neededBytes, room.freeBytes));
}

}  // namespace

std::string statusPrefix(const std::string& label) { return label.empty() ? std::string() : label + ": "; }

uint64_t DownloadRoom::margin() const { return known ? freeBytes / kMarginDivisor : 0; }

uint64_t DownloadRoom::left() const {
    if (!known) return UINT64_MAX;
    const uint64_t usable = freeBytes - margin();
    return stored >= usable ? 0 : usable - stored;
}

void removeFile(const std::string& path) { std::remove(path.c_str()); }

// ---------------------------------------------------------------------------
// The set-up every transfer starts from.

void setTransferOptions(CURL* curl, const std::string& url) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, transferProtocols().c_str());
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, transferProtocols().c_str());
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (!g_certificateAuthority.empty()) {
        curl_blob blob{const_cast<char*>(g_certificateAuthority.data()), g_certificateAuthority.size(),
                       CURL_BLOB_COPY};
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
}

namespace {

// A header-only request; the probes differ only in following redirects and
// in how long they may take.
void setProbeOptions(CURL* curl, const std::string& url, bool followRedirects, long totalSeconds) {
    setTransferOptions(curl, url);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, followRedirects ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, g_probeConnectSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, totalSeconds);
}

}  // namespace

// ---------------------------------------------------------------------------
// Downloads and probes.

size_t writeCallback(void* data, size_t size, size_t nmemb, void* userdata) {
    auto* ctx = static_cast<DownloadContext*>(userdata);
    size_t n = size * nmemb;
    // The body of an answer that is not kept is never stored, and not worth
    // receiving: the transfer stops at its first bytes.
    if (!isKeptAnswer(ctx->answerCode)) return 0;
    // Never more than the answer announced, however it is framed; a length
    // that passes the room was refused at the headers.
    if (ctx->announced >= 0 && ctx->bytesWritten + n > static_cast<uint64_t>(ctx->announced)) return 0;
    // Without a length, never so much that the margin would be gone.
    if (ctx->announced < 0 && ctx->bytesWritten + n > ctx->room.left()) {
        ctx->neededBytes = neededFor(ctx->room, ctx->bytesWritten + n);
        return 0;
    }
    ctx->out->write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    // A short count makes libcurl stop with a write error: a download that
    // cannot be stored must not look complete.
    if (!*ctx->out) return 0;
    ctx->bytesWritten += n;
    return n;
}

// The status and Content-Length of the answer being received; each answer
// of a redirect chain starts afresh. libcurl itself ignores the length for a
// chunked body. An answer that would be kept and announces more than its
// room allows (the margin kept) is stopped here, before its body is read;
// any other answer is never stored, so its length takes no room.
size_t headerCallback(char* data, size_t size, size_t nmemb, void* userdata) {
    auto* ctx = static_cast<DownloadContext*>(userdata);
    const size_t n = size * nmemb;
    std::string line(data, n);
    for (char& c : line)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (line.compare(0, 5, "http/") == 0) {
        ctx->announced = -1;
        const size_t blank = line.find(' ');
        ctx->answerCode = blank == std::string::npos ? 0 : std::atoi(line.c_str() + blank + 1);
    } else if (line.compare(0, 15, "content-length:") == 0) {
        const char* digits = line.c_str() + 15;
        while (*digits == ' ' || *digits == '\t') ++digits;
        char* end = nullptr;
        const long long value = std::strtoll(digits, &end, 10);
        if (end != digits && value >= 0) ctx->announced = value;
        if (isKeptAnswer(ctx->answerCode) && ctx->announced > 0 &&
            static_cast<uint64_t>(ctx->announced) > ctx->room.left()) {
            ctx->neededBytes = neededFor(ctx->room, static_cast<uint64_t>(ctx->announced));
            return 0;
        }
    }
    return n;
}

int progressCallback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* ctx = static_cast<DownloadContext*>(clientp);
    // Only the answer that would be kept is a download: while a redirect or
    // an error page is answered, nothing is claimed.
    if (!isKeptAnswer(ctx->answerCode) || dltotal < 10241) return 0;
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
                    StatusFn status, std::string* contentType, bool* noRoom, DownloadRoom* sharedRoom) {
    if (contentType) contentType->clear();
    if (noRoom) *noRoom = false;
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

    const std::string folder = folderOf(path);
    DownloadRoom ownRoom;
    DownloadRoom& room = sharedRoom ? *sharedRoom : ownRoom;
    if (!room.measured) {
        DiskSpace::Room fs;
        room.measured = true;
        room.known = DiskSpace::roomAt(folder, fs);
        room.freeBytes = room.known ? fs.freeBytes : 0;
    }
    ctx.room = room;

    const long stall = g_stallSeconds;
    setTransferOptions(curl, url);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, headerCallback);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &ctx);
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
    // An answer that is not kept stopped at its body: it failed on its
    // status, which is reported below, not in transport.
    const bool notKept = res == CURLE_WRITE_ERROR && !isKeptAnswer(ctx.answerCode);

    if (res != CURLE_OK && !notKept) {
        curl_off_t size = 0, timeUs = 0, speed = 0;
        curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &size);
        curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &timeUs);
        curl_easy_getinfo(curl, CURLINFO_SPEED_DOWNLOAD_T, &speed);
        std::ostringstream line;
        line << "[download] Failed: " << curl_easy_strerror(res) << " (downloaded: " << formatMB(double(size))
             << " MB" << ", time: " << (timeUs / 1000000) << "s" << ", speed: " << formatMB(double(speed))
             << " MB/s" << ", stall_timeout: " << stall << "s)";
        std::cerr << line.str() << std::endl;
        if (ctx.neededBytes > 0) {
            reportNoRoom(ctx, folder);
            if (noRoom) *noRoom = true;
        }
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
    if (!isKeptAnswer(code)) {
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
    setProbeOptions(curl, url, false, g_redirectProbeTotalSeconds);

    std::string result = url;
    if (curl_easy_perform(curl) == CURLE_OK) {
        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 300 && code <= 399) {
            char* location = nullptr;
            curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
            if (location && *location) {
                result = location;
                std::cout << "[download] First redirect: " << escapeForLog(result) << std::endl;
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
    setProbeOptions(curl, url, true, g_existsProbeTotalSeconds);

    CURLcode res = curl_easy_perform(curl);
    if (res != CURLE_OK) {
        std::cout << "[checkUrlExists] Request failed: " << curl_easy_strerror(res) << std::endl;
        curl_easy_cleanup(curl);
        return false;
    }
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    // The address may be built on a redirect target, which a server chose.
    std::cout << "[checkUrlExists] " << escapeForLog(url) << " -> " << code << std::endl;
    return code == 200;
}

// ---------------------------------------------------------------------------
// Test seams.

namespace DeliveryTesting {

void setStallSeconds(long seconds) { g_stallSeconds = seconds; }
void setProbeTimeouts(long connectSeconds, long redirectTotalSeconds, long existsTotalSeconds) {
    g_probeConnectSeconds = connectSeconds;
    g_redirectProbeTotalSeconds = redirectTotalSeconds;
    g_existsProbeTotalSeconds = existsTotalSeconds;
}
void setTransferProtocols(const std::string& protocols) { g_protocolsOverride = protocols; }
void setCertificateAuthority(const std::string& pem) { g_certificateAuthority = pem; }
void resetTransfers() {
    g_stallSeconds = kStallSeconds;
    g_probeConnectSeconds = kProbeConnectSeconds;
    g_redirectProbeTotalSeconds = kRedirectProbeTotalSeconds;
    g_existsProbeTotalSeconds = kExistsProbeTotalSeconds;
    g_protocolsOverride.clear();
    g_certificateAuthority.clear();
}

}  // namespace DeliveryTesting
