// What of the installer's components is on the machine, and their removal.
// Detection only reads the disk; removal runs with administrator rights.
#pragma once

#include <functional>
#include <string>
#include <vector>

// (current, total, message) of one removal operation.
using UninstallProgressFn = std::function<void(int current, int total, const std::string& message)>;

namespace InstallerUninstall {

struct ComponentStatus {
    bool installed = false;
    std::string version;
    std::string path;
};

struct UserDataStatus {
    bool exists = false;
    std::string path;
};

struct InstalledPlugin {
    std::string id;
    std::string name;
    std::string version;
    std::string adobePluginPath;
    std::string mrvComponentPath;
};

struct InstalledComponents {
    ComponentStatus renderEngine;
    ComponentStatus mrvServer;
    std::vector<InstalledPlugin> plugins;
    UserDataStatus userData;
};

// Never fails: whatever cannot be read counts as absent.
InstalledComponents detectInstalledComponents();
// version may be null; it gets the installed version when the folder exists.
bool isRenderEngineInstalled(std::string* version);
bool isMRVServerInstalled(std::string* version);
// The plug-ins in the maker's MediaCore folder, in listing order.
std::vector<InstalledPlugin> detectInstalledPlugins();
std::string installedComponentsToJson(const InstalledComponents& components);
// The detected plug-ins that an id from the page names. The page got each id
// as JSON text, where a file name's invalid UTF-8 became U+FFFD, so ids are
// compared in that form; names that differ only there all match.
std::vector<const InstalledPlugin*> findPlugins(const std::vector<InstalledPlugin>& plugins, const std::string& id);

// True on success; a component that is not installed counts as removed.
bool uninstallRenderEngine(UninstallProgressFn progress);
bool uninstallMRVServer(UninstallProgressFn progress);
bool uninstallPlugin(const InstalledPlugin& plugin, UninstallProgressFn progress);
bool removeUserData(UninstallProgressFn progress);

#ifndef _WIN32
// Batch removals that the installer itself does not call.
bool uninstallPlugins(const std::vector<std::string>& pluginIds, UninstallProgressFn progress);
bool uninstallAllPlugins(UninstallProgressFn progress);
bool uninstallAll(bool includeUserData, UninstallProgressFn progress);
#endif

}  // namespace InstallerUninstall
