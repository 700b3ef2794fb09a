#include "installer_components.h"

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "disk_space.h"
#include "installer_config.h"
#include "installer_download.h"
#include "installer_utils.h"
#include "text_escape.h"

#include "installer_components_internal.h"

using InstallerConfig::Paths::CRASH_REPORTS_DIR;
using InstallerConfig::Paths::MRV_BASE_DIR;
using InstallerConfig::Paths::MRV_PLUGINS_DIR;
using InstallerConfig::Paths::MRV_SERVER_DIR;
using InstallerConfig::Paths::MRV_SERVER_PROCESS_NAME;
using InstallerConfig::Paths::PLUGINS_DIR;
using InstallerConfig::Paths::RENDER_ENGINE_DIR;

using Placement::Part;
using Placement::PartText;
using Placement::sendStatus;
using Placement::textOf;

void Placement::sendStatus(const StatusFn& status, const std::string& text) {
    if (status) status(text);
}

const PartText& Placement::textOf(Part part) {
    static const PartText adobe = {"[PLUGIN] Installing Adobe component",
                                   "Adobe",
                                   "zorvik_installer_plugin_adobe_",
                                   "Adobe",
                                   "[PLUGIN] Adobe destination: ",
                                   "[PLUGIN] Failed to download Adobe component",
                                   "[PLUGIN] Moving Adobe component to installation location",
                                   "[PLUGIN] Adobe component installed",
                                   "[PLUGIN] Failed to move Adobe component: ",
                                   "[PLUGIN] Failed to copy Adobe component",
                                   "Adobe"};
    static const PartText mrv = {"[PLUGIN] Installing MRV component",
                                 "MRV",
                                 "zorvik_installer_plugin_mrv_",
                                 "MRV",
                                 "[PLUGIN] MRV destination: ",
                                 "[PLUGIN] Failed to download MRV component",
                                 "[PLUGIN] Moving MRV component to installation location",
                                 "[PLUGIN] MRV component installed",
                                 "[PLUGIN] Failed to move MRV component: ",
                                 "[PLUGIN] Failed to copy MRV component",
                                 "MRV"};
    static const PartText additional = {"[PLUGIN] Installing additional files",
                                        "Additional files",
                                        "zorvik_installer_plugin_additional_",
                                        "Additional",
                                        "[PLUGIN] Additional files destination: ",
                                        "[PLUGIN] Failed to download additional files",
                                        "[PLUGIN] Moving additional files to installation location",
                                        "[PLUGIN] Additional files installed",
                                        "[PLUGIN] Failed to move additional files: ",
                                        "[PLUGIN] Failed to copy additional files",
                                        "Additional"};
    switch (part) {
    case Part::Adobe:
        return adobe;
    case Part::Mrv:
        return mrv;
    default:
        return additional;
    }
}

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool allShellSafe(const std::vector<std::string>& paths, const std::string& tag) {
    for (const std::string& p : paths) {
        if (!isShellSafePath(p)) {
            std::cerr << tag << " Refusing unsafe path: " << p << std::endl;
            return false;
        }
    }
    return true;
}

// A name from the manifest shown in a log line or status, control characters made visible.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += isControl(c) ? '?' : static_cast<char>(c);
    return out;
}

// The staging folder of a component, inside this run's private temporary
// folder (mode 0700); empty when that folder cannot be made.
std::string stagingFolder(const std::string& name) {
    const std::string run = getRunTempDirectory();
    return run.empty() ? std::string() : run + "/" + name;
}

// The run's private folder could not be made: nothing is staged anywhere else.
void reportNoStagingFolder(const char* tag, const std::string& statusText, const StatusFn& status) {
    std::cerr << tag << " Failed to create a private temporary folder in " << getTempDirectory() << std::endl;
    sendStatus(status, statusText);
}

void refuseUnsafeId(const std::string& id, const StatusFn& status) {
    std::cerr << "[PLUGINS] Refusing unsafe plugin id: " << printable(id) << std::endl;
    sendStatus(status, "Error installing plugin \"" + printable(id) + "\": unsafe plugin id");
}

