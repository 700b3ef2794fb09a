#include "installer_uninstall.h"

#include "installer_components.h"
#include "installer_config.h"
#include "installer_utils.h"
#include "plugin_diagnostics.h"

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "program_data_folders.h"
#include "windows_command.h"
#else
#include <dirent.h>
#include <sys/stat.h>

#include "installer_auth.h"
#endif

using InstallerConfig::Paths::CRASH_REPORTS_DIR;
using InstallerConfig::Paths::MRV_BASE_DIR;
using InstallerConfig::Paths::MRV_PLUGINS_DIR;
using InstallerConfig::Paths::MRV_SERVER_DIR;
using InstallerConfig::Paths::MRV_SERVER_PROCESS_NAME;
using InstallerConfig::Paths::PLUGINS_DIR;
using InstallerConfig::Paths::RENDER_ENGINE_DIR;

namespace InstallerUninstall {

namespace {

// ---------------------------------------------------------------------------
// What differs between the platforms

#ifdef _WIN32
const char PATH_SEPARATOR = '\\';
const char* const PLUGIN_SUFFIX = ".aex";

bool isDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isRegularFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The names in PLUGINS_DIR; a folder that cannot be listed has none.
bool listPluginsFolder(std::vector<std::string>& names) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((PLUGINS_DIR + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return true;
    do {
        names.push_back(entry.cFileName);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return true;
}

PluginDiagnostics::PluginInfo readPluginResources(const std::string& path) {
    return PluginDiagnostics::parsePluginWin(path);
}

// The render engine's own folder: the one above it is the brand folder,
// which also holds the server and the plug-in components.
std::string renderEngineRoot() { return RENDER_ENGINE_DIR; }

std::string logsFolder() { return "C:/ProgramData/ZRVK/Logs"; }

// Backslashes are separators here, not escapes: check the path as written with slashes.
std::string checkedForm(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
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
#else
const char PATH_SEPARATOR = '/';
const char* const PLUGIN_SUFFIX = ".plugin";

bool isDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The names in PLUGINS_DIR, in listing order; false when it cannot be listed.
bool listPluginsFolder(std::vector<std::string>& names) {
    DIR* dir = opendir(PLUGINS_DIR.c_str());
    if (dir == nullptr) {
        std::cout << "[UNINSTALL] Plugins directory not found" << std::endl;
        return false;
    }
    while (const dirent* entry = readdir(dir)) names.push_back(entry->d_name);
    closedir(dir);
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

// What stands below `anchor` on the way to `path`, checked on disk: no link
// anywhere, and (root acts here) every folder the privileged user's own.
// Other users may create entries in the shared folders, so the text of a
// path proves nothing. A file at the end may belong to anyone: removing it
// never follows it. Whatever does not exist has nothing to follow.
bool isSafeOnDisk(const std::string& path, const std::string& anchor) {
    std::string::size_type end = anchor.size();
    while (end < path.size()) {
        end = path.find('/', end + 1);
        if (end == std::string::npos) end = path.size();
        struct stat info;
        if (lstat(path.substr(0, end).c_str(), &info) != 0) return true;
        if (S_ISLNK(info.st_mode)) return false;
        if (!S_ISDIR(info.st_mode)) return end == path.size();
        if (info.st_uid != privilegedUid()) return false;
    }
    return true;
}

// The chain runner reports rm's own exit status, so a removal that rm could not do fails.
bool runRemoval(const std::string& path) {
    std::string error;
    return executeWithAuthorization("rm -rf \"" + path + "\"", nullptr, &error);
}
#endif

// ---------------------------------------------------------------------------
// Detection

std::string trimmed(const std::string& text) {
    const char* const blanks = " \t\n\r";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string readVersionFromDir(const std::string& dir) { return trimmed(readVersionFile(dir)); }

bool isComponentInstalled(const char* label, const std::string& dir, std::string* version) {
    if (!isDirectory(dir)) {
        std::cout << "[UNINSTALL] " << label << " not found at: " << dir << std::endl;
        return false;
    }
    std::cout << "[UNINSTALL] " << label << " found at: " << dir << std::endl;
    if (version) {
        *version = readVersionFromDir(dir);
        std::cout << "[UNINSTALL] " << label << " version: " << *version << std::endl;
    }
    return true;
}

bool hasPluginSuffix(const std::string& name) {
    const std::string suffix = PLUGIN_SUFFIX;
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The file name without its extension.
std::string stemOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string::size_type dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

InstalledPlugin describePlugin(const std::string& name) {
    InstalledPlugin plugin;
    plugin.adobePluginPath = PLUGINS_DIR + PATH_SEPARATOR + name;
    plugin.id = stemOf(plugin.adobePluginPath);
    const PluginDiagnostics::PluginInfo info = readPluginResources(plugin.adobePluginPath);
    plugin.name = info.name;
    plugin.version = info.version;
    const std::string component = MRV_PLUGINS_DIR + PATH_SEPARATOR + plugin.id;
    if (isDirectory(component)) plugin.mrvComponentPath = component;
    std::cout << "[UNINSTALL] Found plugin: " << plugin.id << " (name: " << plugin.name << ", version: " << plugin.version
              << ", hasMRV: " << (plugin.mrvComponentPath.empty() ? "no" : "yes") << ")" << std::endl;
    return plugin;
}

bool hasUserData() {
    return isRegularFile(MRV_BASE_DIR + "/id.txt") || isDirectory(CRASH_REPORTS_DIR) || isDirectory(logsFolder());
}

// Keeps valid UTF-8 as it is, so an id comes back from the page unchanged.
std::string escapeJson(const std::string& text) { return escapeJsonText(text); }

const char* boolText(bool value) { return value ? "true" : "false"; }
const char* yesNo(bool value) { return value ? "yes" : "no"; }

std::string componentJson(const ComponentStatus& component) {
    return std::string("{\"installed\":") + boolText(component.installed) + ",\"version\":\"" +
           escapeJson(component.version) + "\",\"path\":\"" + escapeJson(component.path) + "\"}";
}

std::string pluginJson(const InstalledPlugin& plugin) {
    return "{\"id\":\"" + escapeJson(plugin.id) + "\",\"name\":\"" + escapeJson(plugin.name) + "\",\"version\":\"" +
           escapeJson(plugin.version) + "\",\"adobePluginPath\":\"" + escapeJson(plugin.adobePluginPath) +
           "\",\"mrvComponentPath\":\"" + escapeJson(plugin.mrvComponentPath) + "\"}";
}

// ---------------------------------------------------------------------------
// Removal

void report(const UninstallProgressFn& progress, int current, int total, const std::string& message) {
    if (progress) progress(current, total, message);
}

bool isInside(const std::string& path, const std::string& root) {
    if (path.compare(0, root.size(), root) != 0) return false;
    if (path.size() == root.size()) return true;
    if (path[root.size()] != '/') return false;
    // No step may leave the root again.
    std::string::size_type start = root.size() + 1;
    while (start <= path.size()) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string step = path.substr(start, end - start);
        if (step.empty() || step == "." || step == "..") return false;
        start = end + 1;
    }
    return true;
}

// Paths go between double quotes into a command run as administrator, and
// plug-in paths come from a folder that other programs write to: only
// shell-safe paths inside the installer's own folders are removed. `anchor`
// is the outermost of those folders that holds the path.
bool isRemovablePath(const std::string& path, std::string& anchor) {
    const std::string checked = checkedForm(path);
    if (!isSafeInCommand(checked)) return false;
    anchor.clear();
    for (const std::string& root :
         {renderEngineRoot(), MRV_SERVER_DIR, PLUGINS_DIR, MRV_PLUGINS_DIR, MRV_BASE_DIR, logsFolder()}) {
        const std::string folder = checkedForm(root);
        if (isInside(checked, folder) && (anchor.empty() || folder.size() < anchor.size())) anchor = folder;
    }
    return !anchor.empty();
}

bool removePath(const std::string& path) {
    std::cout << "[UNINSTALL] Removing: " << path << std::endl;
    std::string anchor;
    if (!isRemovablePath(path, anchor)) {
        std::cerr << "[UNINSTALL] Refusing to remove a path outside the installer's folders or unsafe in a command: "
                  << path << std::endl;
        return false;
    }
    if (!isSafeOnDisk(checkedForm(path), anchor)) {
        std::cerr << "[UNINSTALL] Refusing to remove a path through a link or a folder of another user: " << path
                  << std::endl;
        return false;
    }
    return runRemoval(path);
}

void stopServer() {
    std::cout << "[UNINSTALL] Stopping MRV Server process..." << std::endl;
    killProcessByName(MRV_SERVER_PROCESS_NAME);
}

// The last step of a component's removal; `steps` is its progress total.
bool removeComponentFolder(const std::string& label, const std::string& folder, int steps,
                           const UninstallProgressFn& progress) {
    const bool removed = removePath(folder);
    if (removed) {
        std::cout << "[UNINSTALL] " << label << " uninstalled successfully" << std::endl;
    } else {
        std::cerr << "[UNINSTALL] Failed to uninstall " << label << std::endl;
    }
    report(progress, steps, steps, removed ? label + " removed" : "Failed to remove " + label);
    return removed;
}

#ifndef _WIN32
bool isEmptyFolder(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return false;
    bool empty = true;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty;
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
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Detection

bool isRenderEngineInstalled(std::string* version) {
    return isComponentInstalled("Render Engine", RENDER_ENGINE_DIR, version);
}

bool isMRVServerInstalled(std::string* version) { return isComponentInstalled("MRV Server", MRV_SERVER_DIR, version); }

std::vector<InstalledPlugin> detectInstalledPlugins() {
    std::cout << "[UNINSTALL] Scanning plugins directory: " << PLUGINS_DIR << std::endl;
    std::vector<InstalledPlugin> plugins;
    std::vector<std::string> names;
    if (!listPluginsFolder(names)) return plugins;
    for (const std::string& name : names) {
        if (name == "." || name == ".." || !hasPluginSuffix(name)) continue;
        plugins.push_back(describePlugin(name));
    }
    std::cout << "[UNINSTALL] Total plugins found: " << plugins.size() << std::endl;
    return plugins;
}

InstalledComponents detectInstalledComponents() {
    std::cout << "[UNINSTALL] Detecting installed components..." << std::endl;
    InstalledComponents found;
    found.renderEngine.installed = isRenderEngineInstalled(&found.renderEngine.version);
    if (found.renderEngine.installed) found.renderEngine.path = RENDER_ENGINE_DIR;
    found.mrvServer.installed = isMRVServerInstalled(&found.mrvServer.version);
    if (found.mrvServer.installed) found.mrvServer.path = MRV_SERVER_DIR;
    found.plugins = detectInstalledPlugins();
    found.userData.exists = hasUserData();
    if (found.userData.exists) found.userData.path = MRV_BASE_DIR;

    std::cout << "[UNINSTALL] Detection complete:" << std::endl;
    std::cout << "  - Render Engine: " << yesNo(found.renderEngine.installed) << std::endl;
    std::cout << "  - MRV Server: " << yesNo(found.mrvServer.installed) << std::endl;
    std::cout << "  - Plugins: " << found.plugins.size() << std::endl;
    std::cout << "  - User Data: " << yesNo(found.userData.exists) << std::endl;
    return found;
}

std::vector<const InstalledPlugin*> findPlugins(const std::vector<InstalledPlugin>& plugins, const std::string& id) {
    std::vector<const InstalledPlugin*> found;
    for (const InstalledPlugin& plugin : plugins) {
        if (withValidUtf8(plugin.id) == id) found.push_back(&plugin);
    }
    return found;
}

std::string installedComponentsToJson(const InstalledComponents& components) {
    std::string json = "{\"renderEngine\":" + componentJson(components.renderEngine) +
                       ",\"mrvServer\":" + componentJson(components.mrvServer) + ",\"plugins\":[";
    for (std::size_t i = 0; i < components.plugins.size(); ++i) {
        if (i > 0) json += ",";
        json += pluginJson(components.plugins[i]);
    }
    const bool any = components.renderEngine.installed || components.mrvServer.installed || !components.plugins.empty();
    const std::size_t count = components.plugins.size() + (components.renderEngine.installed ? 1 : 0) +
                              (components.mrvServer.installed ? 1 : 0);
    json += std::string("],\"userData\":{\"exists\":") + boolText(components.userData.exists) + ",\"path\":\"" +
            escapeJson(components.userData.path) + "\"},\"hasAnyInstallation\":" + boolText(any) +
            ",\"totalComponentCount\":" + std::to_string(count) + "}";
    return json;
}

// ---------------------------------------------------------------------------
// Removal

bool uninstallRenderEngine(UninstallProgressFn progress) {
    std::cout << "[UNINSTALL] Uninstalling Render Engine..." << std::endl;
    report(progress, 0, 1, "Removing Render Engine...");
    if (!isDirectory(RENDER_ENGINE_DIR)) {
        std::cout << "[UNINSTALL] Render Engine not installed, skipping" << std::endl;
        return true;
    }
    // The running server is the engine's own interpreter: Windows cannot
    // remove its files while it runs, and nothing should run from a removed engine.
    stopServer();
    return removeComponentFolder("Render Engine", renderEngineRoot(), 1, progress);
}

bool uninstallMRVServer(UninstallProgressFn progress) {
    std::cout << "[UNINSTALL] Uninstalling MRV Server..." << std::endl;
    report(progress, 0, 2, "Stopping MRV Server...");
    stopServer();
    report(progress, 1, 2, "Removing MRV Server files...");
    if (!isDirectory(MRV_SERVER_DIR)) {
        std::cout << "[UNINSTALL] MRV Server not installed, skipping" << std::endl;
        return true;
    }
    return removeComponentFolder("MRV Server", MRV_SERVER_DIR, 2, progress);
}

bool uninstallPlugin(const InstalledPlugin& plugin, UninstallProgressFn progress) {
    std::cout << "[UNINSTALL] Uninstalling plugin: " << plugin.id << std::endl;
    const int parts = (plugin.adobePluginPath.empty() ? 0 : 1) + (plugin.mrvComponentPath.empty() ? 0 : 1);
    if (parts == 0) {
        std::cout << "[UNINSTALL] Plugin has no components to remove" << std::endl;
        return true;
    }
    bool ok = true;
    int done = 0;
    if (!plugin.adobePluginPath.empty()) {
        report(progress, 0, parts, "Removing " + plugin.id + " plugin...");
        if (!removePath(plugin.adobePluginPath)) {
            std::cerr << "[UNINSTALL] Failed to remove Adobe plugin: " << plugin.adobePluginPath << std::endl;
            ok = false;
        }
        done = 1;
    }
    if (!plugin.mrvComponentPath.empty()) {
        report(progress, done, parts, "Removing " + plugin.id + " components...");
        if (!removePath(plugin.mrvComponentPath)) {
            std::cerr << "[UNINSTALL] Failed to remove MRV component: " << plugin.mrvComponentPath << std::endl;
            ok = false;
        }
    }
    report(progress, parts, parts, ok ? plugin.id + " removed" : "Failed to remove " + plugin.id);
    return ok;
}

bool removeUserData(UninstallProgressFn progress) {
    std::cout << "[UNINSTALL] Removing user data..." << std::endl;
    report(progress, 0, 3, "Removing user data...");
    bool ok = true;
    const std::string idFile = MRV_BASE_DIR + "/id.txt";
    if (isRegularFile(idFile)) {
        std::cout << "[UNINSTALL] Removing id.txt..." << std::endl;
        ok = removePath(idFile) && ok;
    }
    report(progress, 1, 3, "Removing crash reports...");
    if (isDirectory(CRASH_REPORTS_DIR)) {
        std::cout << "[UNINSTALL] Removing CrashReports directory..." << std::endl;
        ok = removePath(CRASH_REPORTS_DIR) && ok;
    }
    report(progress, 2, 3, "Removing logs...");
    const std::string logs = logsFolder();
    if (isDirectory(logs)) {
        std::cout << "[UNINSTALL] Removing Logs directory: " << logs << std::endl;
        ok = removePath(logs) && ok;
    }
    report(progress, 3, 3, ok ? "User data removed" : "Failed to remove some user data");
    return ok;
}

#ifndef _WIN32
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
#endif

}  // namespace InstallerUninstall
