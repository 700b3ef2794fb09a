// Detection of the installed components and their removal, in the sandbox root.
#include "installer_uninstall.h"

#include "installer_auth.h"
#include "installer_config.h"
#include "support/uninstall_sandbox.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace InstallerUninstall;
using namespace zrvk_test::uninstall_paths;
using zrvk_test::contains;
using zrvk_test::exists;
using zrvk_test::FakeTools;
using zrvk_test::makeComponent;
using zrvk_test::makeFolder;
using zrvk_test::makePlugin;
using zrvk_test::versionWord;
using zrvk_test::writeFile;

namespace {

struct Logged {
    std::string out, err;
};

template <typename Body>
Logged capture(Body body) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    Logged logged;
    logged.out = testing::internal::GetCapturedStdout();
    logged.err = testing::internal::GetCapturedStderr();
    // Failure messages of the body went into the capture too.
    if (testing::Test::HasFailure()) std::cout << logged.out;
    return logged;
}

const std::string kNothing =
    "{\"renderEngine\":{\"installed\":false,\"version\":\"\",\"path\":\"\"},"
    "\"mrvServer\":{\"installed\":false,\"version\":\"\",\"path\":\"\"},\"plugins\":[],"
    "\"userData\":{\"exists\":false,\"path\":\"\"},\"hasAnyInstallation\":false,\"totalComponentCount\":0}";

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override {
        wipeInstallation();
        releaseAuthorizationSession();
    }
    void TearDown() override {
        releaseAuthorizationSession();
        wipeInstallation();
    }
    static void wipeInstallation() { zrvk_test::wipeInstallation(); }
};

// ---------------------------------------------------------------------------
// Detection

class Detection : public Sandbox {};

TEST_F(Detection, NothingInstalledIsAnEmptyResult) {
    Logged logged = capture([] { EXPECT_EQ(installedComponentsToJson(detectInstalledComponents()), kNothing); });
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Detecting installed components...\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Render Engine not found at: " + RENDER_ENGINE_DIR + "\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] MRV Server not found at: " + MRV_SERVER_DIR + "\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Scanning plugins directory: " + PLUGINS_DIR +
                                         "\n[UNINSTALL] Plugins directory not found\n"));
    EXPECT_FALSE(contains(logged.out, "Total plugins found"));
    EXPECT_TRUE(contains(logged.out,
                         "[UNINSTALL] Detection complete:\n  - Render Engine: no\n  - MRV Server: no\n  - Plugins: 0\n"
                         "  - User Data: no\n"));

    // An empty plug-in folder is listed and holds nothing.
    makeFolder(PLUGINS_DIR);
    logged = capture([] { EXPECT_TRUE(detectInstalledPlugins().empty()); });
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Total plugins found: 0\n"));
    EXPECT_FALSE(contains(logged.out, "not found"));
}

TEST_F(Detection, EverythingInstalledIsTheExactText) {
    makeComponent(RENDER_ENGINE_DIR, "3");
    makeComponent(MRV_SERVER_DIR, "1.4.2");
    makePlugin("deep-denoise", "Deep Denoise", versionWord(25, 8, 1), true);
    writeFile(idFile(), "abc\n");

    InstalledComponents found;
    const Logged logged = capture([&] { found = detectInstalledComponents(); });
    const std::string expected =
        "{\"renderEngine\":{\"installed\":true,\"version\":\"3\",\"path\":\"" + RENDER_ENGINE_DIR + "\"},"
        "\"mrvServer\":{\"installed\":true,\"version\":\"1.4.2\",\"path\":\"" + MRV_SERVER_DIR + "\"},"
        "\"plugins\":[{\"id\":\"deep-denoise\",\"name\":\"Deep Denoise\",\"version\":\"25.8.1\","
        "\"adobePluginPath\":\"" + PLUGINS_DIR + "/deep-denoise.plugin\","
        "\"mrvComponentPath\":\"" + MRV_PLUGINS_DIR + "/deep-denoise\"}],"
        "\"userData\":{\"exists\":true,\"path\":\"" + MRV_BASE_DIR + "\"},"
        "\"hasAnyInstallation\":true,\"totalComponentCount\":3}";
    EXPECT_EQ(installedComponentsToJson(found), expected);
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Render Engine found at: " + RENDER_ENGINE_DIR +
                                         "\n[UNINSTALL] Render Engine version: 3\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] MRV Server found at: " + MRV_SERVER_DIR +
                                         "\n[UNINSTALL] MRV Server version: 1.4.2\n"));
    EXPECT_TRUE(contains(logged.out,
                         "[UNINSTALL] Found plugin: deep-denoise (name: Deep Denoise, version: 25.8.1, hasMRV: yes)\n"
                         "[UNINSTALL] Total plugins found: 1\n"));
    EXPECT_TRUE(contains(logged.out, "  - Render Engine: yes\n  - MRV Server: yes\n  - Plugins: 1\n  - User Data: yes\n"));
}