// A key that is absent reads as empty; a value that is not a string is refused.
bool readText(const nlohmann::json& entry, const std::string& key, std::string& out) {
    out.clear();
    auto it = entry.find(key);
    if (it == entry.end()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

// Windows reads the second name only when the first key is absent.
bool readPlatformUrl(const nlohmann::json& entry, const std::string& stem, std::string& out) {
#ifdef _WIN32
    const std::string first = stem + "_win_url";
    if (entry.contains(first)) return readText(entry, first, out);
    return readText(entry, stem + "_windows_url", out);
#else
    return readText(entry, stem + "_mac_url", out);
#endif
}

const nlohmann::json* findPlugin(const nlohmann::json& manifest, const std::string& id) {
    if (!manifest.is_object()) return nullptr;
    auto plugins = manifest.find("plugins");
    if (plugins == manifest.end() || !plugins->is_array()) return nullptr;
    for (const auto& entry : *plugins) {
        if (!entry.is_object()) continue;
        auto key = entry.find("id");
        if (key != entry.end() && *key == nlohmann::json(id)) return &entry;
    }
    return nullptr;
}

}  // namespace

bool isSafeComponentName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        // Manifest ids are ASCII; a byte from 0x80 on may become a quote in the code page a command is read in.
        if (c == '/' || c == '\\' || c == '"' || c == '$' || c == '`' || c >= 0x80 || isControl(c) ||
            isWindowsCommandSpecial(c)) {
            return false;
        }
    }
    return true;
}

namespace {

// What the downloads and the room check put before their status texts.
const char* const kRenderEngineLabel = "Render Engine";
const char* const kServerLabel = "MRV Server";

// The staged copy is placed beside what is installed before anything of that
// is removed: both must fit on the destination's file system at once. Room
// or a staged tree that cannot be told stops nothing: the placement's own
// failure then leaves the installed component as it was. The status names
// the component as its download's did (label).
bool stagedCopyFits(const char* tag, const std::string& label, const std::string& staged,
                    const std::string& destination, const StatusFn& status) {
    DiskSpace::Room room;
    if (!DiskSpace::roomFor(destination, room)) return true;
    DiskSpace::Footprint need;
    if (!DiskSpace::footprintOfTree(staged, room.blockSize, need)) {
        std::cerr << tag << " Could not count the staged files in " << staged << std::endl;
        return true;
    }
    need.addFolders(1, room.blockSize);  // where the installed entries are moved aside
    if (DiskSpace::fits(need, room)) return true;
    std::cerr << DiskSpace::shortfallLine(tag, destination, need, room, "the staged files take",
                                          "the staged files make")
              << std::endl;
    sendStatus(status, label + ": " + DiskSpace::notEnoughRoomText(need, room));
    return false;
}

// The shared end of both installers: stamp the staged copy with its version,
// stop the server (it runs on the render engine and from the server folder),
// move the copy into place and remove the staging folder. A copy that cannot
// fit stops nothing.
bool placeStagedComponent(const char* tag, const std::string& label, const std::string& staged,
                          const std::string& destination, const std::string& version, const StatusFn& status,
                          bool (*place)(const std::string&, const StatusFn&), const std::string& installedText) {
    std::cout << tag << " Download and extraction complete" << std::endl;
    if (!writeVersionFile(staged, version)) {
        std::cerr << tag << " Warning: Failed to write version file" << std::endl;
    }
    if (!stagedCopyFits(tag, label, staged, destination, status)) {
        deletePath(staged);
        return false;
    }
    std::cout << tag << " Stopping any running MRV Server processes..." << std::endl;
    killProcessByName(MRV_SERVER_PROCESS_NAME);

    sendStatus(status, "Installing to system directory (this may take a moment)...");
    std::cout << tag << " Moving files to installation location" << std::endl;
    const bool placed = place(staged, status);
    deletePath(staged);
    if (!placed) return false;
    sendStatus(status, installedText);
    std::cout << tag << " Installation complete" << std::endl;
    return true;
}

}  // namespace

