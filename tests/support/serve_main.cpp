// zrvk-serve: serves a folder on 127.0.0.1 for the demo and the end-to-end
// tests, and answers POST requests, appending each to a JSON-lines log.
//
//   zrvk-serve --port N --root DIR [--log FILE] [--tls [--cert-out FILE]]
//
// Prints "listening on http://127.0.0.1:PORT" (https with --tls) once ready
// and stops on SIGTERM or SIGINT.
#include "loopback_server.h"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;

namespace {

std::string contentType(const std::string& path) {
    static const std::pair<const char*, const char*> types[] = {
        {".json", "application/json"}, {".html", "text/html; charset=utf-8"}, {".txt", "text/plain; charset=utf-8"},
        {".png", "image/png"},         {".jpg", "image/jpeg"},                {".jpeg", "image/jpeg"},
        {".mp4", "video/mp4"},         {".zip", "application/zip"},           {".js", "text/javascript"},
        {".css", "text/css"},          {".svg", "image/svg+xml"},
    };
    for (const auto& [ext, type] : types) {
        std::string e(ext);
        if (path.size() >= e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0) return type;
    }
    return "application/octet-stream";
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The path part of a target, percent-decoded; false when malformed.
bool decodePath(const std::string& target, std::string& path) {
    std::string raw = target.substr(0, target.find_first_of("?#"));
    path.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            path += raw[i];
            continue;
        }
        if (i + 2 >= raw.size()) return false;
        int hi = hexValue(raw[i + 1]), lo = hexValue(raw[i + 2]);
        if (hi < 0 || lo < 0) return false;
        path += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return !path.empty() && path[0] == '/' && path.find('\0') == std::string::npos;
}

Response serveFile(const std::string& root, const Request& req) {
    std::string path;
    if (req.target.find("..") != std::string::npos) return Response::text(403, "forbidden\n");
    if (!decodePath(req.target, path)) return Response::text(400, "bad target\n");
    if (path.find("..") != std::string::npos) return Response::text(403, "forbidden\n");
    std::string full = root + path;
    struct stat st {};
    if (stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) full += "/index.html";
    // A link inside the folder must not lead out of it.
    char resolved[PATH_MAX];
    if (!realpath(full.c_str(), resolved)) return Response::text(404, "not found\n");
    std::string real(resolved);
    if (real.compare(0, root.size() + 1, root + "/") != 0) return Response::text(404, "not found\n");
    if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Response::text(404, "not found\n");
    return Response::file(real, contentType(real));
}

int usage() {
    std::cerr << "usage: zrvk-serve --port N --root DIR [--log FILE] [--tls [--cert-out FILE]]" << std::endl;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string rootArg, logPath, certOut;
    long port = -1;
    bool tls = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--port" && hasValue) {
            char* end = nullptr;
            port = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || port < 0 || port > 65535) return usage();
        } else if (a == "--root" && hasValue) {
            rootArg = argv[++i];
        } else if (a == "--log" && hasValue) {
            logPath = argv[++i];
        } else if (a == "--cert-out" && hasValue) {
            certOut = argv[++i];
        } else if (a == "--tls") {
            tls = true;
        } else {
            return usage();
        }
    }
    if (port < 0 || rootArg.empty()) return usage();
    char resolved[PATH_MAX];
    if (!realpath(rootArg.c_str(), resolved)) {
        std::cerr << "[SERVE] No such folder: " << rootArg << std::endl;
        return 1;
    }
    std::string root(resolved);

    // Every thread inherits the blocked signals; main takes them with sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::mutex logMutex;
    std::ofstream log;
    if (!logPath.empty()) {
        log.open(logPath, std::ios::app | std::ios::binary);
        if (!log) {
            std::cerr << "[SERVE] Cannot open log " << logPath << std::endl;
            return 1;
        }
    }

    LoopbackServer server;
    auto files = [root](const Request& req) { return serveFile(root, req); };
    server.routePrefix("GET", "/", files);
    server.routePrefix("POST", "", [&](const Request& req) {
        if (log.is_open()) {
            nlohmann::json line = {{"method", req.method}, {"target", req.target}, {"body", req.body}};
            std::lock_guard<std::mutex> lock(logMutex);
            log << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
            log.flush();
        }
        return Response::text(200, "{\"status\":1}", "application/json");
    });

    std::string error;
    LoopbackServer::Options options;
    options.port = static_cast<std::uint16_t>(port);
    options.tls = tls;
    if (!server.start(options, error)) {
        std::cerr << "[SERVE] " << error << std::endl;
        return 1;
    }
    if (!certOut.empty() && !server.writeCertificate(certOut, error)) {
        std::cerr << "[SERVE] " << error << std::endl;
        return 1;
    }
    std::cout << "listening on " << server.baseUrl() << std::endl;

    int sig = 0;
    sigwait(&signals, &sig);
    server.stop();
    return 0;
}