TEST_F(Detection, PluginFolderRules) {
    makePlugin("Foo", "Foo Effect", versionWord(1, 2, 3), false);
    makePlugin("a.b", "", 0, true);
    makeFolder(PLUGINS_DIR + "/Foo.plugin.bak");
    makeFolder(PLUGINS_DIR + "/Foo.PLUGIN");
    makeFolder(PLUGINS_DIR + "/.plugin");
    makeFolder(PLUGINS_DIR + "/plugin");
    writeFile(PLUGINS_DIR + "/loose.plugin", "not a bundle");  // the entry's type is not tested
    makeFolder(PLUGINS_DIR + "/empty.plugin");                 // no resources: still listed
    makeFolder(MRV_PLUGINS_DIR);
    writeFile(MRV_PLUGINS_DIR + "/loose", "a file is no component folder");

    std::vector<InstalledPlugin> plugins;
    const Logged logged = capture([&] { plugins = detectInstalledPlugins(); });
    std::sort(plugins.begin(), plugins.end(),
              [](const InstalledPlugin& a, const InstalledPlugin& b) { return a.id < b.id; });
    ASSERT_EQ(plugins.size(), 4u) << logged.out;
    struct Expected {
        const char* id;
        const char* name;
        const char* version;
        bool component;
    } expected[] = {{"Foo", "Foo Effect", "1.2.3", false},
                    {"a.b", "", "", true},
                    {"empty", "", "", false},
                    {"loose", "", "", false}};
    for (std::size_t i = 0; i < plugins.size(); ++i) {
        SCOPED_TRACE(expected[i].id);
        EXPECT_EQ(plugins[i].id, expected[i].id);
        EXPECT_EQ(plugins[i].name, expected[i].name);
        EXPECT_EQ(plugins[i].version, expected[i].version);
        EXPECT_EQ(plugins[i].adobePluginPath, PLUGINS_DIR + "/" + expected[i].id + ".plugin");
        EXPECT_EQ(plugins[i].mrvComponentPath,
                  expected[i].component ? MRV_PLUGINS_DIR + "/" + expected[i].id : std::string());
    }
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Found plugin: a.b (name: , version: , hasMRV: yes)\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Total plugins found: 4\n"));
}

