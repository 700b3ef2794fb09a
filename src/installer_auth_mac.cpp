// Administrator rights on macOS: Authorization Services.
#include "installer_auth.h"
#include "installer_auth_internal.h"

#include <Security/Authorization.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace AuthBackend {

int create(Ref* ref) {
    AuthorizationRef made = nullptr;
    const int status = AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment, kAuthorizationFlagDefaults, &made);
    *ref = const_cast<void*>(static_cast<const void*>(made));
    return status;
}

int copyAdminRights(Ref ref) {
    AuthorizationItem item = {"system.privilege.admin", 0, nullptr, 0};
    AuthorizationRights rights = {1, &item};
    AuthorizationFlags flags =
        kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights | kAuthorizationFlagPreAuthorize;
    return AuthorizationCopyRights(static_cast<AuthorizationRef>(ref), &rights, kAuthorizationEmptyEnvironment, flags, nullptr);
}

int runShell(Ref ref, const char* const* args, std::string& output, bool& gotPipe) {
    FILE* pipe = nullptr;
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    OSStatus status = AuthorizationExecuteWithPrivileges(static_cast<AuthorizationRef>(ref), "/bin/sh", kAuthorizationFlagDefaults,
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

void release(Ref ref) { AuthorizationFree(static_cast<AuthorizationRef>(ref), kAuthorizationFlagDefaults); }

}  // namespace AuthBackend

std::string privilegedOwner() { return "root:wheel"; }
unsigned privilegedUid() { return 0; }