bool installRenderEngine(const std::vector<std::string>& urls, const std::string& latestVersion,
                         ProgressFn progress, StatusFn status, bool forceReinstall) {
    std::cout << std::endl << "=== Installing Render Engine ===" << std::endl;
    std::cout << "[RENDER_ENGINE] Latest version: " << latestVersion << std::endl;
    std::cout << "[RENDER_ENGINE] Destination: " << RENDER_ENGINE_DIR << std::endl;
    std::cout << "[RENDER_ENGINE] Force reinstall: " << (forceReinstall ? "yes" : "no") << std::endl;
    std::cout << "[RENDER_ENGINE] URL count: " << urls.size() << (urls.size() < 2 ? " (single file)" : " (multi-part)")
              << std::endl;

    if (urls.empty()) {
        std::cerr << "[RENDER_ENGINE] No URLs provided" << std::endl;
        return false;
    }

    const std::string current = readVersionFile(RENDER_ENGINE_DIR);
    if (current.empty()) {
        std::cout << "[RENDER_ENGINE] Not installed, will install version " << latestVersion << std::endl;
    } else if (forceReinstall) {
        std::cout << "[RENDER_ENGINE] Force reinstall requested, current version: " << current << std::endl;
        sendStatus(status, "Reinstalling Render Engine (force)...");
    } else {
        std::cout << "[RENDER_ENGINE] Current version: " << current << std::endl;
        if (isNewerVersion(latestVersion, current)) {
            std::cout << "[RENDER_ENGINE] Update available: " << current << " → " << latestVersion << std::endl;
        } else {
            std::cout << "[RENDER_ENGINE] Already up to date, skipping installation" << std::endl;
            sendStatus(status, "Render Engine already up to date");
            return true;
        }
    }

    sendStatus(status, "Downloading Render Engine...");

    const std::string staged = stagingFolder("zorvik_installer_render_engine");
    for (const std::string& url : urls) std::cout << "[RENDER_ENGINE] URL: " << escapeForLog(url) << std::endl;
    std::cout << "[RENDER_ENGINE] Temp directory: " << staged << std::endl;
    if (staged.empty()) {
        reportNoStagingFolder("[RENDER_ENGINE]", "Error: Cannot create a temporary folder", status);
        return false;
    }
    if (!allShellSafe({RENDER_ENGINE_DIR, staged}, "[RENDER_ENGINE]")) {
        sendStatus(status, "Error: Unsafe installation path");
        return false;
    }
    deletePath(staged);

    bool fetched = urls.size() == 1
                       ? downloadAndExtractZip(urls.front(), staged, kRenderEngineLabel, progress, status)
                       : downloadMultiPartAndExtractZip(urls, staged, kRenderEngineLabel, progress, status);
    if (!fetched) {
        std::cerr << "[RENDER_ENGINE] Failed to download and extract" << std::endl;
        deletePath(staged);
        return false;
    }

    return placeStagedComponent("[RENDER_ENGINE]", kRenderEngineLabel, staged, RENDER_ENGINE_DIR, latestVersion, status,
                                Placement::placeRenderEngine, "Render Engine installed");
}

