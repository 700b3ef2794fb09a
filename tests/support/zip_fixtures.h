// Fixtures for installer tests: ZIP archives built at test time with libzip
// (nothing binary is committed), served on 127.0.0.1 by the loopback server,
// and files written with their folders.
#pragma once

#include "loopback_server.h"
#include "test_paths.h"

#include <zip.h>

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace zrvk_test {

struct ZipEntry {
    enum class Kind { File, Folder, Link };
    std::string name;  // stored as given (raw), backslashes included
    std::string data;  // file content, or the link's target text
    Kind kind = Kind::File;
    bool store = false;            // no compression (lets a test find and corrupt the bytes)
    bool dosFolderBit = false;     // external attributes carry 0x10 without a trailing slash

    static ZipEntry file(std::string name, std::string data, bool store = false) {
        return ZipEntry{std::move(name), std::move(data), Kind::File, store, false};
    }
    static ZipEntry folder(std::string name) { return ZipEntry{std::move(name), "", Kind::Folder, false, false}; }
    static ZipEntry link(std::string name, std::string target) {
        return ZipEntry{std::move(name), std::move(target), Kind::Link, true, false};
    }
};

// Writes the archive; returns "" or a description of what failed.
inline std::string buildZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return "zip_open failed: " + std::to_string(err);
    for (const ZipEntry& e : entries) {
        zip_int64_t index = -1;
        if (e.kind == ZipEntry::Kind::Folder) {
            index = zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_RAW);
        } else {
            zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
            if (!src) break;
            index = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_RAW);
            if (index < 0) zip_source_free(src);
        }
        if (index < 0) {
            std::string msg = std::string("adding ") + e.name + ": " + zip_strerror(za);
            zip_discard(za);
            return msg;
        }
        if (e.store) zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        if (e.kind == ZipEntry::Kind::Link) {
            zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                             static_cast<zip_uint32_t>(0120777u) << 16);
        } else if (e.dosFolderBit) {
            zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_DOS, 0x10);
        }
    }
    if (zip_close(za) != 0) {
        std::string msg = std::string("zip_close: ") + zip_strerror(za);
        zip_discard(za);
        return msg;
    }
    return "";
}

// Archive entries: name ("dir/" for a folder) and content.
using Entries = std::vector<std::pair<std::string, std::string>>;

// The bytes of a ZIP archive holding the entries in order.
inline std::string zipOf(const std::vector<ZipEntry>& entries) {
    TempDir tmp;
    const std::string path = tmp / "fixture.zip";
    return buildZip(path, entries).empty() ? readFile(path) : "";
}

inline std::string makeZip(const Entries& entries) {
    std::vector<ZipEntry> zipEntries;
    for (const auto& e : entries) {
        const bool folder = !e.first.empty() && e.first.back() == '/';
        zipEntries.push_back(folder ? ZipEntry::folder(e.first) : ZipEntry::file(e.first, e.second));
    }
    return zipOf(zipEntries);
}

// Flips one byte of the first occurrence of marker (a stored entry's data),
// so that entry fails its CRC check.
inline bool corruptMarker(const std::string& path, const std::string& marker) {
    std::string bytes = readFile(path);
    size_t pos = bytes.find(marker);
    if (pos == std::string::npos) return false;
    bytes[pos + marker.size() / 2] ^= 0x55;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

// Splits a file into parts of the given sizes (the last takes the rest).
inline std::vector<std::string> splitBytes(const std::string& bytes, const std::vector<size_t>& sizes) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (size_t i = 0; i < sizes.size() && pos < bytes.size(); ++i) {
        parts.push_back(bytes.substr(pos, sizes[i]));
        pos += sizes[i];
    }
    if (pos < bytes.size()) parts.push_back(bytes.substr(pos));
    return parts;
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
    // Serves an archive of entries of every kind (links too).
    std::string serveArchive(const std::string& path, const std::vector<ZipEntry>& entries) {
        serve(path, zipOf(entries));
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
