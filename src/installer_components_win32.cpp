// Placing components on Windows: the program runs elevated, so staged copies
// are copied into place, beside what is installed and swapped in once whole
// (replaceWithCopies), and ProgramData folders are checked before use.
#include "installer_components_internal.h"

#include "installer_analytics.h"
#include "installer_config.h"
#include "installer_utils.h"
#include "program_data_folders.h"

#include <iostream>
#include <string>
#include <utility>
#include <vector>

using InstallerConfig::Paths::CRASH_REPORTS_DIR;
using InstallerConfig::Paths::MRV_PLUGINS_DIR;
using InstallerConfig::Paths::MRV_SERVER_DIR;
using InstallerConfig::Paths::PLUGINS_DIR;
using InstallerConfig::Paths::RENDER_ENGINE_DIR;

namespace Placement {

bool placeRenderEngine(const std::string& staged, const StatusFn& status) {
    if (replaceWithCopies({{staged, RENDER_ENGINE_DIR}})) {
        std::cout << "[RENDER_ENGINE] Files copied successfully" << std::endl;
        return true;
    }
    std::cerr << "[RENDER_ENGINE] Failed to copy files to installation directory" << std::endl;
    InstallerAnalytics::trackComponentError("RenderEngine", "copy_failed",
                                            "Failed to copy files to " + RENDER_ENGINE_DIR);
    sendStatus(status, "Error: Access denied. Please run installer as Administrator");
    return false;
}

bool placeMRVServer(const std::string& staged, const StatusFn& status) {
    if (replaceWithCopies({{staged, MRV_SERVER_DIR}})) {
        ProgramDataFolders::prepare(CRASH_REPORTS_DIR, ProgramDataFolders::Purpose::Write);
        std::cout << "[MRV_SERVER] Files copied successfully" << std::endl;
        return true;
    }
    std::cerr << "[MRV_SERVER] Failed to copy files to installation directory" << std::endl;
    sendStatus(status, "Error: Access denied. Please run installer as Administrator");
    return false;
}

// The Adobe part replaces the entries of its names in the maker's folder
// (the plug-in's ".aex"); the others replace the plug-in's folder whole.
bool placePluginPart(Part part, const std::string& id, const std::string& staged, const StatusFn& status) {
    std::vector<std::pair<std::string, std::string>> entries;
    bool listed = true;
    if (part == Part::Adobe) {
        std::vector<FolderEntry> top;
        listed = createDirectory(PLUGINS_DIR) && listFolder(staged, top);
        for (const FolderEntry& e : top) entries.push_back({staged + "/" + e.name, PLUGINS_DIR + "/" + e.name});
    } else {
        entries.push_back({staged, MRV_PLUGINS_DIR + "/" + id});
    }
    if (listed && replaceWithCopies(entries)) return true;
    const PartText& t = textOf(part);
    std::cerr << t.failCopy << std::endl;
    sendStatus(status, "Error installing " + id + " (" + t.errorTag + "): Access denied. Run as Administrator");
    return false;
}

// The additional files merge into a copy of the installed folder, which
// then replaces the folder whole. Archives bring no links on Windows (link
// entries become small files), and only administrators write the plug-in
// folders: the installed folder is copied as it is.
bool stageInstalledFiles(Part part, const std::string& id, const std::string& staged) {
    const std::string d = MRV_PLUGINS_DIR + "/" + id;
    if (part != Part::Additional || !pathExists(d)) return true;
    return copyDirectory(d, staged);
}

bool removeLegacyPlugin(const std::string& path, const StatusFn& status) {
    if (deletePath(path)) {
        std::cout << "[PLUGINS] Legacy file deleted successfully" << std::endl;
        return true;
    }
    std::cerr << "[PLUGINS] Failed to delete legacy file (file may be in use)" << std::endl;
    InstallerAnalytics::trackComponentError("Plugins", "legacy_delete_failed", "Failed to delete legacy file: " + path);
    sendStatus(status, "Error: Cannot delete old plugin file. Please close Adobe After Effects and try again.");
    return false;
}

}  // namespace Placement