bool installMRVServer(const std::string& url, const std::string& version, ProgressFn progress, StatusFn status) {
    std::cout << std::endl << "=== Installing MRV Server ===" << std::endl;
    std::cout << "[MRV_SERVER] Destination: " << MRV_SERVER_DIR << std::endl;
    std::cout << "[MRV_SERVER] Version: " << escapeForLog(version) << std::endl;

    sendStatus(status, "Downloading MRV Server v" + version + "...");

    const std::string staged = stagingFolder("zorvik_installer_mrv_server");
    std::cout << "[MRV_SERVER] Downloading from: " << escapeForLog(url) << std::endl;
    std::cout << "[MRV_SERVER] Temp directory: " << staged << std::endl;
    if (staged.empty()) {
        reportNoStagingFolder("[MRV_SERVER]", "Error: Cannot create a temporary folder", status);
        return false;
    }
    if (!allShellSafe({MRV_BASE_DIR, MRV_SERVER_DIR, CRASH_REPORTS_DIR, staged}, "[MRV_SERVER]")) {
        sendStatus(status, "Error: Unsafe installation path");
        return false;
    }
    deletePath(staged);

    if (!downloadAndExtractZip(url, staged, kServerLabel, progress, status)) {
        std::cerr << "[MRV_SERVER] Failed to download and extract" << std::endl;
        deletePath(staged);
        return false;
    }

    return placeStagedComponent("[MRV_SERVER]", kServerLabel, staged, MRV_SERVER_DIR, version, status, Placement::placeMRVServer,
                                "MRV Server installed");
}

bool installPlugin(const std::string& pluginId, const std::string& adobeUrl, const std::string& mrvUrl,
                   const std::string& additionalFilesUrl, ProgressFn progress, StatusFn status) {
    std::cout << std::endl << "=== Installing Plugin: " << printable(pluginId) << " ===" << std::endl;
    if (!isSafeComponentName(pluginId)) {
        refuseUnsafeId(pluginId, status);
        return false;
    }

    struct Present {
        Part part;
        const std::string* url;
    };
    std::vector<Present> parts;
    if (!adobeUrl.empty()) parts.push_back({Part::Adobe, &adobeUrl});
    if (!mrvUrl.empty()) parts.push_back({Part::Mrv, &mrvUrl});
    if (!additionalFilesUrl.empty()) parts.push_back({Part::Additional, &additionalFilesUrl});
    const size_t k = parts.size();
    std::cout << "[PLUGIN] Plugin has " << k << " component(s)" << std::endl;

    const std::string mrvDest = MRV_PLUGINS_DIR + "/" + pluginId;
    for (size_t j = 0; j < k; ++j) {
        const Part part = parts[j].part;
        const PartText& t = textOf(part);
        std::cout << t.first << std::endl;
        sendStatus(status, "Installing " + pluginId + " (" + t.startTag + ")...");

        const std::string staged = stagingFolder(t.stageName + pluginId);
        std::cout << t.destLog << (part == Part::Adobe ? PLUGINS_DIR : mrvDest) << std::endl;
        std::cout << "[PLUGIN] Temp directory: " << staged << std::endl;
        if (staged.empty()) {
            reportNoStagingFolder("[PLUGIN]", "Error installing " + pluginId + ": cannot create a temporary folder",
                                  status);
            return false;
        }
        if (!allShellSafe({PLUGINS_DIR, mrvDest, staged}, "[PLUGIN]")) {
            sendStatus(status, "Error installing " + pluginId + ": unsafe installation path");
            return false;
        }
        deletePath(staged);
        if (!Placement::stageInstalledFiles(part, pluginId, staged)) {
            std::cerr << "[PLUGIN] Failed to copy the installed files of " << pluginId << " to merge into" << std::endl;
            sendStatus(status, "Error installing " + pluginId + " (" + t.errorTag + "): cannot copy the installed files");
            deletePath(staged);
            return false;
        }

        // This component's slice of the plug-in's per mille.
        ProgressFn slice;
        if (progress) {
            slice = [progress, j, k](uint64_t done, uint64_t total) {
                if (total == 0) return;
                double value = (static_cast<double>(j) / k + (static_cast<double>(done) / total) / k) * 1000.0;
                progress(static_cast<uint64_t>(value), 1000);
            };
        }
        const std::string label = pluginId + " (" + t.labelTag + ")";
        if (!downloadAndExtractZip(*parts[j].url, staged, label, slice, status)) {
            std::cerr << t.failDownload << std::endl;
            deletePath(staged);
            return false;
        }

        if (!stagedCopyFits("[PLUGIN]", label, staged, part == Part::Adobe ? PLUGINS_DIR : mrvDest, status)) {
            deletePath(staged);
            return false;
        }
        std::cout << t.moving << std::endl;
        if (!Placement::placePluginPart(part, pluginId, staged, status)) {
            deletePath(staged);
            return false;
        }
        deletePath(staged);
        std::cout << t.installed << std::endl;
    }

    sendStatus(status, pluginId + " installed");
    std::cout << "[PLUGIN] Plugin installation complete: " << pluginId << std::endl;
    return true;
}

