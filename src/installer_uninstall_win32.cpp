// The uninstall on Windows: the program runs elevated and removes through
// cmd.exe, never through a link or a ProgramData folder of another user.
#include "installer_uninstall.h"

#include "installer_config.h"
#include "installer_uninstall_internal.h"
#include "installer_utils.h"
#include "program_data_folders.h"
#include "windows_command.h"

#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

using InstallerConfig::Paths::PLUGINS_DIR;
using InstallerConfig::Paths::RENDER_ENGINE_DIR;

namespace InstallerUninstall {

namespace Platform {

extern const char PATH_SEPARATOR = '\\';

bool isDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isRegularFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A folder that cannot be listed has no plug-ins.
bool listPluginsFolder(std::vector<std::string>& names) {
    std::vector<FolderEntry> entries;
    listFolder(PLUGINS_DIR, entries);
    for (const FolderEntry& entry : entries) names.push_back(entry.name);
    return true;
}

PluginDiagnostics::PluginInfo readPluginResources(const std::string& path) {
    return PluginDiagnostics::parsePluginWin(path);
}

// The render engine's own folder: the one above it is the brand folder,
// which also holds the server and the plug-in components.
std::string renderEngineRoot() { return RENDER_ENGINE_DIR; }

std::string logsFolder() { return ProgramDataFolders::ROOT + "/Logs"; }

// Backslashes are separators here, not escapes: check the path as written with slashes.
std::string checkedForm(const std::string& path) {
    std::string checked = path;
    for (char& c : checked) {
        if (c == '\\') c = '/';
    }
    return checked;
}

// cmd.exe expands %NAME% even between quotes.
bool isSafeInCommand(const std::string& path) { return isSafeWindowsCommandPath(path); }

// The ProgramData folders on the way are checked by the removal itself.
bool isSafeOnDisk(const std::string&, const std::string&) { return true; }

// cmd's own exit code is not trusted alone: the path must be gone too. A
// link is taken away itself and never entered (rmdir /s would empty what it
// leads to), and nothing is removed through a ProgramData folder that is a
// link or another user's.
bool runRemoval(const std::string& path) {
    if (!ProgramDataFolders::mayRemove(path)) return false;
    const std::wstring wide = WindowsCommand::widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        std::cout << "[UNINSTALL] Removing the link itself: " << path << std::endl;
        return ProgramDataFolders::removeLink(path) && !pathExists(path);
    }
    const int code = WindowsCommand::run(WindowsCommand::removalCommand(wide));
    return code == 0 && !pathExists(path);
}

}  // namespace Platform

}  // namespace InstallerUninstall
