// The authorization backend under the session code of installer_auth.cpp:
// create a reference, obtain the admin right, run /bin/sh with it and read
// its output, free the reference. macOS: Authorization Services
// (installer_auth_mac.cpp); Linux: our own (installer_auth_linux.cpp).
#pragma once

#include <string>

namespace AuthBackend {

// The platform's reference, as an opaque pointer.
using Ref = void*;

// Status codes of the authorization service that the session code tells apart.
constexpr int kAuthDenied = -60005;
constexpr int kAuthCanceled = -60006;
constexpr int kAuthInteractionNotAllowed = -60007;

int create(Ref* ref);
int copyAdminRights(Ref ref);
// args: the shell's arguments after its own name, null-terminated. 0 when the
// shell ran; its output (when there is a pipe) goes to output.
int runShell(Ref ref, const char* const* args, std::string& output, bool& gotPipe);
void release(Ref ref);

// The process id from the shell wrapper's first line; -1 when there is none.
long shellPid(const std::string& raw);

}  // namespace AuthBackend