TEST_F(Detection, VersionIsTheTrimmedFirstLine) {
    struct Case {
        const char* content;  // nullptr: no version file
        const char* version;
    } cases[] = {
        {"  1.2.3\r\n", "1.2.3"}, {"\t2.0 \t\nlater", "2.0"}, {"\nlater 9.9", ""}, {"   \r\n", ""},
        {"", ""},                 {nullptr, ""},              {"4.5", "4.5"},       {"a b\r\r\n", "a b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content ? c.content : "(none)");
        wipeInstallation();
        makeFolder(RENDER_ENGINE_DIR);
        makeFolder(MRV_SERVER_DIR);
        if (c.content) {
            writeFile(RENDER_ENGINE_DIR + "/version.txt", c.content);
            writeFile(MRV_SERVER_DIR + "/version.txt", c.content);
        }
        std::string engine = "unset", server = "unset";
        capture([&] {
            EXPECT_TRUE(isRenderEngineInstalled(&engine));
            EXPECT_TRUE(isMRVServerInstalled(&server));
            EXPECT_TRUE(isRenderEngineInstalled(nullptr));
        });
        EXPECT_EQ(engine, c.version);
        EXPECT_EQ(server, c.version);
    }

    // A file where the folder should be is not an installation.
    wipeInstallation();
    makeFolder(renderEngineRoot());
    writeFile(RENDER_ENGINE_DIR, "3");
    std::string version = "unset";
    capture([&] { EXPECT_FALSE(isRenderEngineInstalled(&version)); });
    EXPECT_EQ(version, "unset");
}

TEST_F(Detection, UserData) {
    struct Case {
        const char* what;
        void (*make)();
        bool exists;
    } cases[] = {
        {"id file", [] { makeFolder(MRV_BASE_DIR); writeFile(idFile(), "x"); }, true},
        {"id.txt folder", [] { makeFolder(idFile()); }, false},
        {"crash reports", [] { makeFolder(CRASH_REPORTS_DIR); }, true},
        {"crash reports file", [] { makeFolder(MRV_BASE_DIR); writeFile(CRASH_REPORTS_DIR, "x"); }, false},
        {"logs", [] { makeFolder(logsDir()); }, true},
        {"base folder only", [] { makeFolder(MRV_BASE_DIR); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        wipeInstallation();
        c.make();
        InstalledComponents found;
        capture([&] { found = detectInstalledComponents(); });
        EXPECT_EQ(found.userData.exists, c.exists);
        EXPECT_EQ(found.userData.path, c.exists ? MRV_BASE_DIR : "");
        const auto json = nlohmann::json::parse(installedComponentsToJson(found));
        EXPECT_EQ(json["userData"]["exists"], c.exists);
        EXPECT_EQ(json["hasAnyInstallation"], false) << "user data alone is no installation";
        EXPECT_EQ(json["totalComponentCount"], 0);
    }
}

TEST_F(Detection, CountsAndTheAnyFlag) {
    InstalledComponents found;
    found.mrvServer.installed = true;
    EXPECT_TRUE(contains(installedComponentsToJson(found), "\"hasAnyInstallation\":true,\"totalComponentCount\":1}"));
    found.mrvServer.installed = false;
    found.plugins.resize(2);
    EXPECT_TRUE(contains(installedComponentsToJson(found), "\"hasAnyInstallation\":true,\"totalComponentCount\":2}"));
    found.renderEngine.installed = true;
    EXPECT_TRUE(contains(installedComponentsToJson(found), "\"hasAnyInstallation\":true,\"totalComponentCount\":3}"));
}

TEST_F(Detection, TextsAreEscapedAndKeepTheirLetters) {
    struct Case {
        std::string raw;
        std::string written;  // inside the quotes of the JSON text
    } cases[] = {
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\dir\\x", "C:\\\\dir\\\\x"},
        {"Caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x8E\xAC", "Caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x8E\xAC"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {std::string("x\x01y\x1F") + "z\x7F", "x\\u0001y\\u001Fz\\u007F"},
        {"bad \xFF end \xC3", "bad \xEF\xBF\xBD end \xEF\xBF\xBD"},
        {"</script>'", "</script>'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(zrvk_test::hex(c.raw));
        InstalledComponents found;
        found.renderEngine = {true, c.raw, c.raw};
        found.plugins.push_back({c.raw, c.raw, c.raw, c.raw, c.raw});
        found.userData = {true, c.raw};
        const std::string text = installedComponentsToJson(found);
        EXPECT_TRUE(contains(text, "{\"id\":\"" + c.written + "\",\"name\":\"" + c.written + "\",")) << text;
        EXPECT_TRUE(contains(text, "\"userData\":{\"exists\":true,\"path\":\"" + c.written + "\"}")) << text;
        // The page's parser gets the same text back (invalid bytes as U+FFFD).
        const auto json = nlohmann::json::parse(text);
        const std::string back = json["plugins"][0]["id"].get<std::string>();
        if (c.raw.find('\xFF') == std::string::npos) {
            EXPECT_EQ(back, c.raw);
        }
        EXPECT_EQ(json["renderEngine"]["version"], back);
    }
}

// ---------------------------------------------------------------------------
// Removal

using Progress = std::vector<std::tuple<int, int, std::string>>;

class Removal : public Sandbox {
protected:
    UninstallProgressFn recorder() {
        return [this](int current, int total, const std::string& message) {
            progress.emplace_back(current, total, message);
        };
    }
    Progress progress;
    FakeTools tools;
};

TEST_F(Removal, RenderEngineTakesItsWholeFolder) {
    Logged logged = capture([&] { EXPECT_TRUE(uninstallRenderEngine(recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 1, "Removing Render Engine..."}}));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Render Engine not installed, skipping\n"));

    progress.clear();
    makeComponent(RENDER_ENGINE_DIR, "3");
    makeFolder(renderEngineRoot() + "/cache");
    makeComponent(MRV_SERVER_DIR, "1.4.2");
    logged = capture([&] { EXPECT_TRUE(uninstallRenderEngine(recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 1, "Removing Render Engine..."}, {1, 1, "Render Engine removed"}}));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Removing: " + renderEngineRoot() + "\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Render Engine uninstalled successfully\n"));
    EXPECT_FALSE(exists(renderEngineRoot()));
    EXPECT_TRUE(exists(MRV_SERVER_DIR + "/version.txt"));
    EXPECT_EQ(tools.pkillCalls(), "-9 MORVANE Server\n") << "the server runs on the engine: it is stopped first";
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Stopping MRV Server process...\n[killProcessByName]"));

    // Without a progress callback nothing is reported, and nothing breaks.
    makeComponent(RENDER_ENGINE_DIR, "3");
    capture([&] { EXPECT_TRUE(uninstallRenderEngine(nullptr)); });
    EXPECT_FALSE(exists(renderEngineRoot()));
}

TEST_F(Removal, ARemovalThatRmCannotDoFails) {
    makeComponent(RENDER_ENGINE_DIR, "3");
    makeComponent(MRV_SERVER_DIR, "1.4.2");
    tools.failRemovals();
    Logged logged = capture([&] { EXPECT_FALSE(uninstallRenderEngine(recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 1, "Removing Render Engine..."}, {1, 1, "Failed to remove Render Engine"}}));
    EXPECT_TRUE(contains(logged.err, "[UNINSTALL] Failed to uninstall Render Engine\n"));
    EXPECT_TRUE(exists(RENDER_ENGINE_DIR + "/version.txt"));

    progress.clear();
    logged = capture([&] { EXPECT_FALSE(uninstallMRVServer(recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 2, "Stopping MRV Server..."},
                                  {1, 2, "Removing MRV Server files..."},
                                  {2, 2, "Failed to remove MRV Server"}}));
    EXPECT_TRUE(contains(logged.err, "[UNINSTALL] Failed to uninstall MRV Server\n"));
    EXPECT_TRUE(exists(MRV_SERVER_DIR + "/version.txt"));
}

TEST_F(Removal, ServerIsStoppedThenRemoved) {
    makeComponent(MRV_SERVER_DIR, "1.4.2");
    makeFolder(CRASH_REPORTS_DIR);
    Logged logged = capture([&] { EXPECT_TRUE(uninstallMRVServer(recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 2, "Stopping MRV Server..."},
                                  {1, 2, "Removing MRV Server files..."},
                                  {2, 2, "MRV Server removed"}}));
    EXPECT_EQ(tools.pkillCalls(), "-9 MORVANE Server\n");
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Stopping MRV Server process...\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] MRV Server uninstalled successfully\n"));
    EXPECT_FALSE(exists(MRV_SERVER_DIR));
    EXPECT_TRUE(exists(CRASH_REPORTS_DIR)) << "the rest of the base folder stays";

    // Stopped even when its folder is gone.
    progress.clear();
    logged = capture([&] { EXPECT_TRUE(uninstallMRVServer(recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 2, "Stopping MRV Server..."}, {1, 2, "Removing MRV Server files..."}}));
    EXPECT_EQ(tools.pkillCalls(), "-9 MORVANE Server\n-9 MORVANE Server\n");
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] MRV Server not installed, skipping\n"));
}

TEST_F(Removal, PluginTakesBothParts) {
    makePlugin("alpha", "Alpha", versionWord(1, 0, 0), true);
    makePlugin("beta", "Beta", versionWord(1, 0, 0), true);
    const InstalledPlugin alpha{"alpha", "Alpha", "1.0.0", PLUGINS_DIR + "/alpha.plugin", MRV_PLUGINS_DIR + "/alpha"};
    Logged logged = capture([&] { EXPECT_TRUE(uninstallPlugin(alpha, recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 2, "Removing alpha plugin..."},
                                  {1, 2, "Removing alpha components..."},
                                  {2, 2, "alpha removed"}}));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Uninstalling plugin: alpha\n"));
    EXPECT_FALSE(exists(alpha.adobePluginPath));
    EXPECT_FALSE(exists(alpha.mrvComponentPath));
    EXPECT_TRUE(exists(PLUGINS_DIR + "/beta.plugin"));
    EXPECT_TRUE(exists(MRV_PLUGINS_DIR + "/beta/version.txt"));

    // One part only.
    progress.clear();
    const InstalledPlugin componentOnly{"beta", "", "", "", MRV_PLUGINS_DIR + "/beta"};
    capture([&] { EXPECT_TRUE(uninstallPlugin(componentOnly, recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 1, "Removing beta components..."}, {1, 1, "beta removed"}}));
    EXPECT_FALSE(exists(MRV_PLUGINS_DIR + "/beta"));
    EXPECT_TRUE(exists(PLUGINS_DIR + "/beta.plugin"));

    // Neither path: nothing to do counts as removed.
    progress.clear();
    logged = capture([&] { EXPECT_TRUE(uninstallPlugin({"ghost", "", "", "", ""}, recorder())); });
    EXPECT_TRUE(progress.empty());
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Plugin has no components to remove\n"));
}

TEST_F(Removal, AFailedFirstPartStillRemovesTheSecond) {
    makePlugin("alpha", "Alpha", versionWord(1, 0, 0), true);
    const InstalledPlugin refused{"alpha", "", "", "/etc/alpha.plugin", MRV_PLUGINS_DIR + "/alpha"};
    const Logged logged = capture([&] { EXPECT_FALSE(uninstallPlugin(refused, recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 2, "Removing alpha plugin..."},
                                  {1, 2, "Removing alpha components..."},
                                  {2, 2, "Failed to remove alpha"}}));
    EXPECT_TRUE(contains(logged.err, "[UNINSTALL] Failed to remove Adobe plugin: /etc/alpha.plugin\n"));
    EXPECT_FALSE(exists(MRV_PLUGINS_DIR + "/alpha"));
    EXPECT_TRUE(exists(PLUGINS_DIR + "/alpha.plugin"));
}

TEST_F(Removal, OnlySafePathsInsideTheInstallersFoldersAreRemoved) {
    const std::string outside = InstallerConfig::ROOT_PREFIX + "/outside";
    makeFolder(outside + "/keep");
    makeFolder(PLUGINS_DIR);
    makeFolder(PLUGINS_DIR + "X/keep");
    const std::string marker = InstallerConfig::ROOT_PREFIX + "/ran";
    const std::string refused[] = {
        outside,
        PLUGINS_DIR + "/../../outside",
        PLUGINS_DIR + "/./x.plugin",
        PLUGINS_DIR + "//x.plugin",
        PLUGINS_DIR + "X",
        PLUGINS_DIR + "X/keep",
        PLUGINS_DIR + "/q\"; touch \"" + marker + "\"; \".plugin",
        PLUGINS_DIR + "/d$(touch " + marker + ").plugin",
        PLUGINS_DIR + "/b`touch " + marker + "`.plugin",
        PLUGINS_DIR + "/back\\slash.plugin",
        PLUGINS_DIR + "/line\nbreak.plugin",
        "/",
    };
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        const InstalledPlugin plugin{"x", "", "", path, ""};
        const Logged logged = capture([&] { EXPECT_FALSE(uninstallPlugin(plugin, nullptr)); });
        EXPECT_TRUE(contains(logged.err, "[UNINSTALL] Refusing to remove a path outside the installer's folders or "
                                         "unsafe in a command: " + path + "\n"));
        EXPECT_FALSE(contains(logged.out, "[AUTH]")) << "no command ran";
    }
    EXPECT_TRUE(exists(outside + "/keep"));
    EXPECT_TRUE(exists(PLUGINS_DIR + "X/keep"));
    EXPECT_FALSE(exists(marker));
    std::filesystem::remove_all(outside);
    std::filesystem::remove_all(PLUGINS_DIR + "X");
}

// The shared data folder lets any user plant entries where the installer's
// folders will be: a removal never acts through a link or a folder of another
// user found on the way, whatever the path's text says.
TEST_F(Removal, NothingIsRemovedThroughALinkOrAFolderOfAnotherUser) {
    const std::string outside = InstallerConfig::ROOT_PREFIX + "/outside";
    struct Case {
        const char* what;
        std::function<void()> plant;
        std::string removed;
    };
    const std::vector<Case> cases = {
        {"the plug-in folder is a link",
         [&] {
             makeFolder(MRV_BASE_DIR);
             ASSERT_EQ(symlink(outside.c_str(), MRV_PLUGINS_DIR.c_str()), 0);
         },
         MRV_PLUGINS_DIR + "/alpha"},
        {"a plug-in's component is a link",
         [&] {
             makeFolder(MRV_PLUGINS_DIR);
             ASSERT_EQ(symlink((outside + "/alpha").c_str(), (MRV_PLUGINS_DIR + "/alpha").c_str()), 0);
         },
         MRV_PLUGINS_DIR + "/alpha"},
        {"the server folder is a link",
         [&] {
             makeFolder(MRV_BASE_DIR);
             ASSERT_EQ(symlink(outside.c_str(), MRV_SERVER_DIR.c_str()), 0);
         },
         MRV_SERVER_DIR + "/alpha"},
        {"the maker's folder in Adobe's plug-in folder is a link",
         [&] {
             makeFolder(MEDIACORE_DIR);
             ASSERT_EQ(symlink(outside.c_str(), PLUGINS_DIR.c_str()), 0);
         },
         PLUGINS_DIR + "/alpha"},
        {"the plug-in folder belongs to another user",
         [&] {
             makeFolder(MRV_PLUGINS_DIR + "/alpha");
             ASSERT_EQ(chown(MRV_PLUGINS_DIR.c_str(), 65534, 65534), 0);
         },
         MRV_PLUGINS_DIR + "/alpha"},
    };
    const bool root = geteuid() == 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what).find("another user") != std::string::npos && !root) continue;
        wipeInstallation();
        std::filesystem::remove_all(outside);
        makeFolder(outside + "/alpha");
        writeFile(outside + "/alpha/keep", "kept");
        c.plant();
        const InstalledPlugin plugin{"alpha", "", "", "", c.removed};
        const Logged logged = capture([&] { EXPECT_FALSE(uninstallPlugin(plugin, nullptr)); });
        EXPECT_TRUE(contains(logged.err, "[UNINSTALL] Refusing to remove a path through a link or a folder of another "
                                         "user: " + c.removed + "\n"));
        EXPECT_FALSE(contains(logged.out, "[AUTH]")) << "no command ran";
        EXPECT_TRUE(exists(outside + "/alpha/keep"));
    }
    std::filesystem::remove_all(outside);

    // A file at the end of the way may be anyone's: it is unlinked, never followed.
    wipeInstallation();
    makeFolder(MRV_BASE_DIR);
    writeFile(idFile(), "id");
    if (root) {
        ASSERT_EQ(chown(idFile().c_str(), 65534, 65534), 0);
    }
    capture([&] { EXPECT_TRUE(removeUserData(nullptr)); });
    EXPECT_FALSE(exists(idFile()));
    if (!root) GTEST_SKIP() << "the folder and the file of another user need root to give them away (the rest was checked)";
}

