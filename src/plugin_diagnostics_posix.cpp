// Diagnostics on macOS (and Linux): the bundles' resource files and the
// signature test with xattr and codesign, started without a shell.
#include "plugin_diagnostics.h"

#include "installer_utils.h"
#include "plugin_diagnostics_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace PluginDiagnostics {

namespace {

uint32_t bigEndianWord(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

int openFolderAt(int parent, const char* name) {
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The first entry of the open folder named "<something>.rsrc"; empty when there is none.
std::string firstResourceName(int folder) {
    const int listed = fcntl(folder, F_DUPFD_CLOEXEC, 0);  // closedir closes it
    if (listed < 0) return "";
    DIR* dir = fdopendir(listed);
    if (dir == nullptr) {
        ::close(listed);
        return "";
    }
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() >= 6 && endsWith(name, ".rsrc")) {
            found = name;
            break;
        }
    }
    closedir(dir);
    return found;
}

// The bundle's resource file, reached from the bundle's folder one component
// at a time by no-follow opens: a link anywhere in the bundle (Contents,
// Resources or the file itself) could lead to any file of the user, whose
// records would go out in the inventory; it reads as absent.
std::vector<uint8_t> readResourceFile(const std::string& bundlePath) {
    std::vector<uint8_t> bytes;
    int folder = openFolderAt(AT_FDCWD, bundlePath.c_str());
    for (const char* name : {"Contents", "Resources"}) {
        if (folder < 0) return bytes;
        const int inner = openFolderAt(folder, name);
        ::close(folder);
        folder = inner;
    }
    if (folder < 0) return bytes;
    const std::string name = firstResourceName(folder);
    const int file = name.empty() ? -1 : ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(folder);
    if (file < 0) return bytes;
    readRegularDescriptor(file, MAX_RESOURCE_FILE_SIZE, bytes);
    ::close(file);
    return bytes;
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
std::chrono::milliseconds g_toolTimeLimit = kToolTimeLimit;

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
    const Clock::time_point deadline = Clock::now() + g_toolTimeLimit;
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

}  // namespace

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
    scanMacRecords(readResourceFile(bundlePath), info);
    return info;
}

void setToolTimeLimitForTesting(std::chrono::milliseconds limit) { g_toolTimeLimit = limit; }

namespace Platform {

extern const char* const PATH_SEPARATOR = "/";

// A bundle is read, never entered, whatever it holds.
bool isPluginEntry(const FolderEntry& entry) { return entry.name.size() >= 8 && endsWith(entry.name, ".plugin"); }

PluginInfo readPlugin(const std::string& path) { return parsePluginMac(path); }

int signatureStatusOf(const std::string& path) { return checkPluginSignature(path); }

}  // namespace Platform

}  // namespace PluginDiagnostics
