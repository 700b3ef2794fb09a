#include "installer_auth.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include <sys/wait.h>

#ifdef __APPLE__
#include <Security/Authorization.h>
#else
#include <fcntl.h>
#include <spawn.h>

#include "installer_config.h"

extern char** environ;
#endif

namespace {

// The shell wrapper's first line names its process id, so that the macOS
// call, which does not report its child, can still reap it.
const std::string kPidMarker = "zrvk-pid ";

// The process id from the wrapper's first line; -1 when there is none.
long shellPid(const std::string& raw) {
    if (raw.compare(0, kPidMarker.size(), kPidMarker) != 0) return -1;
    const std::string::size_type end = raw.find('\n');
    const std::string digits = raw.substr(kPidMarker.size(), end == std::string::npos ? end : end - kPidMarker.size());
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stol(digits);
}

// Status codes of the authorization service that this file tells apart.
constexpr int kAuthDenied = -60005;
constexpr int kAuthCanceled = -60006;
constexpr int kAuthInteractionNotAllowed = -60007;

// ---------------------------------------------------------------------------
// Authorization backend: create a reference, obtain the admin right, run
// /bin/sh with it and read its output, free the reference.
// ---------------------------------------------------------------------------
#ifdef __APPLE__

using AuthRef = AuthorizationRef;

int backendCreate(AuthRef* ref) {
    return AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment, kAuthorizationFlagDefaults, ref);
}

int backendCopyAdminRights(AuthRef ref) {
    AuthorizationItem item = {"system.privilege.admin", 0, nullptr, 0};
    AuthorizationRights rights = {1, &item};
    AuthorizationFlags flags =
        kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights | kAuthorizationFlagPreAuthorize;
    return AuthorizationCopyRights(ref, &rights, kAuthorizationEmptyEnvironment, flags, nullptr);
}

