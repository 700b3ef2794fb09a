// The real program end to end, finding what is installed: the detection
// result, the Uninstall button and page, and the removal of chosen items.
#include "installer_config.h"
#include "support/e2e_fixture.h"
#include "support/plugin_fixtures.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

using namespace zrvk_test::e2e;
using namespace std::chrono_literals;

namespace {

// The detection text the program logs when the plug-in page is entered.
std::string detectionResult(const std::string& out) {
    const std::string marker = "[detectInstalledComponents] Result: ";
    const auto at = out.find(marker);
    if (at == std::string::npos) return "";
    const auto start = at + marker.size();
    return out.substr(start, out.find('\n', start) - start);
}

// The plug-in part of the expected detection text, in the folder's listing order.
std::string listedPluginsJson(const std::vector<std::tuple<std::string, std::string, std::string>>& plugins) {
    namespace P = InstallerConfig::Paths;
    std::string json;
    for (const auto& entry : std::filesystem::directory_iterator(P::PLUGINS_DIR)) {
        const std::string id = entry.path().stem().string();
        for (const auto& [pluginId, name, version] : plugins) {
            if (pluginId != id) continue;
            json += std::string(json.empty() ? "" : ",") + "{\"id\":\"" + id + "\",\"name\":\"" + name +
                    "\",\"version\":\"" + version + "\",\"adobePluginPath\":\"" + P::PLUGINS_DIR + "/" + id +
                    ".plugin\",\"mrvComponentPath\":\"" + P::MRV_PLUGINS_DIR + "/" + id + "\"}";
        }
    }
    return json;
}

TEST_F(EndToEnd, AnInstallationOnDiskShowsTheUninstallButton) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    auto component = [](const std::string& dir, const std::string& version) {
        zrvk_test::run("mkdir -p " + quote(dir));
        zrvk_test::writeFile(dir + "/version.txt", version + "\n");
    };
    component(P::RENDER_ENGINE_DIR, "3");
    component(P::MRV_SERVER_DIR, "1.4.2");
    const std::vector<std::tuple<std::string, std::string, std::string>> plugins = {
        {"deep-denoise", "Deep Denoise", "2.1.0"}, {"auto-mask", "Auto Mask", "1.0.2"}};
    zrvk_test::run("mkdir -p " + quote(P::PLUGINS_DIR));
    for (const auto& [id, name, version] : plugins) {
        const int major = std::atoi(version.c_str());
        const int minor = std::atoi(version.c_str() + version.find('.') + 1);
        const int fix = std::atoi(version.c_str() + version.rfind('.') + 1);
        zrvk_test::makeMacBundle(P::PLUGINS_DIR, id + ".plugin",
                                 zrvk_test::pluginProperties(name, zrvk_test::versionWord(major, minor, fix),
                                                             "ZRVK " + name, false));
        component(P::MRV_PLUGINS_DIR + "/" + id, version);
    }
    startServer();
    launch();
    reachPluginList();

    // The program's own log folder is user data: it exists while the program runs.
    const std::string expected =
        "{\"renderEngine\":{\"installed\":true,\"version\":\"3\",\"path\":\"" + P::RENDER_ENGINE_DIR + "\"},"
        "\"mrvServer\":{\"installed\":true,\"version\":\"1.4.2\",\"path\":\"" + P::MRV_SERVER_DIR + "\"},"
        "\"plugins\":[" + listedPluginsJson(plugins) + "],"
        "\"userData\":{\"exists\":true,\"path\":\"" + P::MRV_BASE_DIR + "\"},"
        "\"hasAnyInstallation\":true,\"totalComponentCount\":4}";
    EXPECT_EQ(detectionResult(program_->out()), expected) << program_->out();
    EXPECT_TRUE(screen_.waitFor(kPluginsWithUninstall, 10s));
    screen_.save("plugins-with-installation");
    closeWindow();
    removeInstallation();
}

TEST_F(EndToEnd, AnEmptyMachineHasOnlyTheProgramsOwnUserData) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    startServer();
    launch();
    reachPluginList();
    // The program itself has made its log folder and machine identity by now:
    // nothing is installed, and only that user data can be removed.
    const std::string expected =
        "{\"renderEngine\":{\"installed\":false,\"version\":\"\",\"path\":\"\"},"
        "\"mrvServer\":{\"installed\":false,\"version\":\"\",\"path\":\"\"},\"plugins\":[],"
        "\"userData\":{\"exists\":true,\"path\":\"" + P::MRV_BASE_DIR + "\"},"
        "\"hasAnyInstallation\":false,\"totalComponentCount\":0}";
    EXPECT_EQ(detectionResult(program_->out()), expected) << program_->out();
    ASSERT_TRUE(screen_.waitFor(kPluginsWithUninstall, 10s));
    ASSERT_TRUE(screen_.click(kUninstallHeader));
    ASSERT_TRUE(screen_.waitFor(kUninstall, 10s));
    screen_.save("uninstall-user-data-only");
    EXPECT_TRUE(screen_.holds(kUninstallUserDataOnly));
    closeWindow();
}

