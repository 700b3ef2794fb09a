// Administrator rights for the POSIX programs: one process-wide session and
// shell command lines run with it. The Windows program runs elevated and has
// no counterpart.
#pragma once

#include <string>
#include <vector>

// Administrator rights for a worker (the installation, the uninstall), asked
// for under its banner; a session still held, such as the one start-up took,
// is reused. On refusal the reason goes to error and a tagged log line.
#ifdef _WIN32
// The Windows program runs elevated from the start.
inline bool acquireWorkerRights(const char*, std::string&) { return true; }
inline void releaseWorkerRights() {}
#else
bool acquireWorkerRights(const char* tag, std::string& error);
void releaseWorkerRights();
#endif

#ifndef _WIN32

// True when a session is held afterwards; the reason goes to *error otherwise.
bool acquireAuthorizationSession(std::string* error);
void releaseAuthorizationSession();
bool hasAuthorizationSession();

// Runs one command line through /bin/sh with administrator rights, in the held
// session or through a one-time authorization. True only when the line ran and
// exited with status 0; its standard output goes to *output and each line of
// its standard error to the log as an "[AUTH] " line.
bool executeWithAuthorization(const std::string& command, std::string* output, std::string* error);

// Joins the commands with " && " and runs them as one command line.
bool executeMultipleWithAuthorization(const std::vector<std::string>& commands, std::string* error);

bool setOwnershipAndPermissions(const std::string& path, const std::string& owner, const std::string& permissions,
                                bool recursive);

// Commands of a chain that succeed when `path` is a real folder (not a
// link), and when it is also owned by the chain's own user.
std::string realFolderTest(const std::string& path);
std::string ownedFolderTest(const std::string& path);
// Commands of a chain that leave `path` a real folder owned by the chain's
// own user, with `mode`. Whatever else stands there (a link, another user's
// entry) is removed first, never followed; one that appears meanwhile fails
// the chain. The folder's parent must exist.
std::vector<std::string> ownedFolderCommands(const std::string& path, const std::string& mode);

// The owner given to installed folders: root:wheel on macOS, root:root on
// Linux as root, the process's own uid:gid in a sandbox without root.
std::string privilegedOwner();
// The user that privileged commands run as: root on macOS and as root on
// Linux, the process's own user in a sandbox without root.
unsigned privilegedUid();

#ifndef __APPLE__
// Seams that the tests set, of the Linux backend.
namespace AuthTesting {
// Makes every rights request answer with this status (0 restores the real decision).
void forceRightsStatus(int status);
// Decides as if the effective uid and the sandbox root were these (-1: the real ones).
void pretendIdentity(int effectiveUid, int sandboxed);
void reset();
// Counters since the last reset.
int rightsRequests();
int referencesCreated();
int referencesFreed();
// The process id that the last privileged shell named on its first line.
long lastShellPid();
}  // namespace AuthTesting
#endif

#endif  // !_WIN32
