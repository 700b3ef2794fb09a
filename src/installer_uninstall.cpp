#include "installer_uninstall.h"

#include "installer_config.h"
#include "installer_uninstall_internal.h"
#include "installer_utils.h"
#include "system.h"
#include "text_escape.h"

#include <iostream>
#include <string>
#include <vector>

using InstallerConfig::Paths::CRASH_REPORTS_DIR;
using InstallerConfig::Paths::MRV_BASE_DIR;
using InstallerConfig::Paths::MRV_PLUGINS_DIR;
using InstallerConfig::Paths::MRV_SERVER_DIR;
using InstallerConfig::Paths::MRV_SERVER_PROCESS_NAME;
using InstallerConfig::Paths::PLUGINS_DIR;
using InstallerConfig::Paths::RENDER_ENGINE_DIR;

namespace InstallerUninstall {

using namespace Platform;

namespace {

// ---------------------------------------------------------------------------
// Detection

std::string readVersionFromDir(const std::string& dir) { return System::trimmed(readVersionFile(dir)); }

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
    const std::string suffix = InstallerConfig::PLUGIN_FILE_SUFFIX;
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

}  // namespace

void report(const UninstallProgressFn& progress, int current, int total, const std::string& message) {
    if (progress) progress(current, total, message);
}

const char* yesNo(bool value) { return value ? "yes" : "no"; }

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
        if (System::withValidUtf8(plugin.id) == id) found.push_back(&plugin);
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

}  // namespace InstallerUninstall
