// Answers: the Response builders, the pattern bodies and the writing of an
// answer with its framing, pacing and faults.
#include "loopback_internal.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zrvk::test {

using detail::icontains;
using detail::iequals;
using detail::Stream;

namespace {

constexpr std::size_t kIoBuffer = 1 << 20;
constexpr std::size_t kPatternPeriod = 65521;  // prime: misplaced blocks never line up

const char* reasonPhrase(int status) {
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

const std::string& patternTable() {
    // Twice the period, so any run of up to one period is a single copy.
    static const std::string table = [] {
        std::string t(2 * kPatternPeriod, '\0');
        std::uint32_t x = 0x2545F491u;
        for (std::size_t i = 0; i < kPatternPeriod; ++i) {
            x = x * 1664525u + 1013904223u;
            t[i] = static_cast<char>(x >> 24);
        }
        std::memcpy(&t[kPatternPeriod], t.data(), kPatternPeriod);
        return t;
    }();
    return table;
}

void fillPattern(std::uint64_t offset, char* out, std::size_t count) {
    const std::string& t = patternTable();
    while (count > 0) {
        std::size_t start = static_cast<std::size_t>(offset % kPatternPeriod);
        std::size_t n = std::min(count, kPatternPeriod);
        std::memcpy(out, t.data() + start, n);
        out += n;
        offset += n;
        count -= n;
    }
}
}  // namespace

Response Response::text(int status, std::string body, std::string contentType) {
    Response r;
    r.status = status;
    r.body = std::move(body);
    r.headers.emplace_back("Content-Type", std::move(contentType));
    return r;
}

Response Response::redirect(int status, std::string location) {
    Response r;
    r.status = status;
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

Response Response::file(std::string path, std::string contentType) {
    Response r;
    r.filePath = std::move(path);
    r.headers.emplace_back("Content-Type", std::move(contentType));
    return r;
}

Response Response::generated(std::uint64_t size, BodyGenerator generator, std::string contentType) {
    Response r;
    r.generator = std::move(generator);
    r.generatedSize = size;
    r.headers.emplace_back("Content-Type", std::move(contentType));
    return r;
}

Response Response::pattern(std::uint64_t size) { return generated(size, fillPattern); }

Response& Response::withHeader(std::string name, std::string value) {
    headers.erase(std::remove_if(headers.begin(), headers.end(),
                                 [&](const auto& h) { return iequals(h.first, name); }),
                  headers.end());
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

char patternByte(std::uint64_t i) { return patternTable()[static_cast<std::size_t>(i % kPatternPeriod)]; }

std::string patternBytes(std::uint64_t offset, std::size_t count) {
    std::string s(count, '\0');
    fillPattern(offset, s.data(), count);
    return s;
}

Handler inTurn(std::vector<Response> answers) {
    auto shared = std::make_shared<const std::vector<Response>>(std::move(answers));
    auto next = std::make_shared<std::atomic<std::size_t>>(0);
    return [shared, next](const Request&) {
        if (shared->empty()) return Response::text(500, "no answer left\n");
        std::size_t i = std::min(next->fetch_add(1), shared->size() - 1);
        return (*shared)[i];
    };
}

namespace {

// Writes the body, applying the framing and the stall and drop faults.
class BodyWriter {
public:
    BodyWriter(Stream& s, const Response& r, bool chunked, std::function<bool()> stall)
        : s_(s), r_(r), chunked_(chunked), stall_(std::move(stall)) {}

    bool aborted() const { return dropped_ || failed_; }

    bool beginChunk(std::uint64_t n) {
        if (!chunked_ || n == 0) return true;
        char line[32];
        int len = std::snprintf(line, sizeof line, "%llx\r\n", static_cast<unsigned long long>(n));
        return write(line, static_cast<std::size_t>(len));
    }
    bool endChunk(std::uint64_t n) { return !chunked_ || n == 0 || write("\r\n", 2); }

    bool emit(const char* p, std::size_t n) {
        while (n > 0) {
            std::size_t k = static_cast<std::size_t>(allowed(n));
            if (k == 0) return false;
            if (!write(p, k)) return false;
            p += k;
            n -= k;
            sent_ += k;
        }
        return true;
    }

    // Plain connections send files with sendfile; TLS reads them in big blocks.
    bool emitFile(int fd, std::uint64_t offset, std::uint64_t n, std::vector<char>& buf) {
        while (n > 0) {
            std::uint64_t k = allowed(n);
            if (k == 0) return false;
            if (!s_.ssl) {
                off_t off = static_cast<off_t>(offset);
                std::uint64_t left = k;
                while (left > 0) {
                    ssize_t w = sendfile(s_.fd, fd, &off, static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30)));
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) return fail();
                    left -= static_cast<std::uint64_t>(w);
                }
            } else {
                std::uint64_t left = k, at = offset;
                while (left > 0) {
                    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, buf.size()));
                    ssize_t got = pread(fd, buf.data(), chunk, static_cast<off_t>(at));
                    if (got <= 0) return fail();
                    if (!write(buf.data(), static_cast<std::size_t>(got))) return false;
                    left -= static_cast<std::uint64_t>(got);
                    at += static_cast<std::uint64_t>(got);
                }
            }
            offset += k;
            n -= k;
            sent_ += k;
        }
        return true;
    }

    bool finish() {
        if (allowed(0) == 0 && aborted()) return false;
        return !chunked_ || write("0\r\n\r\n", 5);
    }

