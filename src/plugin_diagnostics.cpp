#include "plugin_diagnostics.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <cstdio>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace PluginDiagnostics {

namespace {

// A resource file larger than this is not a plug-in's resources.
constexpr std::size_t MAX_RESOURCE_FILE_SIZE = 104857600;
constexpr std::size_t RECORD_HEADER_SIZE = 16;
constexpr uint32_t MAX_PROPERTY_LENGTH = 9999;

uint32_t bigEndianWord(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t littleEndianWord(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The first vendor signature at or after `from` that leaves room for a record
// header, or n when there is none.
std::size_t findRecord(const std::vector<uint8_t>& d, std::size_t from, const char signature[4]) {
    const std::size_t n = d.size();
    if (from + RECORD_HEADER_SIZE >= n) return n;
    // A record header must start before n - 16; memchr finds the candidates.
    const uint8_t* const last = d.data() + (n - RECORD_HEADER_SIZE);
    for (const uint8_t* p = d.data() + from; p < last;) {
        const void* hit = std::memchr(p, signature[0], static_cast<std::size_t>(last - p));
        if (hit == nullptr) break;
        p = static_cast<const uint8_t*>(hit);
        if (std::memcmp(p, signature, 4) == 0) return static_cast<std::size_t>(p - d.data());
        ++p;
    }
    return n;
}

std::string fileNameOf(const std::string& path, const char* separators) {
    const std::size_t slash = path.find_last_of(separators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string decodePascalString(const uint8_t* p, std::size_t maxLen) {
    if (maxLen == 0) return "";
    const uint8_t count = p[0];
    if (count != 0 && count < maxLen) return std::string(reinterpret_cast<const char*>(p + 1), count);
    std::string text;
    for (std::size_t k = 0; k < maxLen && p[k] != 0; ++k) {
        if (p[k] >= 0x20 && p[k] <= 0x7E) text += static_cast<char>(p[k]);
    }
    return text;
}

std::string decodeVersion(uint32_t v) {
    const unsigned major = ((v >> 26) & 0xF) * 8 + ((v >> 19) & 0x7);
    const unsigned minor = (v >> 15) & 0xF;
    const unsigned fix = (v >> 11) & 0xF;
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(fix);
}

// Stores one property; the key is in reading order, `word` reads the version word.
void storeProperty(PluginInfo& info, const std::string& key, const uint8_t* data, uint32_t length,
                   uint32_t (*word)(const uint8_t*)) {
    if (key == "name") {
        info.name = decodePascalString(data, length);
    } else if (key == "eVER" && length >= 4) {
        info.version = decodeVersion(word(data));
    } else if (key == "eMNA") {
        info.match_name = decodePascalString(data, length);
    }
}

#ifdef _WIN32
std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    long long size = -1;
    if (_fseeki64(file, 0, SEEK_END) == 0) size = _ftelli64(file);
    if (size >= 1 && static_cast<unsigned long long>(size) <= MAX_RESOURCE_FILE_SIZE &&
        _fseeki64(file, 0, SEEK_SET) == 0) {
        bytes.resize(static_cast<std::size_t>(size));
        if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) bytes.clear();
    }
    std::fclose(file);
    return bytes;
}
#else
// Only regular files: a pipe or device named like a resource file would block
// or never end. O_NONBLOCK keeps the open itself from waiting on a pipe.
std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return bytes;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 1 &&
        static_cast<unsigned long long>(info.st_size) <= MAX_RESOURCE_FILE_SIZE) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (done != bytes.size()) bytes.clear();
    }
    ::close(fd);
    return bytes;
}

// The first entry of the bundle's resource folder named "<something>.rsrc".
std::string findResourceFile(const std::string& bundlePath) {
    const std::string folder = bundlePath + "/Contents/Resources";
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return "";
    std::string found;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() >= 6 && endsWith(name, ".rsrc")) {
            found = folder + "/" + name;
            break;
        }
    }
    closedir(listing);
    return found;
}

void scanMacRecords(const std::vector<uint8_t>& d, PluginInfo& info) {
    const std::size_t n = d.size();
    for (std::size_t i = findRecord(d, 0, "8BIM"); i < n;) {
        const uint32_t length = bigEndianWord(&d[i + 12]);
        if (length == 0 || length > MAX_PROPERTY_LENGTH || i + RECORD_HEADER_SIZE + length > n) {
            i = findRecord(d, i + 1, "8BIM");
            continue;
        }
        const std::string key(reinterpret_cast<const char*>(&d[i + 4]), 4);
        storeProperty(info, key, &d[i + RECORD_HEADER_SIZE], length, bigEndianWord);
        i = findRecord(d, i + RECORD_HEADER_SIZE + length, "8BIM");
    }
}
#endif

void scanWinRecords(const std::vector<uint8_t>& d, PluginInfo& info) {
    const std::size_t n = d.size();
    for (std::size_t i = findRecord(d, 0, "MIB8"); i < n;) {
        const std::string key{static_cast<char>(d[i + 7]), static_cast<char>(d[i + 6]), static_cast<char>(d[i + 5]),
                              static_cast<char>(d[i + 4])};
        // The length follows the zero bytes after the key (the property id is
        // usually zero), up to the end of the header.
        std::size_t p = i + 8;
        while (p < i + RECORD_HEADER_SIZE && p < n && d[p] == 0) ++p;
        if (p + 4 > n) return;
        const uint32_t length = littleEndianWord(&d[p]);
        if (length == 0 || length > MAX_PROPERTY_LENGTH || p + 4 + length > n) {
            i = findRecord(d, i + 1, "MIB8");
            continue;
        }
        storeProperty(info, key, &d[p + 4], length, littleEndianWord);
        i = findRecord(d, p + 4 + length, "MIB8");
    }
}

}  // namespace

#ifndef _WIN32
PluginInfo parsePluginMac(const std::string& bundlePath) {
    PluginInfo info;
    info.file = fileNameOf(bundlePath, "/");
    const std::string resourceFile = findResourceFile(bundlePath);
    if (!resourceFile.empty()) scanMacRecords(readFile(resourceFile), info);
    return info;
}
#endif

PluginInfo parsePluginWin(const std::string& aexPath) {
    PluginInfo info;
    info.file = fileNameOf(aexPath, "/\\");
    scanWinRecords(readFile(aexPath), info);
    return info;
}

}  // namespace PluginDiagnostics
