// Installed-component detection and removal on Windows: the .aex scan of the
// plug-ins folder with FindFirstFile, and removals through cmd.exe's rmdir
// and del, on an installation laid out in the compiled-in folders.
// Before <windows.h>, which makes "pascal" a macro.
#include "support/plugin_records.h"

#include "case_runner.h"
#include "windows_support.h"

#include "installer_config.h"
#include "installer_uninstall.h"

#include <map>
#include <string>
#include <tuple>
#include <vector>

using namespace wintest;
using namespace InstallerConfig::Paths;
using InstallerUninstall::InstalledPlugin;

namespace {

// An installation as the installer leaves it: both components with their
// version files, two plug-ins (one with its MRV component), id.txt and a
// crash-report folder.
struct Installation {
    SystemFolderFixture renderEngine{RENDER_ENGINE_DIR};
    SystemFolderFixture server{MRV_SERVER_DIR};
    SystemFolderFixture components{MRV_PLUGINS_DIR};
    SystemFolderFixture plugins{PLUGINS_DIR};
    SystemFolderFixture base{MRV_BASE_DIR};

    Installation() {
        writeFile(RENDER_ENGINE_DIR + "/version.txt", "3.10.2\r\n");
        writeFile(RENDER_ENGINE_DIR + "/python.exe", "MZ");
        writeFile(MRV_SERVER_DIR + "/version.txt", "1.8.0");
        writeFile(PLUGINS_DIR + "/Our Glow.aex", zrvk_test::aexFile("Our Glow", zrvk_test::versionWord(1, 4, 0), "ZRVK Our Glow"));
        writeFile(PLUGINS_DIR + "/Bare.aex", "MZ no records");
        writeFile(PLUGINS_DIR + "/Our Glow.txt", "not a plug-in");
        makeFolders(MRV_PLUGINS_DIR + "/Our Glow/models");
        writeFile(MRV_PLUGINS_DIR + "/Our Glow/models/weights.bin", std::string(1000, '\x7f'));
        writeFile(MRV_BASE_DIR + "/id.txt", "4d3f1137-24c9-1edb-0253-2c11e8707613");
        makeFolders(CRASH_REPORTS_DIR);
        writeFile(CRASH_REPORTS_DIR + "/crash.txt", "report");
    }
};

std::map<std::string, InstalledPlugin> pluginsById(const std::vector<InstalledPlugin>& plugins) {
    std::map<std::string, InstalledPlugin> byId;
    for (const InstalledPlugin& plugin : plugins) byId[plugin.id] = plugin;
    return byId;
}

using Step = std::tuple<int, int, std::string>;

}  // namespace

ZRVK_CASE(detectInstalledComponentsReadsTheInstallation) {
    Installation installation;
    const InstallerUninstall::InstalledComponents found = InstallerUninstall::detectInstalledComponents();
    CHECK(found.renderEngine.installed);
    CHECK_EQ(found.renderEngine.version, std::string("3.10.2"));
    CHECK_EQ(found.renderEngine.path, RENDER_ENGINE_DIR);
    CHECK(found.mrvServer.installed);
    CHECK_EQ(found.mrvServer.version, std::string("1.8.0"));
    CHECK(found.userData.exists);
    CHECK_EQ(found.userData.path, MRV_BASE_DIR);

    auto plugins = pluginsById(found.plugins);
    REQUIRE(plugins.size() == 2);
    REQUIRE(plugins.count("Our Glow") == 1 && plugins.count("Bare") == 1);
    const InstalledPlugin& glow = plugins["Our Glow"];
    CHECK_EQ(glow.name, std::string("Our Glow"));
    CHECK_EQ(glow.version, std::string("1.4.0"));
    CHECK_EQ(glow.adobePluginPath, PLUGINS_DIR + "\\Our Glow.aex");
    CHECK_EQ(glow.mrvComponentPath, MRV_PLUGINS_DIR + "\\Our Glow");
    const InstalledPlugin& bare = plugins["Bare"];
    CHECK_EQ(bare.name, std::string());
    CHECK_EQ(bare.version, std::string());
    CHECK_EQ(bare.mrvComponentPath, std::string());
}

