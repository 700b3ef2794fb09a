// What the parts of the loopback server share: its state, the connection
// stream (plain or TLS) and the routes. Not for users of the server, who
// include loopback_server.h.
#pragma once

#include "loopback_server.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zrvk::test {
namespace detail {

inline char lowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerChar(a[i]) != lowerChar(b[i])) return false;
    }
    return true;
}

inline bool icontains(const std::string& hay, const std::string& needle) {
    std::string h, n;
    for (char c : hay) h += lowerChar(c);
    for (char c : needle) n += lowerChar(c);
    return h.find(n) != std::string::npos;
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

// A self-signed certificate for 127.0.0.1 and localhost, made per run.
bool makeTlsContext(SSL_CTX*& ctxOut, std::string& pemOut, std::string& error);

}  // namespace detail

struct LoopbackServer::Impl {
    // Routes, counters and the request log.
    mutable std::mutex mutex;
    mutable std::condition_variable logChanged;
    std::vector<detail::Route> routes;
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
    int readRequest(detail::Stream& s, std::string& in, Request& req);
    bool readMore(detail::Stream& s, std::string& in);
    After answer(detail::Stream& s, const Request& req);
    After send(detail::Stream& s, const Request& req, Response resp, bool headOnly);
    detail::Route* match(const std::string& method, const std::string& target);
};

}  // namespace zrvk::test