bool installPlugins(const std::vector<std::string>& pluginIds, const std::string& manifestJson,
                    PluginProgressFn progress, StatusFn status, PluginProgressFn pluginStart) {
    if (pluginIds.empty()) {
        std::cout << "[PLUGINS] No plugins to install" << std::endl;
        return true;
    }
    std::cout << std::endl << "=== Installing " << pluginIds.size() << " Plugin(s) ===" << std::endl;

    nlohmann::json manifest;
    try {
        manifest = nlohmann::json::parse(manifestJson);
    } catch (const nlohmann::json::exception& e) {
        std::cerr << "[PLUGINS] Failed to parse manifest: " << e.what() << std::endl;
        return false;
    }

    const int n = static_cast<int>(pluginIds.size());
    for (int i = 0; i < n; ++i) {
        const std::string& id = pluginIds[i];
        std::cout << "[PLUGINS] Installing plugin " << (i + 1) << "/" << n << ": " << printable(id) << std::endl;
        if (pluginStart) pluginStart(i + 1, n, id);

        if (!isSafeComponentName(id)) {
            refuseUnsafeId(id, status);
            return false;
        }
        const nlohmann::json* entry = findPlugin(manifest, id);
        if (entry == nullptr) {
            std::cerr << "[PLUGINS] Plugin not found in manifest: " << id << std::endl;
            continue;
        }

        std::string adobeUrl, mrvUrl, additionalUrl, legacyName;
        if (!readPlatformUrl(*entry, "adobe_plugin", adobeUrl) || !readPlatformUrl(*entry, "mrv_plugin", mrvUrl) ||
            !readText(*entry, "additional_files_url", additionalUrl) ||
            !readText(*entry, "legacy_name", legacyName)) {
            std::cerr << "[PLUGINS] Invalid manifest entry for plugin: " << id << std::endl;
            sendStatus(status, "Error installing " + id + ": invalid manifest entry");
            return false;
        }

        if (!legacyName.empty()) {
            std::cout << "[PLUGINS] Removing legacy plugin files: " << printable(legacyName) << std::endl;
            if (!isSafeComponentName(legacyName)) {
                std::cerr << "[PLUGINS] Refusing unsafe legacy name: " << printable(legacyName) << std::endl;
                sendStatus(status, "Error installing " + id + ": unsafe legacy plugin name");
                return false;
            }
            const std::string legacyPath = PLUGINS_DIR + "/" + legacyName + InstallerConfig::PLUGIN_FILE_SUFFIX;
            if (!allShellSafe({legacyPath}, "[PLUGINS]")) {
                sendStatus(status, "Error installing " + id + ": unsafe installation path");
                return false;
            }
            if (pathExists(legacyPath)) {
                std::cout << "[PLUGINS] Deleting legacy file: " << legacyPath << std::endl;
                if (!Placement::removeLegacyPlugin(legacyPath, status)) return false;
            }
        }

        // This plug-in's slice of the whole step.
        ProgressFn overall;
        if (progress) {
            overall = [progress, i, n](uint64_t done, uint64_t total) {
                if (total == 0) return;
                double value = (static_cast<double>(i) / n + (static_cast<double>(done) / total) / n) * 1000.0;
                progress(static_cast<int>(value), 1000, "");
            };
        }
        if (!installPlugin(id, adobeUrl, mrvUrl, additionalUrl, overall, status)) {
            std::cerr << "[PLUGINS] Failed to install plugin: " << id << std::endl;
            return false;
        }
    }

    std::cout << "[PLUGINS] All plugins installed successfully" << std::endl;
    return true;
}