ZRVK_CASE(detectInstalledComponentsOfAnEmptyMachine) {
    if (!underWine() && (folderExists(RENDER_ENGINE_DIR) || folderExists(PLUGINS_DIR))) {
        skip("this machine has an installation");
    }
    const InstallerUninstall::InstalledComponents found = InstallerUninstall::detectInstalledComponents();
    CHECK(!found.renderEngine.installed);
    CHECK(!found.mrvServer.installed);
    CHECK(found.plugins.empty());
}

ZRVK_CASE(uninstallPluginRemovesItsAexFileAndComponents) {
    Installation installation;
    auto plugins = pluginsById(InstallerUninstall::detectInstalledPlugins());
    REQUIRE(plugins.count("Our Glow") == 1);
    std::vector<Step> steps;
    const auto progress = [&steps](int current, int total, const std::string& text) {
        steps.emplace_back(current, total, text);
    };
    CHECK(InstallerUninstall::uninstallPlugin(plugins["Our Glow"], progress));
    CHECK(!fileExists(PLUGINS_DIR + "/Our Glow.aex"));
    CHECK(!folderExists(MRV_PLUGINS_DIR + "/Our Glow"));
    CHECK(fileExists(PLUGINS_DIR + "/Bare.aex"));
    const std::vector<Step> expected = {Step{0, 2, "Removing Our Glow plugin..."},
                                        Step{1, 2, "Removing Our Glow components..."},
                                        Step{2, 2, "Our Glow removed"}};
    CHECK(steps == expected);
    CHECK(InstallerUninstall::uninstallPlugin(plugins["Bare"], nullptr));
    CHECK(!fileExists(PLUGINS_DIR + "/Bare.aex"));
    CHECK(InstallerUninstall::detectInstalledPlugins().empty());
}

ZRVK_CASE(uninstallRefusesPathsOutsideTheInstallersFolders) {
    Installation installation;
    const std::string elsewhere = caseFolder() + "/Elsewhere.aex";
    writeFile(elsewhere, "MZ");
    InstalledPlugin plugin;
    plugin.id = "Elsewhere";
    plugin.adobePluginPath = withBackslashes(elsewhere);
    plugin.mrvComponentPath = MRV_PLUGINS_DIR + "\\Our Glow\\..\\..\\..";
    CaptureStreams log;
    CHECK(!InstallerUninstall::uninstallPlugin(plugin, nullptr));
    CHECK(fileExists(elsewhere));
    CHECK(folderExists(MRV_PLUGINS_DIR + "/Our Glow"));
    CHECK(log.contains("[UNINSTALL] Refusing to remove"));
}

ZRVK_CASE(uninstallComponentsAndUserData) {
    Installation installation;
    CHECK(InstallerUninstall::uninstallRenderEngine(nullptr));
    CHECK(!folderExists(RENDER_ENGINE_DIR));
    CHECK(InstallerUninstall::uninstallMRVServer(nullptr));
    CHECK(!folderExists(MRV_SERVER_DIR));
    CHECK(folderExists(MRV_PLUGINS_DIR + "/Our Glow"));
    CHECK(InstallerUninstall::removeUserData(nullptr));
    CHECK(!fileExists(MRV_BASE_DIR + "/id.txt"));
    CHECK(!folderExists(CRASH_REPORTS_DIR));

    const InstallerUninstall::InstalledComponents found = InstallerUninstall::detectInstalledComponents();
    CHECK(!found.renderEngine.installed);
    CHECK(!found.mrvServer.installed);
    CHECK_EQ(found.plugins.size(), std::size_t(2));
    // Nothing left to remove is not a failure.
    CHECK(InstallerUninstall::uninstallRenderEngine(nullptr));
    CHECK(InstallerUninstall::uninstallMRVServer(nullptr));
}
