// Placing components on Windows: the program runs elevated, so staged copies
// are copied into place, and ProgramData folders are checked before use.
#include "installer_components_internal.h"

#include "installer_analytics.h"
#include "installer_config.h"
#include "installer_utils.h"
#include "program_data_folders.h"

#include <iostream>
#include <string>

using InstallerConfig::Paths::CRASH_REPORTS_DIR;
using InstallerConfig::Paths::MRV_PLUGINS_DIR;
using InstallerConfig::Paths::MRV_SERVER_DIR;
using InstallerConfig::Paths::PLUGINS_DIR;
using InstallerConfig::Paths::RENDER_ENGINE_DIR;

namespace Placement {

bool placeRenderEngine(const std::string& staged, const StatusFn& status) {
    deletePath(RENDER_ENGINE_DIR);
    if (copyDirectory(staged, RENDER_ENGINE_DIR)) {
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
    deletePath(MRV_SERVER_DIR);
    if (copyDirectory(staged, MRV_SERVER_DIR)) {
        ProgramDataFolders::prepare(CRASH_REPORTS_DIR, ProgramDataFolders::Purpose::Write);
        std::cout << "[MRV_SERVER] Files copied successfully" << std::endl;
        return true;
    }
    std::cerr << "[MRV_SERVER] Failed to copy files to installation directory" << std::endl;
    sendStatus(status, "Error: Access denied. Please run installer as Administrator");
    return false;
}

bool placePluginPart(Part part, const std::string& id, const std::string& staged, const StatusFn& status) {
    const std::string d = MRV_PLUGINS_DIR + "/" + id;
    bool copied;
    if (part == Part::Adobe) {
        copied = copyDirectory(staged, PLUGINS_DIR);
    } else if (part == Part::Mrv) {
        deletePath(d);
        copied = copyDirectory(staged, d);
    } else {
        copied = copyDirectory(staged, d);
    }
    if (copied) return true;
    const PartText& t = textOf(part);
    std::cerr << t.failCopy << std::endl;
    sendStatus(status, "Error installing " + id + " (" + t.errorTag + "): Access denied. Run as Administrator");
    return false;
}

// Archives bring no links on Windows (link entries become small files), and
// only administrators write the plug-in folders: the copy merges in place.
bool stageInstalledFiles(Part, const std::string&, const std::string&) { return true; }

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
