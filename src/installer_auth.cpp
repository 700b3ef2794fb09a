#include "installer_auth.h"

#include "installer_auth_internal.h"

#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {
// The shell wrapper's first line names its process id, so that the macOS
// call, which does not report its child, can still reap it.
const std::string kPidMarker = "zrvk-pid ";
}  // namespace

long AuthBackend::shellPid(const std::string& raw) {
    if (raw.compare(0, kPidMarker.size(), kPidMarker) != 0) return -1;
    const std::string::size_type end = raw.find('\n');
    const std::string digits = raw.substr(kPidMarker.size(), end == std::string::npos ? end : end - kPidMarker.size());
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stol(digits);
}

namespace {

using namespace AuthBackend;
using AuthRef = AuthBackend::Ref;

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
    int status = AuthBackend::copyAdminRights(ref);
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

// The shell wrapper sets its own umask (what root makes must not depend on
// the caller's), names its process id on a first line, runs the command
// line with its standard error captured, then prints that error text and the
// command line's exit status on last lines of their own: the platform call
// reports neither, a chain joined with && that stopped at a failing command
// must not count as done, and a failure must say why in the log.
const char* const kStatusWrapper =
    "umask 022; printf 'zrvk-pid %d\\n' $$; exec 3>&1; "
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
    int status = AuthBackend::runShell(ref, args, raw, gotPipe);
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

    int status = AuthBackend::create(&g_authRef);
    if (status != 0) {
        logError("Failed to create authorization reference (error code: " + std::to_string(status) + ")", error);
        g_authRef = nullptr;
        return false;
    }

    std::cout << "[AUTH] Requesting user authorization (password dialog)..." << std::endl;
    if (!requestRights(g_authRef, error)) {
        AuthBackend::release(g_authRef);
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
    AuthBackend::release(g_authRef);
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
    int status = AuthBackend::create(&ref);
    if (status != 0) {
        logError("Failed to create authorization reference (error code: " + std::to_string(status) + ")", error);
        return false;
    }
    std::cout << "[AUTH] Requesting user authorization..." << std::endl;
    if (!requestRights(ref, error)) {
        AuthBackend::release(ref);
        return false;
    }
    std::cout << "[AUTH] Authorization granted, executing command" << std::endl;
    bool ok = executeWithAuthRef(ref, command, output, error);
    if (ok) std::cout << "[AUTH] Command executed successfully" << std::endl;
    AuthBackend::release(ref);
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

std::string realFolderTest(const std::string& path) {
    const std::string q = "\"" + path + "\"";
    return "test -d " + q + " && ! test -L " + q;
}

std::string ownedFolderTest(const std::string& path) { return realFolderTest(path) + " && test -O \"" + path + "\""; }

std::vector<std::string> ownedFolderCommands(const std::string& path, const std::string& mode) {
    const std::string q = "\"" + path + "\"";
    const std::string owned = ownedFolderTest(path);
    return {"{ " + owned + " || rm -rf " + q + "; }", "{ test -d " + q + " || mkdir " + q + "; }", owned,
            "chmod " + mode + " " + q};
}
