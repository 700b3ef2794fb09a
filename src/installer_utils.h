// Version, file and process utilities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

bool isNewerVersion(const std::string& a, const std::string& b);
// The first line of dir + "/version.txt", empty when it is not a regular
// file of at most a few KiB (other users can create folders where a
// component is not installed yet, and put a pipe or a device there).
std::string readVersionFile(const std::string& dir);
// The whole content of a regular file of at most `limit` bytes. Anything
// else (a pipe, a device, a folder, a larger file) is not read: false.
bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes);
#ifndef _WIN32
// The same for a descriptor opened for reading (non-blocking); the caller closes it.
bool readRegularDescriptor(int fd, std::size_t limit, std::vector<std::uint8_t>& bytes);
// Writes all of data to the descriptor, through short writes and signals.
bool writeAll(int fd, const char* data, std::size_t size);
#endif
// Replaces whatever is at dir + "/version.txt" (the entry itself, never what
// it names) with a new file holding the version.
bool writeVersionFile(const std::string& dir, const std::string& version);
// Removes the entry at path, whatever it is (a link, a folder), without
// following it, then creates a new file there holding content: true when
// written whole. Nothing else can be in its place when it is created.
bool replaceWithNewFile(const std::string& path, const std::string& content);
bool createDirectory(const std::string& path);
// One folder; true when it is there afterwards (made now or before).
bool makeFolder(const std::string& path);
// Makes each missing folder of path in turn, splitting at any of
// `separators` after the first character; false at the first folder that
// cannot be made, named in *failed when given.
bool makeFolderTree(const std::string& path, const char* separators, std::string* failed);

// One entry of a folder, as the folder itself tells it: a link is never followed.
struct FolderEntry {
    std::string name;
    bool isFolder = false;
    bool isLink = false;  // a symbolic link, or on Windows any reparse point
};
// The entries of a folder, "." and ".." left out, in listing order; false
// when it cannot be listed.
bool listFolder(const std::string& path, std::vector<FolderEntry>& entries);
bool pathExists(const std::string& path);
#ifndef _WIN32
bool removeDirectory(const std::string& path);
// True when, from `anchor` (itself included) down to `path`, nothing is a
// link and every folder belongs to the user `owner`; the last component may
// be a file of anyone. Whatever does not exist has nothing to follow. Other
// users may create entries in shared folders, so a path's text proves nothing.
bool isOwnedOnDisk(const std::string& path, const std::string& anchor, unsigned owner);
#endif
std::string getTempDirectory();
int executeCommandSilent(const std::string& command);
bool deletePath(const std::string& path);
bool copyDirectory(const std::string& src, const std::string& dst);
#ifdef _WIN32
// Puts a copy of each source (a file or a folder) at its target, replacing
// what is there, or changes no target: each copy is made beside its target
// under a fresh name, and only once every copy is complete are the targets
// renamed aside, the copies renamed in and what was aside removed. A failed
// rename renames back what was renamed.
bool replaceWithCopies(const std::vector<std::pair<std::string, std::string>>& sourceAndTarget);
#endif
bool killProcessByName(const std::string& name);
bool launchMRVServer();
// The Python text that the render engine's interpreter runs to start the server.
std::string serverLauncherScript();
bool isHostAppRunning();

// True for the characters that cmd.exe or PowerShell give a meaning of their
// own inside the Windows command lines built here: ' % ! ^ & | < > ;
bool isWindowsCommandSpecial(unsigned char c);
// A path that may go between double quotes into a cmd.exe line: no quote,
// wildcard (* ?), control character or character of isWindowsCommandSpecial,
// except the apostrophe (user names hold it; PowerShell gets it doubled).
bool isSafeWindowsCommandPath(const std::string& path);
// A path that goes between double quotes into a shell command: non-empty,
// no quote, "$", backquote, backslash or control character.
bool isShellSafePath(const std::string& path);