// args: the shell's arguments after its own name, null-terminated.
int backendRunShell(AuthRef ref, const char* const* args, std::string& output, bool& gotPipe) {
    FILE* pipe = nullptr;
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    OSStatus status = AuthorizationExecuteWithPrivileges(ref, "/bin/sh", kAuthorizationFlagDefaults,
                                                         const_cast<char* const*>(args), &pipe);
#pragma clang diagnostic pop
    if (status != errAuthorizationSuccess) return status;
    gotPipe = pipe != nullptr;
    if (!pipe) return 0;
    char buffer[128];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
    fclose(pipe);
    // The platform call forks a child it never waits for: reap it here.
    const long pid = shellPid(output);
    if (pid > 0) {
        while (waitpid(static_cast<pid_t>(pid), nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    return 0;
}

void backendFree(AuthRef ref) { AuthorizationFree(ref, kAuthorizationFlagDefaults); }

#else  // Linux

// Root runs commands directly; a sandboxed build without root runs them as
// the current user; anything else cannot ask anyone and is refused.
constexpr int kAuthToolExecuteFailure = -60031;

struct LinuxAuthorization {
    bool granted = false;
};
using AuthRef = LinuxAuthorization*;

int g_forcedRightsStatus = 0;
int g_pretendUid = -1;
int g_pretendSandboxed = -1;
int g_rightsRequests = 0;
int g_referencesCreated = 0;
int g_referencesFreed = 0;
long g_lastShellPid = -1;

int backendCreate(AuthRef* ref) {
    *ref = new LinuxAuthorization;
    ++g_referencesCreated;
    return 0;
}

int backendCopyAdminRights(AuthRef ref) {
    ++g_rightsRequests;
    if (g_forcedRightsStatus != 0) return g_forcedRightsStatus;
    const bool isRoot = g_pretendUid >= 0 ? g_pretendUid == 0 : geteuid() == 0;
    const bool sandboxed = g_pretendSandboxed >= 0 ? g_pretendSandboxed != 0 : !InstallerConfig::ROOT_PREFIX.empty();
    if (!isRoot && !sandboxed) return kAuthInteractionNotAllowed;
    ref->granted = true;
    return 0;
}

int backendRunShell(AuthRef ref, const char* const* args, std::string& output, bool& gotPipe) {
    if (ref == nullptr || !ref->granted) return kAuthDenied;

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("/bin/sh"));
    for (const char* const* a = args; *a != nullptr; ++a) argv.push_back(const_cast<char*>(*a));
    argv.push_back(nullptr);

    // Close-on-exec, so no other child started meanwhile keeps the pipe open.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return kAuthToolExecuteFailure;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return kAuthToolExecuteFailure;
    }

    char buffer[4096];
    for (;;) {
        ssize_t n = read(fds[0], buffer, sizeof(buffer));
        if (n > 0) {
            output.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    g_lastShellPid = shellPid(output);
    gotPipe = true;
    return 0;
}

void backendFree(AuthRef ref) {
    ++g_referencesFreed;
    delete ref;
}

#endif

// ---------------------------------------------------------------------------
// Session and command execution
// ---------------------------------------------------------------------------

// One lock for the session values and the commands run with them, so a
// release from another thread never frees a reference that is in use.
std::mutex g_authMutex;
AuthRef g_authRef = nullptr;
bool g_authAcquired = false;

void logError(const std::string& message, std::string* error) {
    std::cerr << "[AUTH] " << message << std::endl;
    if (error) *error = message;
}

// Asks for the admin right on ref; on refusal logs and stores the reason.
bool requestRights(AuthRef ref, std::string* error) {
    int status = backendCopyAdminRights(ref);
    if (status == 0) return true;
    std::string message;
    switch (status) {
    case kAuthCanceled:
        message = "Authorization was cancelled by user";
        std::cout << "[AUTH] " << message << std::endl;
        if (error) *error = message;
        return false;
    case kAuthDenied:
        message = "Authorization was denied - incorrect password or insufficient privileges";
        break;
    case kAuthInteractionNotAllowed:
        message = "Authorization interaction not allowed (error code: " + std::to_string(status) + ")";
        break;
    default:
        message = "Authorization failed (error code: " + std::to_string(status) + ")";
        break;
    }
    logError(message, error);
    return false;
}

// The shell wrapper names its process id on a first line, runs the command
// line with its standard error captured, then prints that error text and the
// command line's exit status on last lines of their own: the platform call
// reports neither, a chain joined with && that stopped at a failing command
// must not count as done, and a failure must say why in the log.
const char* const kStatusWrapper =
    "printf 'zrvk-pid %d\\n' $$; exec 3>&1; "
    "zrvk_err=$( (eval \"$1\") 2>&1 1>&3 3>&-; printf '\\nzrvk-exit-status %d\\n' \"$?\" ); "
    "printf '\\nzrvk-stderr\\n%s\\n' \"$zrvk_err\"";
const std::string kStderrMarker = "\nzrvk-stderr\n";
const std::string kStatusMarker = "\nzrvk-exit-status ";

// What the wrapper printed, taken apart.
struct ShellReport {
    std::string output;
    std::string errorText;
    int exitStatus = -1;  // -1: not reported
};

ShellReport readShellReport(std::string raw) {
    ShellReport report;
    if (shellPid(raw) > 0) raw.erase(0, raw.find('\n') + 1);
    const std::string::size_type status = raw.rfind(kStatusMarker);
    const std::string::size_type stderrAt =
        status == std::string::npos || status == 0 ? std::string::npos : raw.rfind(kStderrMarker, status - 1);
    if (status == std::string::npos || stderrAt == std::string::npos) {
        report.output = raw;
        return report;
    }
    report.output = raw.substr(0, stderrAt);
    const std::string::size_type errorStart = stderrAt + kStderrMarker.size();
    report.errorText = status > errorStart ? raw.substr(errorStart, status - errorStart) : std::string();
    std::string tail = raw.substr(status + kStatusMarker.size());
    if (!tail.empty() && tail.back() == '\n') tail.pop_back();
    if (!tail.empty() && tail.back() == '\n') tail.pop_back();
    if (!tail.empty() && tail.size() < 6 && tail.find_first_not_of("0123456789") == std::string::npos) {
        report.exitStatus = std::stoi(tail);
    }
    return report;
}

// Each line the command line wrote to its standard error, as a log line.
void logShellErrors(const std::string& text) {
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) std::cerr << "[AUTH] " << text.substr(start, end - start) << std::endl;
        start = end + 1;
    }
}

bool executeWithAuthRef(AuthRef ref, const std::string& command, std::string* output, std::string* error) {
    const char* args[] = {"-c", kStatusWrapper, "sh", command.c_str(), nullptr};
    std::string raw;
    bool gotPipe = false;
    int status = backendRunShell(ref, args, raw, gotPipe);
    if (status != 0) {
        logError("Failed to execute command with privileges (error code: " + std::to_string(status) + ")", error);
        return false;
    }

    const ShellReport report = gotPipe ? readShellReport(raw) : ShellReport{};
    if (output) *output = report.output;
    logShellErrors(report.errorText);
    if (report.exitStatus < 0) {
        logError("Privileged command did not report its exit status", error);
        return false;
    }
    if (report.exitStatus != 0) {
        logError("Privileged command failed (exit status: " + std::to_string(report.exitStatus) + ")", error);
        return false;
    }
    return true;
}

}  // namespace

bool acquireAuthorizationSession(std::string* error) {
    std::lock_guard<std::mutex> lock(g_authMutex);
    if (g_authAcquired && g_authRef != nullptr) {
        std::cout << "[AUTH] Using existing authorization session" << std::endl;
        return true;
    }
    std::cout << "[AUTH] Acquiring authorization session..." << std::endl;

    int status = backendCreate(&g_authRef);
    if (status != 0) {
        logError("Failed to create authorization reference (error code: " + std::to_string(status) + ")", error);
        g_authRef = nullptr;
        return false;
    }

    std::cout << "[AUTH] Requesting user authorization (password dialog)..." << std::endl;
    if (!requestRights(g_authRef, error)) {
        backendFree(g_authRef);
        g_authRef = nullptr;
        return false;
    }

    g_authAcquired = true;
    std::cout << "[AUTH] Authorization session acquired successfully" << std::endl;
    return true;
}

