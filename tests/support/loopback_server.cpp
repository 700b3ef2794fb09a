// The server loop: listening on 127.0.0.1, a thread per connection, routing
// each request to its answer, and the request log.
#include "loopback_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <openssl/err.h>

#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <utility>

namespace zrvk::test {

using detail::makeTlsContext;
using detail::Route;
using detail::Stream;

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
