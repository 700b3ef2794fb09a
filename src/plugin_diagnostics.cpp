#include "plugin_diagnostics.h"

#include "installer_config.h"
#include "installer_utils.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#else
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    readRegularFile(path, MAX_RESOURCE_FILE_SIZE, bytes);
    return bytes;
}

#ifndef _WIN32
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
    int exitCode = -1;  // -1 unless the program exited by itself in time
    std::string output;
};

// The signing tools of a broken or slow volume can hang: each run has this
// long before it is stopped and counted as failed.
constexpr std::chrono::milliseconds kToolTimeLimit{30000};
#ifdef ZRVK_TESTING
std::chrono::milliseconds g_toolTimeLimit = kToolTimeLimit;
std::chrono::milliseconds toolTimeLimit() { return g_toolTimeLimit; }
#else
std::chrono::milliseconds toolTimeLimit() { return kToolTimeLimit; }
#endif

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Reads the program's output until it closes it or the time is up; false when the time ran out.
bool readUntil(int fd, std::string& output, Clock::time_point deadline) {
    char buffer[256];
    for (;;) {
        struct pollfd ready = {fd, POLLIN, 0};
        const int polled = poll(&ready, 1, millisecondsUntil(deadline));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return polled < 0;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return true;
        }
    }
}

// The program's wait status, once it ended; when the time runs out first its
// whole process group is killed and false returned.
bool waitUntil(pid_t pid, int& status, Clock::time_point deadline) {
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return false;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
}

// Runs a program found on PATH with an argument vector (no shell sees the
// plug-in's path), in a process group of its own so that it can be stopped
// whole. With `capture`, standard output and standard error come back
// together, as codesign writes its details to standard error; otherwise both
// are discarded.
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
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (capture) close(fds[1]);
    if (spawned != 0) {
        if (capture) close(fds[0]);
        return result;
    }
    result.started = true;
    const Clock::time_point deadline = Clock::now() + toolTimeLimit();
    bool inTime = true;
    if (capture) {
        inTime = readUntil(fds[0], result.output, deadline);
        close(fds[0]);
    }
    int status = 0;
    inTime = waitUntil(pid, status, inTime ? deadline : Clock::now()) && inTime;
    if (!inTime) {
        std::cout << "[DIAGNOSTICS] " << args[0] << " did not finish in time, counted as failed" << std::endl;
        return result;
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
// Depth first in listing order. Links are never followed: a link may lead
// out of the folder (and anywhere on the machine), back up into a loop, or
// to the maker's own folder under another name.
void scanDirectoryMac(const std::string& dir, std::vector<PluginInfo>& out) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) continue;
        if (name.size() >= 8 && endsWith(name, ".plugin")) {
            addPlugin(parsePluginMac(path), path, out);
        } else if (S_ISDIR(info.st_mode)) {
            scanDirectoryMac(path, out);
        }
    }
    closedir(listing);
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
    if (isOnPath("xattr") && runProgram({"xattr", "-p", "com.apple.quarantine", path}, false).exitCode == 0) {
        std::cout << "[DIAGNOSTICS]   -> QUARANTINED" << std::endl;
        return SIGNATURE_QUARANTINED;
    }
    if (!isOnPath("codesign")) {
        std::cout << "[DIAGNOSTICS]   -> UNKNOWN (codesign not found)" << std::endl;
        return SIGNATURE_UNKNOWN;
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

#if defined(ZRVK_TESTING) && !defined(_WIN32)
void setToolTimeLimitForTesting(std::chrono::milliseconds limit) { g_toolTimeLimit = limit; }
#endif

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
