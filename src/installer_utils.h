// Version, file and process utilities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

bool isNewerVersion(const std::string& a, const std::string& b);
// The first line of dir + "/version.txt", empty when it is not a regular
// file of at most a few KiB (other users can create folders where a
// component is not installed yet, and put a pipe or a device there).
std::string readVersionFile(const std::string& dir);
// The whole content of a regular file of at most `limit` bytes. Anything
// else (a pipe, a device, a folder, a larger file) is not read: false.
bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes);
bool writeVersionFile(const std::string& dir, const std::string& version);
bool createDirectory(const std::string& path);
bool pathExists(const std::string& path);
#ifndef _WIN32
bool removeDirectory(const std::string& path);
#endif
std::string getTempDirectory();
int executeCommandSilent(const std::string& command);
bool deletePath(const std::string& path);
bool copyDirectory(const std::string& src, const std::string& dst);
bool killProcessByName(const std::string& name);
bool launchMRVServer();
bool isHostAppRunning();

// True for the characters that cmd.exe or PowerShell give a meaning of their
// own inside the Windows command lines built here: ' % ! ^ & | < > ;
bool isWindowsCommandSpecial(unsigned char c);
// A path that may go between double quotes into a cmd.exe line: no quote,
// wildcard (* ?), control character or character of isWindowsCommandSpecial,
// except the apostrophe (user names hold it; PowerShell gets it doubled).
bool isSafeWindowsCommandPath(const std::string& path);

// The body of a string literal: valid UTF-8 kept as it is; backslash, quote and
// control characters escaped; invalid UTF-8 replaced by U+FFFD. A script's
// literal also escapes the single quote and U+2028/U+2029.
enum class EscapeFor { Json, Script };
std::string escapeStringBody(const std::string& text, EscapeFor target);
// The body of a JSON string: valid UTF-8 kept as it is, quote, backslash and
// control bytes escaped, invalid UTF-8 replaced by U+FFFD, so a name read from
// disk comes back from the page unchanged.
std::string escapeJsonText(const std::string& text);
// The text with each invalid UTF-8 byte replaced by U+FFFD: what a reader of
// escapeJsonText's output gets back.
std::string withValidUtf8(const std::string& text);
