// Reading requests off a connection: the request line, the headers and a
// body sent with a length or chunked.
#include "loopback_internal.h"

#include <string>

namespace zrvk::test {

using detail::icontains;
using detail::iequals;
using detail::Stream;

namespace {

constexpr std::size_t kMaxHeadBytes = 64 * 1024;

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
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

}  // namespace zrvk::test
