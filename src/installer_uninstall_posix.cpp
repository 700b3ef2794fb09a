// The uninstall on macOS (and Linux): removals run as root through the
// administrator session, and the batch removals that only this program has.
#include "installer_uninstall.h"

#include "installer_auth.h"
#include "installer_config.h"
#include "installer_uninstall_internal.h"
#include "installer_utils.h"

#include <sys/stat.h>

#include <iostream>
#include <string>
#include <vector>

using InstallerConfig::Paths::CRASH_REPORTS_DIR;
using InstallerConfig::Paths::MRV_BASE_DIR;
using InstallerConfig::Paths::MRV_PLUGINS_DIR;
using InstallerConfig::Paths::PLUGINS_DIR;
using InstallerConfig::Paths::RENDER_ENGINE_DIR;

namespace InstallerUninstall {

namespace Platform {

extern const char PATH_SEPARATOR = '/';

bool isDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool listPluginsFolder(std::vector<std::string>& names) {
    std::vector<FolderEntry> entries;
    if (!listFolder(PLUGINS_DIR, entries)) {
        std::cout << "[UNINSTALL] Plugins directory not found" << std::endl;
        return false;
    }
    for (const FolderEntry& entry : entries) names.push_back(entry.name);
    return true;
}

PluginDiagnostics::PluginInfo readPluginResources(const std::string& path) {
    return PluginDiagnostics::parsePluginMac(path);
}

// The folder above RENDER_ENGINE_DIR holds nothing but the render engine.
std::string renderEngineRoot() { return RENDER_ENGINE_DIR.substr(0, RENDER_ENGINE_DIR.find_last_of("/\\")); }

std::string logsFolder() { return InstallerConfig::MAC_LOGS_DIR; }

std::string checkedForm(const std::string& path) { return path; }

bool isSafeInCommand(const std::string& path) { return isShellSafePath(path); }

// The anchor itself is checked too: Adobe's shared folder, which holds the
// maker's plug-in folder, may be open to other users.
bool isSafeOnDisk(const std::string& path, const std::string& anchor) {
    return isOwnedOnDisk(path, anchor, privilegedUid());
}

// The chain runner reports rm's own exit status, so a removal that rm could not do fails.
bool runRemoval(const std::string& path) {
    std::string error;
    return executeWithAuthorization("rm -rf \"" + path + "\"", nullptr, &error);
}

}  // namespace Platform

using namespace Platform;

namespace {

bool isEmptyFolder(const std::string& path) {
    std::vector<FolderEntry> entries;
    return listFolder(path, entries) && entries.empty();
}

// rmdir only ever removes an empty folder, so the brand folder may go too.
void removeFolderIfEmpty(const std::string& path) {
    if (!isDirectory(path) || !isEmptyFolder(path) || !isShellSafePath(path)) return;
    std::cout << "[UNINSTALL] Removing empty directory: " << path << std::endl;
    std::string error;
    executeWithAuthorization("rmdir \"" + path + "\"", nullptr, &error);
}

// Removes the plug-ins each id names, in turn; true when none failed.
bool removePluginList(const std::vector<std::vector<const InstalledPlugin*>>& plugins,
                      const std::vector<std::string>& ids, const UninstallProgressFn& progress) {
    const int total = static_cast<int>(ids.size());
    bool ok = true;
    for (int i = 0; i < total; ++i) {
        report(progress, i, total, "Removing " + ids[i] + "...");
        if (plugins[i].empty()) std::cout << "[UNINSTALL] Plugin not found: " << ids[i] << std::endl;
        for (const InstalledPlugin* plugin : plugins[i]) ok = uninstallPlugin(*plugin, nullptr) && ok;
    }
    report(progress, total, total, ok ? "All plugins removed" : "Some plugins failed to remove");
    return ok;
}
}  // namespace

bool uninstallPlugins(const std::vector<std::string>& pluginIds, UninstallProgressFn progress) {
    std::cout << "[UNINSTALL] Uninstalling " << pluginIds.size() << " plugins..." << std::endl;
    const std::vector<InstalledPlugin> installed = detectInstalledPlugins();
    std::vector<std::vector<const InstalledPlugin*>> plugins;
    for (const std::string& id : pluginIds) plugins.push_back(findPlugins(installed, id));
    return removePluginList(plugins, pluginIds, progress);
}

bool uninstallAllPlugins(UninstallProgressFn progress) {
    std::cout << "[UNINSTALL] Uninstalling all plugins..." << std::endl;
    const std::vector<InstalledPlugin> installed = detectInstalledPlugins();
    bool ok = true;
    if (installed.empty()) {
        std::cout << "[UNINSTALL] No plugins installed" << std::endl;
    } else {
        std::vector<std::vector<const InstalledPlugin*>> plugins;
        std::vector<std::string> ids;
        for (const InstalledPlugin& plugin : installed) {
            plugins.push_back({&plugin});
            ids.push_back(plugin.id);
        }
        ok = removePluginList(plugins, ids, progress);
    }
    removeFolderIfEmpty(PLUGINS_DIR);
    return ok;
}

bool uninstallAll(bool includeUserData, UninstallProgressFn progress) {
    std::cout << "[UNINSTALL] Uninstalling all components (includeUserData: " << yesNo(includeUserData) << ")..."
              << std::endl;
    const int total = includeUserData ? 4 : 3;
    bool ok = true;
    report(progress, 0, total, "Removing Render Engine...");
    ok = uninstallRenderEngine(nullptr) && ok;
    report(progress, 1, total, "Removing MRV Server...");
    ok = uninstallMRVServer(nullptr) && ok;
    report(progress, 2, total, "Removing plugins...");
    ok = uninstallAllPlugins(nullptr) && ok;
    if (includeUserData) {
        report(progress, 3, total, "Removing user data...");
        ok = removeUserData(nullptr) && ok;
    }
    std::cout << "[UNINSTALL] Cleaning up empty directories..." << std::endl;
    const std::string brandFolder = MRV_BASE_DIR.substr(0, MRV_BASE_DIR.rfind('/'));
    for (const std::string& folder : {MRV_PLUGINS_DIR, MRV_BASE_DIR, brandFolder}) removeFolderIfEmpty(folder);
    report(progress, total, total, ok ? "Uninstallation complete" : "Uninstallation completed with errors");
    std::cout << "[UNINSTALL] Uninstall all complete, success: " << yesNo(ok) << std::endl;
    return ok;
}

}  // namespace InstallerUninstall