TEST_F(Removal, UserDataIsTheIdFileCrashReportsAndLogs) {
    makeComponent(MRV_SERVER_DIR, "1.4.2");
    makeFolder(MRV_PLUGINS_DIR + "/alpha");
    writeFile(idFile(), "id");
    makeFolder(CRASH_REPORTS_DIR);
    writeFile(CRASH_REPORTS_DIR + "/crash.txt", "x");
    makeFolder(logsDir());
    writeFile(logsDir() + "/installer_1.log", "x");
    Logged logged = capture([&] { EXPECT_TRUE(removeUserData(recorder())); });
    const Progress expected{{0, 3, "Removing user data..."},
                            {1, 3, "Removing crash reports..."},
                            {2, 3, "Removing logs..."},
                            {3, 3, "User data removed"}};
    EXPECT_EQ(progress, expected);
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Removing id.txt...\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Removing CrashReports directory...\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Removing Logs directory: " + logsDir() + "\n"));
    EXPECT_FALSE(exists(idFile()));
    EXPECT_FALSE(exists(CRASH_REPORTS_DIR));
    EXPECT_FALSE(exists(logsDir()));
    EXPECT_TRUE(exists(MRV_SERVER_DIR + "/version.txt"));
    EXPECT_TRUE(exists(MRV_PLUGINS_DIR + "/alpha"));

    // Absent items count as removed.
    progress.clear();
    logged = capture([&] { EXPECT_TRUE(removeUserData(recorder())); });
    EXPECT_EQ(progress, expected);
    EXPECT_FALSE(contains(logged.out, "[UNINSTALL] Removing: "));

    // A failed item does not stop the next one.
    progress.clear();
    writeFile(idFile(), "id");
    makeFolder(CRASH_REPORTS_DIR);
    tools.failRemovals();
    capture([&] { EXPECT_FALSE(removeUserData(recorder())); });
    EXPECT_EQ(std::get<2>(progress.back()), "Failed to remove some user data");
    EXPECT_TRUE(exists(idFile()));
    EXPECT_TRUE(exists(CRASH_REPORTS_DIR));
}

