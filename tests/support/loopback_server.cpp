#include "loopback_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <mutex>
#include <thread>

namespace zrvk::test {
namespace {

constexpr std::size_t kMaxHeadBytes = 64 * 1024;
constexpr std::size_t kIoBuffer = 1 << 20;
constexpr std::size_t kPatternPeriod = 65521;  // prime: misplaced blocks never line up

char lowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerChar(a[i]) != lowerChar(b[i])) return false;
    }
    return true;
}

bool icontains(const std::string& hay, const std::string& needle) {
    std::string h, n;
    for (char c : hay) h += lowerChar(c);
    for (char c : needle) n += lowerChar(c);
    return h.find(n) != std::string::npos;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

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

struct Route {
    std::string method;
    std::string pattern;
    bool prefix = false;
    Response response;
    Handler handler;
    std::size_t hits = 0;
};

// One connection, plain or TLS.
struct Stream {
    int fd = -1;
    SSL* ssl = nullptr;

    // Bytes read, 0 at the end of the stream or on an error.
    std::size_t read(char* buf, std::size_t n) {
        if (ssl) {
            int r = SSL_read(ssl, buf, static_cast<int>(std::min<std::size_t>(n, 1 << 30)));
            return r > 0 ? static_cast<std::size_t>(r) : 0;
        }
        for (;;) {
            ssize_t r = recv(fd, buf, n, 0);
            if (r < 0 && errno == EINTR) continue;
            return r > 0 ? static_cast<std::size_t>(r) : 0;
        }
    }

    bool writeAll(const char* p, std::size_t n) {
        while (n > 0) {
            if (ssl) {
                int r = SSL_write(ssl, p, static_cast<int>(std::min<std::size_t>(n, 1 << 30)));
                if (r <= 0) return false;
                p += r;
                n -= static_cast<std::size_t>(r);
                continue;
            }
            ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
    bool writeAll(const std::string& s) { return writeAll(s.data(), s.size()); }
};

std::string sslError() {
    unsigned long e = ERR_get_error();
    if (e == 0) return "unknown OpenSSL error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

// A self-signed P-256 certificate for 127.0.0.1 and localhost, made per run.
bool makeTlsContext(SSL_CTX*& ctxOut, std::string& pemOut, std::string& error) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    SSL_CTX* ctx = nullptr;
    bool ok = false;
    do {
        if (!key || !cert) break;
        X509_set_version(cert, 2);
        std::uint32_t serial = 0;
        RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(serial & 0x7fffffff));
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
        if (X509_set_pubkey(cert, key) != 1) break;
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
        bool extOk = true;
        for (auto [nid, value] : {std::pair<int, const char*>{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                  {NID_basic_constraints, "critical,CA:TRUE"},
                                  {NID_key_usage, "critical,digitalSignature,keyCertSign"}}) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
            if (!ext || X509_add_ext(cert, ext, -1) != 1) extOk = false;
            X509_EXTENSION_free(ext);
        }
        if (!extOk || X509_sign(cert, key, EVP_sha256()) == 0) break;

        ctx = SSL_CTX_new(TLS_server_method());
        if (!ctx || SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1) break;
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, cert);
        char* data = nullptr;
        long len = BIO_get_mem_data(bio, &data);
        pemOut.assign(data, static_cast<std::size_t>(len));
        BIO_free(bio);
        ok = true;
    } while (false);
    if (!ok) {
        error = "TLS set-up failed: " + sslError();
        SSL_CTX_free(ctx);
        ctx = nullptr;
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    ctxOut = ctx;
    return ok;
}

}  // namespace

std::string Request::header(const std::string& name) const {
    for (const auto& [n, v] : headers) {
        if (iequals(n, name)) return v;
    }
    return "";
}

bool Request::hasHeader(const std::string& name) const {
    for (const auto& h : headers) {
        if (iequals(h.first, name)) return true;
    }
    return false;
}

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

struct LoopbackServer::Impl {
    // Routes, counters and the request log.
    mutable std::mutex mutex;
    mutable std::condition_variable logChanged;
    std::vector<Route> routes;
    std::size_t unmatched = 0;
    std::vector<Request> log;

    Options options;
    std::uint16_t port = 0;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::thread acceptThread;
    std::atomic<bool> stopping{false};
    SSL_CTX* sslCtx = nullptr;
    std::string certPem;

    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::mutex connMutex;
    std::list<std::unique_ptr<Connection>> connections;

    // Stalls and pauses wait here so that stop() ends them at once.
    std::mutex waitMutex;
    std::condition_variable waitCv;
    std::uint64_t releaseGeneration = 0;

    enum class After { Keep, Close, Abort };

    // False when the server is stopping.
    bool wait(std::chrono::milliseconds duration, bool releasable) {
        std::unique_lock<std::mutex> lock(waitMutex);
        std::uint64_t generation = releaseGeneration;
        auto done = [&] { return stopping.load() || (releasable && releaseGeneration != generation); };
        if (duration.count() <= 0) {
            waitCv.wait(lock, done);
        } else {
            waitCv.wait_for(lock, duration, done);
        }
        return !stopping.load();
    }

    void acceptLoop();
    void reap(bool all);
    void serve(int fd);
    int readRequest(Stream& s, std::string& in, Request& req);
    bool readMore(Stream& s, std::string& in);
    After answer(Stream& s, const Request& req);
    After send(Stream& s, const Request& req, Response resp, bool headOnly);
    Route* match(const std::string& method, const std::string& target);
};

LoopbackServer::LoopbackServer() : impl_(std::make_unique<Impl>()) {}

LoopbackServer::~LoopbackServer() { stop(); }

bool LoopbackServer::start(const Options& options, std::string& error) {
    Impl& d = *impl_;
    if (d.acceptThread.joinable()) {
        error = "server already started";
        return false;
    }
    signal(SIGPIPE, SIG_IGN);
    d.options = options;
    d.stopping = false;
    d.certPem.clear();
    if (options.tls && !makeTlsContext(d.sslCtx, d.certPem, error)) return false;

    d.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d.listenFd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(d.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options.port);
    socklen_t len = sizeof addr;
    if (bind(d.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(d.listenFd, 128) != 0 ||
        getsockname(d.listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || pipe2(d.wakePipe, O_CLOEXEC) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + std::strerror(errno);
        close(d.listenFd);
        d.listenFd = -1;
        SSL_CTX_free(d.sslCtx);
        d.sslCtx = nullptr;
        return false;
    }
    d.port = ntohs(addr.sin_port);
    d.acceptThread = std::thread([&d] { d.acceptLoop(); });
    return true;
}

void LoopbackServer::stop() {
    Impl& d = *impl_;
    if (!d.acceptThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(d.waitMutex);
        d.stopping = true;
    }
    d.waitCv.notify_all();
    char c = 1;
    (void)!write(d.wakePipe[1], &c, 1);
    d.acceptThread.join();
    {
        std::lock_guard<std::mutex> lock(d.connMutex);
        for (auto& conn : d.connections) shutdown(conn->fd, SHUT_RDWR);
    }
    d.reap(true);
    close(d.listenFd);
    close(d.wakePipe[0]);
    close(d.wakePipe[1]);
    d.listenFd = d.wakePipe[0] = d.wakePipe[1] = -1;
    SSL_CTX_free(d.sslCtx);
    d.sslCtx = nullptr;
}

void LoopbackServer::Impl::reap(bool all) {
    std::lock_guard<std::mutex> lock(connMutex);
    for (auto it = connections.begin(); it != connections.end();) {
        if (all || (*it)->done) {
            (*it)->thread.join();
            close((*it)->fd);
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void LoopbackServer::Impl::acceptLoop() {
    while (!stopping) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        int r = poll(fds, 2, 250);
        reap(false);
        if (stopping) break;
        if (r <= 0 || !(fds[0].revents & POLLIN)) continue;
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto conn = std::make_unique<Connection>();
        conn->fd = fd;
        Connection* raw = conn.get();
        std::lock_guard<std::mutex> lock(connMutex);
        connections.push_back(std::move(conn));
        raw->thread = std::thread([this, raw] {
            serve(raw->fd);
            raw->done = true;
        });
    }
}

void LoopbackServer::Impl::serve(int fd) {
    Stream s;
    s.fd = fd;
    bool clean = true;
    if (sslCtx) {
        s.ssl = SSL_new(sslCtx);
        if (!s.ssl || SSL_set_fd(s.ssl, fd) != 1 || SSL_accept(s.ssl) != 1) {
            SSL_free(s.ssl);
            ERR_clear_error();
            shutdown(fd, SHUT_RDWR);
            return;
        }
    }
    std::string in;
    while (!stopping) {
        Request req;
        int got = readRequest(s, in, req);
        if (got == 0) break;
        if (got < 0) {
            s.writeAll("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back(req);
        }
        logChanged.notify_all();
        After after = answer(s, req);
        if (after == After::Abort) clean = false;
        if (after != After::Keep) break;
    }
    if (s.ssl) {
        // close_notify marks a close-delimited body as complete; a drop must not.
        if (clean && !stopping) SSL_shutdown(s.ssl);
        SSL_free(s.ssl);
        ERR_clear_error();
    }
    shutdown(fd, SHUT_RDWR);
}

bool LoopbackServer::Impl::readMore(Stream& s, std::string& in) {
    char buf[16384];
    std::size_t n = s.read(buf, sizeof buf);
    if (n == 0) return false;
    in.append(buf, n);
    return true;
}

// 1: a request; 0: the peer closed between requests; -1: malformed.
int LoopbackServer::Impl::readRequest(Stream& s, std::string& in, Request& req) {
    std::size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos) {
        if (in.size() > kMaxHeadBytes) return -1;
        if (!readMore(s, in)) return in.empty() ? 0 : -1;
    }
    std::string head = in.substr(0, end);
    in.erase(0, end + 4);

    std::size_t lineEnd = head.find("\r\n");
    std::string line = head.substr(0, lineEnd);
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) return -1;
    req.method = line.substr(0, sp1);
    req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    req.version = line.substr(sp2 + 1);
    if (req.method.empty() || req.target.empty()) return -1;
    while (lineEnd != std::string::npos) {
        std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string h = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        std::size_t colon = h.find(':');
        if (colon == std::string::npos || colon == 0) return -1;
        req.headers.emplace_back(h.substr(0, colon), trim(h.substr(colon + 1)));
    }

    if (icontains(req.header("Expect"), "100-continue")) {
        if (!s.writeAll("HTTP/1.1 100 Continue\r\n\r\n")) return -1;
    }
    if (icontains(req.header("Transfer-Encoding"), "chunked")) {
        for (;;) {
            std::size_t eol;
            while ((eol = in.find("\r\n")) == std::string::npos) {
                if (!readMore(s, in)) return -1;
            }
            std::size_t size = 0;
            try {
                size = std::stoull(in.substr(0, eol), nullptr, 16);
            } catch (...) {
                return -1;
            }
            in.erase(0, eol + 2);
            if (size == 0) break;
            while (in.size() < size + 2) {
                if (!readMore(s, in)) return -1;
            }
            req.body.append(in, 0, size);
            in.erase(0, size + 2);
        }
        // Trailers, up to the empty line.
        for (;;) {
            std::size_t eol;
            while ((eol = in.find("\r\n")) == std::string::npos) {
                if (!readMore(s, in)) return -1;
            }
            in.erase(0, eol + 2);
            if (eol == 0) break;
        }
    } else if (req.hasHeader("Content-Length")) {
        std::size_t size = 0;
        try {
            size = std::stoull(req.header("Content-Length"));
        } catch (...) {
            return -1;
        }
        while (in.size() < size) {
            if (!readMore(s, in)) return -1;
        }
        req.body = in.substr(0, size);
        in.erase(0, size);
    }
    return 1;
}

Route* LoopbackServer::Impl::match(const std::string& method, const std::string& target) {
    std::vector<std::string> methods{method};
    if (method == "HEAD") methods.emplace_back("GET");
    methods.emplace_back("*");
    for (const auto& m : methods) {
        for (auto& r : routes) {
            if (!r.prefix && r.method == m && r.pattern == target) return &r;
        }
    }
    Route* best = nullptr;
    std::size_t bestRank = 0;
    for (auto& r : routes) {
        if (!r.prefix || target.compare(0, r.pattern.size(), r.pattern) != 0) continue;
        auto m = std::find(methods.begin(), methods.end(), r.method);
        if (m == methods.end()) continue;
        // Longer prefix wins; at equal length the more specific method.
        std::size_t rank = r.pattern.size() * 4 + (3 - static_cast<std::size_t>(m - methods.begin()));
        if (!best || rank > bestRank) {
            best = &r;
            bestRank = rank;
        }
    }
    return best;
}

LoopbackServer::Impl::After LoopbackServer::Impl::answer(Stream& s, const Request& req) {
    Response resp;
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex);
        Route* r = match(req.method, req.target);
        if (!r) {
            ++unmatched;
            resp = Response::text(404, "not found\n");
        } else {
            ++r->hits;
            if (r->handler) {
                handler = r->handler;
            } else {
                resp = r->response;
            }
        }
    }
    if (handler) {
        try {
            resp = handler(req);
        } catch (const std::exception& e) {
            resp = Response::text(500, std::string("handler failed: ") + e.what() + "\n");
        }
    }
    bool headOnly = req.method == "HEAD";
    if (headOnly && resp.head) {
        Response own = *resp.head;
        resp = std::move(own);
    }
    return send(s, req, std::move(resp), headOnly);
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

std::uint16_t LoopbackServer::port() const { return impl_->port; }

bool LoopbackServer::tls() const { return impl_->sslCtx != nullptr; }

std::string LoopbackServer::baseUrl() const {
    return std::string(impl_->options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(impl_->port);
}

std::string LoopbackServer::url(const std::string& target) const { return baseUrl() + target; }

std::string LoopbackServer::certificatePem() const { return impl_->certPem; }

bool LoopbackServer::writeCertificate(const std::string& path, std::string& error) const {
    if (impl_->certPem.empty()) {
        error = "TLS is off";
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << impl_->certPem;
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

namespace {

void addRoute(std::vector<Route>& routes, Route r) {
    for (auto& existing : routes) {
        if (existing.prefix == r.prefix && existing.method == r.method && existing.pattern == r.pattern) {
            r.hits = existing.hits;
            existing = std::move(r);
            return;
        }
    }
    routes.push_back(std::move(r));
}

}  // namespace

void LoopbackServer::route(const std::string& method, const std::string& target, Response response) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    addRoute(impl_->routes, Route{method, target, false, std::move(response), {}, 0});
}

void LoopbackServer::route(const std::string& method, const std::string& target, Handler handler) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    addRoute(impl_->routes, Route{method, target, false, {}, std::move(handler), 0});
}

void LoopbackServer::routePrefix(const std::string& method, const std::string& prefix, Response response) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    addRoute(impl_->routes, Route{method, prefix, true, std::move(response), {}, 0});
}

void LoopbackServer::routePrefix(const std::string& method, const std::string& prefix, Handler handler) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    addRoute(impl_->routes, Route{method, prefix, true, {}, std::move(handler), 0});
}

void LoopbackServer::clearRoutes() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->routes.clear();
}

std::size_t LoopbackServer::hits(const std::string& target) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::size_t n = 0;
    for (const auto& r : impl_->routes) {
        if (r.pattern == target) n += r.hits;
    }
    return n;
}

std::size_t LoopbackServer::hits(const std::string& method, const std::string& target) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::size_t n = 0;
    for (const auto& r : impl_->routes) {
        if (r.pattern == target && r.method == method) n += r.hits;
    }
    return n;
}

std::size_t LoopbackServer::unmatchedHits() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->unmatched;
}

std::vector<Request> LoopbackServer::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->log;
}

std::size_t LoopbackServer::requestCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->log.size();
}

void LoopbackServer::clearRequests() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->log.clear();
}

bool LoopbackServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->logChanged.wait_for(lock, timeout, [&] { return impl_->log.size() >= count; });
}

void LoopbackServer::releaseStalls() {
    {
        std::lock_guard<std::mutex> lock(impl_->waitMutex);
        ++impl_->releaseGeneration;
    }
    impl_->waitCv.notify_all();
}

}  // namespace zrvk::test
