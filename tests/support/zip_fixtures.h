// Fixtures for installer tests: ZIP archives built at test time with libzip,
// served on 127.0.0.1 by the loopback server, and files written with their
// folders.
#pragma once

#include "loopback_server.h"
#include "test_paths.h"

#include <zip.h>

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

namespace zrvk_test {

// Archive entries: name ("dir/" for a folder) and content.
using Entries = std::vector<std::pair<std::string, std::string>>;

// The bytes of a ZIP archive holding the entries in order.
inline std::string makeZip(const Entries& entries) {
    TempDir tmp;
    const std::string path = tmp / "fixture.zip";
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (za == nullptr) return "";
    for (const auto& e : entries) {
        if (!e.first.empty() && e.first.back() == '/') {
            zip_dir_add(za, e.first.c_str(), ZIP_FL_ENC_UTF_8);
            continue;
        }
        zip_source_t* src = zip_source_buffer(za, e.second.data(), e.second.size(), 0);
        zip_file_add(za, e.first.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    }
    zip_close(za);
    return readFile(path);
}

// Writes a file, making its missing folders first.
inline void putFile(const std::string& path, const std::string& content) {
    for (std::string::size_type slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
    writeFile(path, content);
}

inline mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// Archives (and anything else) served on 127.0.0.1 by the loopback server.
class FileServer {
public:
    FileServer() { started_ = server_.start(error_); }
    bool ok() const { return started_; }
    const std::string& error() const { return error_; }
    std::string url(const std::string& path) const { return server_.url(path); }
    std::string baseUrl() const { return server_.baseUrl(); }
    void serve(const std::string& path, const std::string& body) {
        server_.route("GET", path, zrvk::test::Response::text(200, body, "application/zip"));
    }
    // Serves an archive of the entries and returns its URL.
    std::string serveZip(const std::string& path, const Entries& entries) {
        serve(path, makeZip(entries));
        return url(path);
    }
    // GET requests of path (the redirect probes ask with HEAD).
    int hits(const std::string& path) const {
        int n = 0;
        for (const auto& r : server_.requests()) n += r.method == "GET" && r.target == path;
        return n;
    }
    int totalHits() const { return static_cast<int>(server_.requestCount()); }
    std::vector<zrvk::test::Request> requests() const { return server_.requests(); }
    zrvk::test::LoopbackServer& loopback() { return server_; }
    void clear() {
        server_.clearRoutes();
        server_.clearRequests();
    }

private:
    zrvk::test::LoopbackServer server_;
    std::string error_;
    bool started_ = false;
};

}  // namespace zrvk_test
