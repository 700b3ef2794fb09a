// Administrator rights on Linux, our own backend with the same operations:
// root runs commands directly; a sandboxed build without root runs them as
// the current user; anything else cannot ask anyone and is refused, as
// macOS refuses when it may not show its dialog. Tests force a refusal or a
// cancel through AuthTesting.
#include "installer_auth.h"
#include "installer_auth_internal.h"

#include "installer_config.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace {

int g_forcedRightsStatus = 0;
int g_pretendUid = -1;
int g_pretendSandboxed = -1;
int g_rightsRequests = 0;
int g_referencesCreated = 0;
int g_referencesFreed = 0;
long g_lastShellPid = -1;

}  // namespace

namespace AuthBackend {

constexpr int kAuthToolExecuteFailure = -60031;

struct LinuxAuthorization {
    bool granted = false;
};

int create(Ref* ref) {
    *ref = new LinuxAuthorization;
    ++g_referencesCreated;
    return 0;
}

int copyAdminRights(Ref opaque) {
    auto* ref = static_cast<LinuxAuthorization*>(opaque);
    ++g_rightsRequests;
    if (g_forcedRightsStatus != 0) return g_forcedRightsStatus;
    const bool isRoot = g_pretendUid >= 0 ? g_pretendUid == 0 : geteuid() == 0;
    const bool sandboxed = g_pretendSandboxed >= 0 ? g_pretendSandboxed != 0 : !InstallerConfig::ROOT_PREFIX.empty();
    if (!isRoot && !sandboxed) return kAuthInteractionNotAllowed;
    ref->granted = true;
    return 0;
}

int runShell(Ref opaque, const char* const* args, std::string& output, bool& gotPipe) {
    auto* ref = static_cast<LinuxAuthorization*>(opaque);
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

void release(Ref ref) {
    ++g_referencesFreed;
    delete static_cast<LinuxAuthorization*>(ref);
}

}  // namespace AuthBackend

std::string privilegedOwner() {
    if (geteuid() == 0) return "root:root";
    return std::to_string(geteuid()) + ":" + std::to_string(getegid());
}

unsigned privilegedUid() { return geteuid(); }

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