void releaseAuthorizationSession() {
    std::lock_guard<std::mutex> lock(g_authMutex);
    if (g_authRef == nullptr) return;
    std::cout << "[AUTH] Releasing authorization session" << std::endl;
    backendFree(g_authRef);
    g_authRef = nullptr;
    g_authAcquired = false;
}

bool hasAuthorizationSession() {
    std::lock_guard<std::mutex> lock(g_authMutex);
    return g_authRef != nullptr && g_authAcquired;
}

bool acquireWorkerRights(const char* tag, std::string& error) {
    std::cout << "\n=== Requesting Administrator Access ===" << std::endl;
    if (acquireAuthorizationSession(&error)) return true;
    std::cerr << tag << " Failed to acquire authorization: " << error << std::endl;
    return false;
}

void releaseWorkerRights() { releaseAuthorizationSession(); }

bool executeWithAuthorization(const std::string& command, std::string* output, std::string* error) {
    std::lock_guard<std::mutex> lock(g_authMutex);
    if (g_authAcquired && g_authRef != nullptr) {
        std::cout << "[AUTH] Executing command with existing session" << std::endl;
        bool ok = executeWithAuthRef(g_authRef, command, output, error);
        if (ok) std::cout << "[AUTH] Command executed successfully" << std::endl;
        return ok;
    }

    std::cout << "[AUTH] No session, requesting authorization for command" << std::endl;
    AuthRef ref = nullptr;
    int status = backendCreate(&ref);
    if (status != 0) {
        logError("Failed to create authorization reference (error code: " + std::to_string(status) + ")", error);
        return false;
    }
    std::cout << "[AUTH] Requesting user authorization..." << std::endl;
    if (!requestRights(ref, error)) {
        backendFree(ref);
        return false;
    }
    std::cout << "[AUTH] Authorization granted, executing command" << std::endl;
    bool ok = executeWithAuthRef(ref, command, output, error);
    if (ok) std::cout << "[AUTH] Command executed successfully" << std::endl;
    backendFree(ref);
    return ok;
}

bool executeMultipleWithAuthorization(const std::vector<std::string>& commands, std::string* error) {
    if (commands.empty()) return true;
    std::cout << "[AUTH] Executing " << commands.size() << " commands with authorization" << std::endl;
    std::string joined;
    for (size_t i = 0; i < commands.size(); ++i) {
        if (i > 0) joined += " && ";
        joined += commands[i];
    }
    return executeWithAuthorization(joined, nullptr, error);
}

bool setOwnershipAndPermissions(const std::string& path, const std::string& owner, const std::string& permissions,
                                bool recursive) {
    std::cout << "[AUTH] Setting ownership and permissions:" << std::endl;
    std::cout << "[AUTH]   Path: " << path << std::endl;
    std::cout << "[AUTH]   Owner: " << owner << std::endl;
    std::cout << "[AUTH]   Permissions: " << permissions << std::endl;
    std::cout << "[AUTH]   Recursive: " << (recursive ? "yes" : "no") << std::endl;
    const std::string flag = recursive ? "-R " : "";
    std::vector<std::string> commands = {
        "chown " + flag + owner + " \"" + path + "\"",
        "chmod " + flag + permissions + " \"" + path + "\"",
    };
    return executeMultipleWithAuthorization(commands, nullptr);
}

std::string privilegedOwner() {
#ifdef __APPLE__
    return "root:wheel";
#else
    if (geteuid() == 0) return "root:root";
    return std::to_string(geteuid()) + ":" + std::to_string(getegid());
#endif
}

unsigned privilegedUid() {
#ifdef __APPLE__
    return 0;
#else
    return geteuid();
#endif
}

#if defined(ZRVK_TESTING) && !defined(__APPLE__)
namespace AuthTesting {
void forceRightsStatus(int status) { g_forcedRightsStatus = status; }
void pretendIdentity(int effectiveUid, int sandboxed) {
    g_pretendUid = effectiveUid;
    g_pretendSandboxed = sandboxed;
}
void reset() {
    releaseAuthorizationSession();
    g_forcedRightsStatus = 0;
    g_pretendUid = -1;
    g_pretendSandboxed = -1;
    g_rightsRequests = 0;
    g_referencesCreated = 0;
    g_referencesFreed = 0;
    g_lastShellPid = -1;
}
int rightsRequests() { return g_rightsRequests; }
int referencesCreated() { return g_referencesCreated; }
int referencesFreed() { return g_referencesFreed; }
long lastShellPid() { return g_lastShellPid; }
}  // namespace AuthTesting
#endif
