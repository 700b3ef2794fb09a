// What the uninstall's shared code asks of each platform; the bodies are in
// installer_uninstall_posix.cpp and installer_uninstall_win32.cpp.
#pragma once

#include "installer_uninstall.h"
#include "plugin_diagnostics.h"

#include <string>
#include <vector>

namespace InstallerUninstall {

namespace Platform {

extern const char PATH_SEPARATOR;

bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
// The names in PLUGINS_DIR, in listing order; false when there is nothing to scan.
bool listPluginsFolder(std::vector<std::string>& names);
PluginDiagnostics::PluginInfo readPluginResources(const std::string& path);
// The folder that a render-engine removal takes away.
std::string renderEngineRoot();
// The logs folder that the user-data removal takes away.
std::string logsFolder();
// The path as the checks see it.
std::string checkedForm(const std::string& path);
// Nothing in the path can end its quotes or expand in a removal command.
bool isSafeInCommand(const std::string& path);
// What stands below `anchor` on the way to `path` may be acted on (checked on disk).
bool isSafeOnDisk(const std::string& path, const std::string& anchor);
// Removes one file or folder tree with administrator rights; true when it is gone.
bool runRemoval(const std::string& path);

}  // namespace Platform

// Calls progress when it is set.
void report(const UninstallProgressFn& progress, int current, int total, const std::string& message);
const char* yesNo(bool value);

}  // namespace InstallerUninstall
