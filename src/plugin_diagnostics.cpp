#include "plugin_diagnostics.h"

#include "installer_config.h"
#include "installer_utils.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#else
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace PluginDiagnostics {

namespace {

// A resource file larger than this is not a plug-in's resources.
constexpr std::size_t MAX_RESOURCE_FILE_SIZE = 104857600;
constexpr std::size_t RECORD_HEADER_SIZE = 16;
constexpr uint32_t MAX_PROPERTY_LENGTH = 9999;

#ifndef _WIN32
uint32_t bigEndianWord(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
#endif

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
    // "N": not inherited by programs started meanwhile.
    FILE* file = std::fopen(path.c_str(), "rbN");
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

#ifndef _WIN32
// Both ends are closed in every other child started meanwhile.
bool openCloseOnExecPipe(int fds[2]) {
#ifdef __linux__
    return pipe2(fds, O_CLOEXEC) == 0;
#else
    if (pipe(fds) != 0) return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

bool isOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    const std::string dirs = path;
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end == start ? "." : dirs.substr(start, end - start);
        const std::string candidate = dir + "/" + program;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

struct CommandResult {
    bool started = false;
    int exitCode = -1;  // -1 unless the program exited by itself
    std::string output;
};

// Runs a program found on PATH with an argument vector (no shell sees the
// plug-in's path). With `capture`, standard output and standard error come
// back together, as codesign writes its details to standard error;
// otherwise both are discarded.
CommandResult runProgram(const std::vector<std::string>& args, bool capture) {
    CommandResult result;
    int fds[2] = {-1, -1};
    if (capture && !openCloseOnExecPipe(fds)) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (capture) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (capture) close(fds[1]);
    if (spawned != 0) {
        if (capture) close(fds[0]);
        return result;
    }
    result.started = true;
    if (capture) {
        char buffer[256];
        for (;;) {
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n > 0) {
                result.output.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                break;
            }
        }
        close(fds[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
    // A program killed by a signal has not succeeded.
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

bool isAdhocSignature(const std::string& details) {
    return details.find("Signature=adhoc") != std::string::npos ||
           details.find("flags=0x2(adhoc)") != std::string::npos || details.find("(adhoc") != std::string::npos;
}

int signatureStatusOf(const std::string& path) { return checkPluginSignature(path); }
#else
int signatureStatusOf(const std::string&) { return SIGNATURE_UNKNOWN; }
#endif

bool isOwnPlugin(const std::string& path) {
    return path.find("/ZRVK/") != std::string::npos || path.find("\\ZRVK\\") != std::string::npos;
}

// Keeps a plug-in that has a name or a version, marking the maker's own.
void addPlugin(PluginInfo info, const std::string& path, std::vector<PluginInfo>& out) {
    if (info.name.empty() && info.version.empty()) return;
    info.own = isOwnPlugin(path);
    if (info.own) info.status = signatureStatusOf(path);
    out.push_back(std::move(info));
}

#ifdef _WIN32
// Depth first in listing order. Junctions and symbolic links are not
// followed (a link back up would list the same plug-ins again, or never end).
void scanDirectoryWin(const std::string& dir, std::vector<PluginInfo>& out) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == ".." || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        const std::string path = dir + "\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            scanDirectoryWin(path, out);
        } else if (name.size() > 4 && endsWith(name, ".aex")) {
            addPlugin(parsePluginWin(path), path, out);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

void scanMediaCore(const std::string& dir, std::vector<PluginInfo>& out) { scanDirectoryWin(dir, out); }
#else
using FolderId = std::pair<dev_t, ino_t>;

// Depth first in listing order. Each real folder is entered once, so links
// that lead back up end the walk at once.
void scanFolderOnce(const std::string& dir, std::vector<PluginInfo>& out, std::set<FolderId>& entered) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return;
    struct stat self;
    if (fstat(dirfd(listing), &self) != 0 || !entered.insert({self.st_dev, self.st_ino}).second) {
        closedir(listing);
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat info;
        if (name.size() >= 8 && endsWith(name, ".plugin")) {
            addPlugin(parsePluginMac(path), path, out);
        } else if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            scanFolderOnce(path, out, entered);
        }
    }
    closedir(listing);
}

void scanDirectoryMac(const std::string& dir, std::vector<PluginInfo>& out) {
    std::set<FolderId> entered;
    scanFolderOnce(dir, out, entered);
}

void scanMediaCore(const std::string& dir, std::vector<PluginInfo>& out) { scanDirectoryMac(dir, out); }
#endif

const char* statusName(int32_t status) {
    static const char* const names[] = {"valid", "adhoc", "invalid", "unsigned", "quarantined"};
    return status >= 1 && status <= 5 ? names[status - 1] : "unknown";
}

std::string escapeJson(const std::string& text) { return escapeJsonText(text); }

}  // namespace

#ifndef _WIN32
int checkPluginSignature(const std::string& path) {
    std::cout << "[DIAGNOSTICS] Checking signature: " << path << std::endl;
    if (!isOnPath("codesign")) {
        std::cout << "[DIAGNOSTICS]   -> UNKNOWN (codesign not found)" << std::endl;
        return SIGNATURE_UNKNOWN;
    }
    if (isOnPath("xattr") && runProgram({"xattr", "-p", "com.apple.quarantine", path}, false).exitCode == 0) {
        std::cout << "[DIAGNOSTICS]   -> QUARANTINED" << std::endl;
        return SIGNATURE_QUARANTINED;
    }
    const CommandResult details = runProgram({"codesign", "-dv", path}, true);
    if (!details.started) {
        std::cout << "[DIAGNOSTICS]   -> UNKNOWN (popen failed)" << std::endl;
        return SIGNATURE_UNKNOWN;
    }
    if (details.exitCode != 0) {
        std::cout << "[DIAGNOSTICS]   -> UNSIGNED" << std::endl;
        return SIGNATURE_UNSIGNED;
    }
    if (isAdhocSignature(details.output)) {
        std::cout << "[DIAGNOSTICS]   -> ADHOC" << std::endl;
        return SIGNATURE_ADHOC;
    }
    if (runProgram({"codesign", "--verify", "--deep", "--strict", path}, false).exitCode != 0) {
        std::cout << "[DIAGNOSTICS]   -> INVALID" << std::endl;
        return SIGNATURE_INVALID;
    }
    std::cout << "[DIAGNOSTICS]   -> VALID" << std::endl;
    return SIGNATURE_VALID;
}

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

std::vector<PluginInfo> collectInstalledPlugins() {
    const std::string& dir = InstallerConfig::Paths::MEDIACORE_DIR;
    std::cout << "[DIAGNOSTICS] Scanning MediaCore directory: " << dir << std::endl;
    std::vector<PluginInfo> plugins;
    scanMediaCore(dir, plugins);
    std::cout << "[DIAGNOSTICS] Found " << plugins.size() << " plugins:" << std::endl;
    int own = 0;
    int issues = 0;
    for (const PluginInfo& plugin : plugins) {
        const std::string& name = plugin.name.empty() ? plugin.file : plugin.name;
        const std::string& version = plugin.version.empty() ? std::string("?") : plugin.version;
        if (plugin.own) {
            ++own;
            if (plugin.status >= SIGNATURE_ADHOC) ++issues;
            std::cout << "  [ZRVK] " << name << " " << version << " (sig: " << statusName(plugin.status) << ")"
                      << std::endl;
        } else {
            std::cout << "  " << name << " " << version << std::endl;
        }
    }
    std::cout << "[DIAGNOSTICS] ZRVK plugins: " << own << ", signature issues: " << issues << std::endl;
    return plugins;
}

std::string pluginsToJson(const std::vector<PluginInfo>& plugins) {
    std::string json = "[";
    for (std::size_t i = 0; i < plugins.size(); ++i) {
        const PluginInfo& p = plugins[i];
        if (i > 0) json += ",";
        json += "{\"file\":\"" + escapeJson(p.file) + "\"," + "\"name\":\"" + escapeJson(p.name) + "\"," +
                "\"version\":\"" + escapeJson(p.version) + "\"," + "\"match_name\":\"" +
                escapeJson(p.match_name) + "\"}";
    }
    return json + "]";
}

}  // namespace PluginDiagnostics