TEST_F(EndToEnd, UninstallingSelectedItemsAfterAnInstallation) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    startServer();
    launch();
    reachPluginList();
    installFirstAndThirdPlugin();
    ASSERT_TRUE(screen_.waitFor(kComplete, 120s)) << program_->out() << program_->err();
    if (const pid_t pid = launchedServer()) kill(pid, SIGKILL);
    ASSERT_TRUE(screen_.click(kCompleteClose));
    expectCleanExit();

    // Start again. Every rm of the uninstall takes a second, so its progress page can be seen.
    const std::string slowTools = kWork + "/slow-rm";
    zrvk_test::run("mkdir -p " + quote(slowTools));
    zrvk_test::writeFile(slowTools + "/rm", "#!/bin/sh\nsleep 1\nexec /bin/rm \"$@\"\n");
    chmod((slowTools + "/rm").c_str(), 0755);
    launch({"PATH=" + slowTools + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")});
    reachPluginList();
    // The machine identity is kept in the data folder that the installation
    // made (a first start on a machine without the folder keeps none).
    ASSERT_TRUE(std::filesystem::is_regular_file(P::MRV_BASE_DIR + "/id.txt"));
    ASSERT_TRUE(screen_.waitFor(kPluginsWithUninstall, 10s)) << program_->out();
    const nlohmann::json found = nlohmann::json::parse(detectionResult(program_->out()));
    ASSERT_EQ(found["plugins"].size(), 2u) << found.dump();
    const int denoiseRow = found["plugins"][0]["id"] == "deep-denoise" ? 2 : 3;

    ASSERT_TRUE(screen_.click(kUninstallHeader));
    ASSERT_TRUE(screen_.waitFor(kUninstall, 10s)) << program_->out();
    // Render engine, MORVANE Server, the two plug-ins in detection order, user data.
    for (const int row : {0, denoiseRow, 4}) ASSERT_TRUE(screen_.click(uninstallRow(row)));
    ASSERT_TRUE(screen_.waitFor(kUninstallEnabled, 10s));
    screen_.save("uninstall");
    ASSERT_TRUE(screen_.click(kUninstallSelected));
    ASSERT_TRUE(screen_.waitFor(kUninstallProgress, 10s)) << program_->out();
    screen_.save("uninstall-progress");
    ASSERT_TRUE(screen_.waitFor(kUninstallComplete, 60s)) << program_->out() << program_->err();
    screen_.save("uninstall-complete");

    const std::string out = program_->out();
    EXPECT_NE(out.find("[startUninstall] Request: [\"{\\\"renderEngine\\\":true,\\\"mrvServer\\\":false,"
                       "\\\"userData\\\":true,\\\"pluginIds\\\":[\\\"deep-denoise\\\"]}\"]\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[UNINSTALL_PROGRESS] 3/3 - Uninstall complete\n"), std::string::npos) << out;

    // Exactly the chosen items are gone.
    EXPECT_FALSE(std::filesystem::exists(P::RENDER_ENGINE_DIR.substr(0, P::RENDER_ENGINE_DIR.rfind('/'))));
    EXPECT_FALSE(std::filesystem::exists(P::PLUGINS_DIR + "/deep-denoise.plugin"));
    EXPECT_FALSE(std::filesystem::exists(P::MRV_PLUGINS_DIR + "/deep-denoise"));
    EXPECT_FALSE(std::filesystem::exists(P::MRV_BASE_DIR + "/id.txt"));
    EXPECT_FALSE(std::filesystem::exists(InstallerConfig::MAC_LOGS_DIR));
    EXPECT_EQ(firstLine(P::MRV_SERVER_DIR + "/version.txt"), "1.4.2");
    EXPECT_TRUE(std::filesystem::is_regular_file(P::MRV_SERVER_DIR + "/launcher.py"));
    EXPECT_TRUE(std::filesystem::is_regular_file(P::PLUGINS_DIR + "/auto-mask.plugin/Contents/Info.plist"));
    EXPECT_TRUE(std::filesystem::is_regular_file(P::MRV_PLUGINS_DIR + "/auto-mask/component.json"));

    EXPECT_TRUE(screen_.holds(kUninstallCompleteThreeItems));

    ASSERT_TRUE(screen_.click(kUninstallCompleteClose));
    expectCleanExit();
    removeInstallation();
}

}  // namespace