TEST_F(Removal, BatchOperations) {
    makePlugin("alpha", "Alpha", versionWord(1, 0, 0), true);
    makePlugin("beta", "Beta", versionWord(1, 0, 0), false);
    makePlugin("gamma", "Gamma", versionWord(1, 0, 0), true);
    Logged logged = capture([&] { EXPECT_TRUE(uninstallPlugins({"beta", "missing"}, recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 2, "Removing beta..."}, {1, 2, "Removing missing..."}, {2, 2, "All plugins removed"}}));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Uninstalling 2 plugins...\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Plugin not found: missing\n"));
    EXPECT_FALSE(exists(PLUGINS_DIR + "/beta.plugin"));
    EXPECT_TRUE(exists(PLUGINS_DIR + "/alpha.plugin"));

    progress.clear();
    logged = capture([&] { EXPECT_TRUE(uninstallAllPlugins(recorder())); });
    EXPECT_EQ(progress.size(), 3u);
    EXPECT_EQ(progress.back(), std::make_tuple(2, 2, std::string("All plugins removed")));
    EXPECT_FALSE(exists(PLUGINS_DIR)) << "the emptied folder goes too";
    EXPECT_FALSE(exists(MRV_PLUGINS_DIR + "/alpha"));
    EXPECT_FALSE(exists(MRV_PLUGINS_DIR + "/gamma"));
    logged = capture([&] { EXPECT_TRUE(uninstallAllPlugins(nullptr)); });
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] No plugins installed\n"));

    // Everything, the user data and the emptied folders included.
    makeComponent(RENDER_ENGINE_DIR, "3");
    makeComponent(MRV_SERVER_DIR, "1.4.2");
    makePlugin("alpha", "Alpha", versionWord(1, 0, 0), true);
    writeFile(idFile(), "id");
    makeFolder(logsDir());
    progress.clear();
    logged = capture([&] { EXPECT_TRUE(uninstallAll(true, recorder())); });
    EXPECT_EQ(progress, (Progress{{0, 4, "Removing Render Engine..."},
                                  {1, 4, "Removing MRV Server..."},
                                  {2, 4, "Removing plugins..."},
                                  {3, 4, "Removing user data..."},
                                  {4, 4, "Uninstallation complete"}}));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Uninstalling all components (includeUserData: yes)...\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Cleaning up empty directories...\n"));
    EXPECT_TRUE(contains(logged.out, "[UNINSTALL] Uninstall all complete, success: yes\n"));
    EXPECT_FALSE(exists(MRV_BASE_DIR.substr(0, MRV_BASE_DIR.rfind('/')))) << "the brand folder was empty";
    EXPECT_FALSE(exists(PLUGINS_DIR));

    // Without the user data the base folder keeps it.
    makeComponent(MRV_SERVER_DIR, "1.4.2");
    writeFile(idFile(), "id");
    progress.clear();
    logged = capture([&] { EXPECT_TRUE(uninstallAll(false, recorder())); });
    EXPECT_EQ(progress.size(), 4u);
    EXPECT_EQ(progress.back(), std::make_tuple(3, 3, std::string("Uninstallation complete")));
    EXPECT_TRUE(exists(idFile()));
    EXPECT_FALSE(exists(MRV_SERVER_DIR));
}

}  // namespace
