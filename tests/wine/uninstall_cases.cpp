// Installed-component detection and removal on Windows: the .aex scan of the
// plug-ins folder with FindFirstFile, and removals through cmd.exe's rmdir
// and del, on an installation laid out in the compiled-in folders.
// Before <windows.h>, which makes "pascal" a macro.
#include "support/plugin_records.h"

#include "case_runner.h"
#include "windows_support.h"

#include "installer_config.h"
#include "installer_uninstall.h"
#include "installer_utils.h"
#include "program_data_folders.h"
#include "windows_command.h"

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
struct Installation : InstallerFolders {
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

namespace {

// A file made through the wide calls, so its name is the same in any code page.
void writeWideFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

bool wideFileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring widePluginsDir() { return WindowsCommand::widen(withBackslashes(PLUGINS_DIR)); }

}  // namespace

// Names with an apostrophe, a typographic quote or Cyrillic letters are
// removed, and nothing else: "???.aex", what the Western code page made of
// a Cyrillic name, would have matched every three-letter plug-in.
ZRVK_CASE(uninstallRemovesPluginsWhateverScriptTheirNamesAreIn) {
    SystemFolderFixture plugins{PLUGINS_DIR};
    SystemFolderFixture components{MRV_PLUGINS_DIR};
    const std::wstring names[] = {L"It's", L"It\u2019s", L"\u0416\u0443\u043A"};
    for (const std::wstring& name : names) {
        writeWideFile(widePluginsDir() + L"\\" + name + L".aex");
        CreateDirectoryW((WindowsCommand::widen(withBackslashes(MRV_PLUGINS_DIR)) + L"\\" + name).c_str(), nullptr);
    }
    writeFile(PLUGINS_DIR + "/Abc.aex", "MZ");
    auto found = pluginsById(InstallerUninstall::detectInstalledPlugins());
    for (const std::wstring& name : names) {
        const std::string id = WindowsCommand::narrow(name);
        REQUIRE(found.count(id) == 1);
        CHECK(!found[id].mrvComponentPath.empty());
        CHECK(InstallerUninstall::uninstallPlugin(found[id], nullptr));
        CHECK(!wideFileExists(widePluginsDir() + L"\\" + name + L".aex"));
        CHECK(!folderExists(MRV_PLUGINS_DIR + "/" + id));
    }
    CHECK(fileExists(PLUGINS_DIR + "/Abc.aex"));
    CHECK_EQ(InstallerUninstall::detectInstalledPlugins().size(), std::size_t(1));
}

// cmd.exe expands %NAME% even between quotes: such a name is not removed,
// and the file it would have named stays.
ZRVK_CASE(uninstallRefusesNamesThatCmdWouldExpand) {
    SystemFolderFixture plugins{PLUGINS_DIR};
    ScopedEnv other("ZRVK_OTHER", "Victim");
    writeFile(PLUGINS_DIR + "/%ZRVK_OTHER%.aex", "MZ");
    writeFile(PLUGINS_DIR + "/Victim.aex", "MZ");
    auto found = pluginsById(InstallerUninstall::detectInstalledPlugins());
    REQUIRE(found.count("%ZRVK_OTHER%") == 1);
    CaptureStreams log;
    CHECK(!InstallerUninstall::uninstallPlugin(found["%ZRVK_OTHER%"], nullptr));
    CHECK(log.contains("[UNINSTALL] Refusing to remove"));
    CHECK(fileExists(PLUGINS_DIR + "/Victim.aex"));
    CHECK(fileExists(PLUGINS_DIR + "/%ZRVK_OTHER%.aex"));
}

// A component folder that is a link is taken away itself, or left with a
// failure; what it leads to is never emptied.
ZRVK_CASE(uninstallNeverEmptiesWhatALinkLeadsTo) {
    SystemFolderFixture plugins{PLUGINS_DIR};
    SystemFolderFixture components{MRV_PLUGINS_DIR};
    const std::string outside = caseFolder() + "/outside";
    makeFolders(outside + "/inner");
    writeFile(outside + "/inner/kept.txt", "kept");
    writeFile(PLUGINS_DIR + "/Linked.aex", "MZ");
    REQUIRE(makeLink(MRV_PLUGINS_DIR + "/Linked", outside));
    auto found = pluginsById(InstallerUninstall::detectInstalledPlugins());
    REQUIRE(found.count("Linked") == 1);
    REQUIRE(!found["Linked"].mrvComponentPath.empty());
    const bool removed = InstallerUninstall::uninstallPlugin(found["Linked"], nullptr);
    CHECK_EQ(readFile(outside + "/inner/kept.txt"), std::string("kept"));
    CHECK(folderExists(outside + "/inner"));
    CHECK_EQ(removed, !pathExists(MRV_PLUGINS_DIR + "/Linked"));
    CHECK(!fileExists(PLUGINS_DIR + "/Linked.aex"));
    removeLink(MRV_PLUGINS_DIR + "/Linked");
}

// C:\ProgramData\ZRVK made a link by another user: the user-data removal
// goes through nothing, and what the link leads to stays whole.
ZRVK_CASE(removeUserDataRefusesALinkedDataFolder) {
    const std::string root = ProgramDataFolders::ROOT;
    if (folderExists(root)) skip("this machine has its own " + root);
    const std::string elsewhere = caseFolder() + "/elsewhere";
    makeFolders(elsewhere + "/MORVANE/CrashReports");
    makeFolders(elsewhere + "/Logs");
    writeFile(elsewhere + "/MORVANE/id.txt", "someone else's file");
    writeFile(elsewhere + "/MORVANE/CrashReports/report.txt", "kept");
    writeFile(elsewhere + "/Logs/log.txt", "kept");
    REQUIRE(makeLink(root, elsewhere));
    CaptureStreams log;
    const bool removed = InstallerUninstall::removeUserData(nullptr);
    removeLink(root);
    CHECK(!removed);
    CHECK(log.contains("[ProgramData] Refusing " + root + ": a link"));
    CHECK_EQ(readFile(elsewhere + "/MORVANE/id.txt"), std::string("someone else's file"));
    CHECK_EQ(readFile(elsewhere + "/MORVANE/CrashReports/report.txt"), std::string("kept"));
    CHECK_EQ(readFile(elsewhere + "/Logs/log.txt"), std::string("kept"));
}

// Folders for an elevated write: made where missing, and never made inside
// what a planted link leads to.
ZRVK_CASE(programDataFoldersAreOurOwnBeforeAWrite) {
    const std::string root = ProgramDataFolders::ROOT;
    if (folderExists(root)) skip("this machine has its own " + root);
    {
        CHECK(ProgramDataFolders::prepare(CRASH_REPORTS_DIR, ProgramDataFolders::Purpose::Write));
        CHECK(folderExists(CRASH_REPORTS_DIR));
        CHECK(ProgramDataFolders::prepare(MRV_BASE_DIR, ProgramDataFolders::Purpose::Use));
        CHECK(ProgramDataFolders::mayRemove(MRV_BASE_DIR + "/id.txt"));
        removeTree(root);
    }
    CHECK(!ProgramDataFolders::prepare(MRV_BASE_DIR, ProgramDataFolders::Purpose::Use));
    const std::string elsewhere = caseFolder() + "/elsewhere";
    makeFolders(elsewhere);
    makeFolders(root);
    REQUIRE(makeLink(MRV_BASE_DIR, elsewhere));
    CaptureStreams log;
    const bool prepared = ProgramDataFolders::prepare(CRASH_REPORTS_DIR, ProgramDataFolders::Purpose::Write);
    // Windows takes the link away and makes the folder afresh; wine cannot
    // remove a link it shows, so there the write is refused.
    const bool linkStays = pathExists(MRV_BASE_DIR) && (GetFileAttributesA(MRV_BASE_DIR.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    CHECK(log.contains("[ProgramData] Removing what was planted at " + MRV_BASE_DIR + " (a link)"));
    CHECK_EQ(prepared, !linkStays);
    CHECK(folderExists(elsewhere));
    CHECK(folderEntries(elsewhere).empty());
    if (linkStays) removeLink(MRV_BASE_DIR);
    removeTree(root);
}