private:
    // How many of `want` bytes may go out now; runs a due stall. 0 with
    // aborted() set means stop here.
    std::uint64_t allowed(std::uint64_t want) {
        if (r_.stallAfterBytes && !stalled_ && sent_ == *r_.stallAfterBytes) {
            stalled_ = true;
            if (!stall_()) return fail();
        }
        if (r_.dropAfterBytes && sent_ >= *r_.dropAfterBytes) {
            dropped_ = true;
            return 0;
        }
        std::uint64_t k = want;
        if (r_.stallAfterBytes && !stalled_ && *r_.stallAfterBytes > sent_) k = std::min(k, *r_.stallAfterBytes - sent_);
        if (r_.dropAfterBytes) k = std::min(k, *r_.dropAfterBytes - sent_);
        return k;
    }

    bool write(const char* p, std::size_t n) { return s_.writeAll(p, n) || fail(); }
    bool fail() {
        failed_ = true;
        return false;
    }

    Stream& s_;
    const Response& r_;
    bool chunked_;
    std::function<bool()> stall_;
    std::uint64_t sent_ = 0;
    bool stalled_ = false;
    bool dropped_ = false;
    bool failed_ = false;
};

bool hasHeader(const Headers& headers, const std::string& name) {
    for (const auto& h : headers) {
        if (iequals(h.first, name)) return true;
    }
    return false;
}

}  // namespace

LoopbackServer::Impl::After LoopbackServer::Impl::send(Stream& s, const Request& req, Response resp, bool headOnly) {
    if (resp.closeWithoutAnswer) return After::Close;
    auto stall = [this, &resp] { return wait(resp.stallFor, true); };
    if (resp.stallBeforeHeaders && !stall()) return After::Abort;

    // Open the body first: a missing file turns into a 500.
    int fileFd = -1;
    std::uint64_t size = 0;
    enum class Source { Chunks, String, File, Generator } source = Source::String;
    if (!resp.chunks.empty()) {
        source = Source::Chunks;
        for (const auto& c : resp.chunks) size += c.size();
    } else if (!resp.body.empty() || (resp.filePath.empty() && !resp.generator)) {
        size = resp.body.size();
    } else if (!resp.filePath.empty()) {
        fileFd = open(resp.filePath.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fileFd < 0 || fstat(fileFd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fileFd >= 0) close(fileFd);
            fileFd = -1;
            resp = Response::text(500, "cannot open " + resp.filePath + "\n");
            size = resp.body.size();
        } else {
            source = Source::File;
            size = static_cast<std::uint64_t>(st.st_size);
        }
    } else {
        source = Source::Generator;
        size = resp.generatedSize;
    }
    struct FileCloser {
        int fd;
        ~FileCloser() {
            if (fd >= 0) close(fd);
        }
    } closer{fileFd};

    bool http10 = req.version == "HTTP/1.0";
    std::string connection = req.header("Connection");
    bool closeAfter = resp.closeAfter || resp.framing == Response::Framing::Close || resp.dropAfterBytes ||
                      icontains(connection, "close") || (http10 && !icontains(connection, "keep-alive"));
    bool chunked = resp.framing == Response::Framing::Chunked;

    std::string head = "HTTP/1.1 " + std::to_string(resp.status) + " " +
                       (resp.reason.empty() ? reasonPhrase(resp.status) : resp.reason) + "\r\n";
    for (const auto& [n, v] : resp.headers) head += n + ": " + v + "\r\n";
    bool ownLength = hasHeader(resp.headers, "Content-Length") || hasHeader(resp.headers, "Transfer-Encoding");
    if (!ownLength && resp.framing == Response::Framing::ContentLength) {
        head += "Content-Length: " + std::to_string(size) + "\r\n";
    } else if (!ownLength && chunked) {
        head += "Transfer-Encoding: chunked\r\n";
    }
    if (closeAfter && !hasHeader(resp.headers, "Connection")) head += "Connection: close\r\n";
    head += "\r\n";
    if (!s.writeAll(head)) return After::Abort;

    bool noBody = headOnly || resp.status == 204 || resp.status == 304 || (resp.status >= 100 && resp.status < 200);
    BodyWriter w(s, resp, chunked && !noBody, stall);
    if (noBody) {
        if (!w.finish()) return After::Abort;
        return closeAfter ? After::Close : After::Keep;
    }

    // Cut the body into pieces when it is chunked or paced.
    bool paced = chunked || resp.chunkPause.count() > 0;
    std::uint64_t piece = paced ? std::max<std::size_t>(resp.chunkSize, 1) : size;
    std::vector<char> buf;
    if (source == Source::Generator || (source == Source::File && s.ssl)) buf.resize(kIoBuffer);
    bool first = true;
    auto pause = [&] {
        if (!first && resp.chunkPause.count() > 0 && !wait(resp.chunkPause, false)) return false;
        first = false;
        return true;
    };
    bool ok = true;
    if (source == Source::Chunks) {
        for (const auto& c : resp.chunks) {
            ok = pause() && w.beginChunk(c.size()) && w.emit(c.data(), c.size()) && w.endChunk(c.size());
            if (!ok) break;
        }
    } else {
        for (std::uint64_t at = 0; ok && at < size; at += piece) {
            std::uint64_t n = std::min(piece, size - at);
            ok = pause() && w.beginChunk(n);
            if (!ok) break;
            if (source == Source::String) {
                ok = w.emit(resp.body.data() + at, static_cast<std::size_t>(n));
            } else if (source == Source::File) {
                ok = w.emitFile(fileFd, at, n, buf);
            } else {
                for (std::uint64_t done = 0; ok && done < n;) {
                    std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, buf.size()));
                    resp.generator(at + done, buf.data(), k);
                    ok = w.emit(buf.data(), k);
                    done += k;
                }
            }
            ok = ok && w.endChunk(n);
        }
    }
    if (!ok || !w.finish()) return After::Abort;
    return closeAfter ? After::Close : After::Keep;
}
}  // namespace zrvk::test
