// The real program end to end, installing: picked plug-ins are installed and
// the server started, planted entries of another user change nothing outside
// the sandbox, and a failing source ends on the failed page.
#include "installer_config.h"
#include "loopback_server.h"
#include "support/e2e_fixture.h"
#include "support/plugin_fixtures.h"
#include "support/small_file_system.h"
#include "support/zip_fixtures.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using namespace zrvk_test::e2e;
using zrvk_test::readFile;
using namespace std::chrono_literals;

namespace {

TEST_F(EndToEnd, InstallingPickedPluginsCompletesAndStartsTheServer) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    // Other vendors' plug-ins, one without resources (left out of the inventory).
    zrvk_test::run("mkdir -p " + quote(P::MEDIACORE_DIR + "/Northlight/Film Grain.plugin/Contents/MacOS"));
    zrvk_test::makeMacBundle(P::MEDIACORE_DIR + "/Northlight", "Lumen Glow.plugin",
                             zrvk_test::pluginProperties("Lumen Glow", zrvk_test::versionWord(4, 2, 0), "NLT Lumen Glow",
                                                         false));
    startServer();
    launch();
    reachPluginList();
    installFirstAndThirdPlugin();
    ASSERT_TRUE(screen_.waitFor(kProgress, 20s)) << program_->out();
    screen_.save("progress");
    ASSERT_TRUE(screen_.waitFor(kComplete, 120s)) << program_->out() << program_->err();
    screen_.save("complete");

    const std::string out = program_->out();
    EXPECT_NE(out.find("[startInstallation] Parsing inner JSON: {\"pluginIds\":[\"deep-denoise\",\"auto-mask\"],"),
              std::string::npos)
        << "the rows clicked, in click order";
    EXPECT_NE(out.find("[detectMultiPart] Part 3 not found, total parts: 3"), std::string::npos);

    // The files, in the sandbox's system folders.
    EXPECT_EQ(firstLine(P::RENDER_ENGINE_DIR + "/version.txt"), "3");
    EXPECT_EQ(firstLine(P::MRV_SERVER_DIR + "/version.txt"), "1.4.2");
    EXPECT_EQ(access((P::RENDER_ENGINE_DIR + "/bin/MORVANE Server").c_str(), X_OK), 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(P::MRV_SERVER_DIR + "/launcher.py"));
    for (const char* id : {"deep-denoise", "auto-mask"}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(P::PLUGINS_DIR + "/" + id + ".plugin/Contents/Info.plist")) << id;
        EXPECT_TRUE(std::filesystem::is_regular_file(P::MRV_PLUGINS_DIR + "/" + id + "/component.json")) << id;
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(P::MRV_PLUGINS_DIR + "/deep-denoise/weights/deep-denoise.bin"));
    EXPECT_FALSE(std::filesystem::exists(P::PLUGINS_DIR + "/smart-upscale.plugin")) << "not picked";

    // The started server runs and says so.
    const pid_t pid = launchedServer();
    ASSERT_GT(pid, 0) << out;
    std::string status;
    for (int i = 0; i < 100 && status.find("\"state\": \"running\"") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        status = readFile(P::MRV_BASE_DIR + "/server-status.json");
    }
    EXPECT_NE(status.find("\"pid\": " + std::to_string(pid) + ","), std::string::npos) << status;
    EXPECT_NE(status.find("\"version\": \"1.4.2\""), std::string::npos) << status;
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/comm"), "MORVANE Server\n");
    // It holds the installer's output pipes open (it inherits them), so stop
    // it before waiting for the installer's end.
    kill(pid, SIGKILL);

    // The inventory of the MediaCore folder, the installed plug-ins as the maker's.
    for (const char* line : {"[DIAGNOSTICS] Found 3 plugins:\n", "  [ZRVK] Deep Denoise 2.1.0 (sig: unknown)\n",
                             "  [ZRVK] Auto Mask 1.0.2 (sig: unknown)\n", "  Lumen Glow 4.2.0\n",
                             "[DIAGNOSTICS] ZRVK plugins: 2, signature issues: 0\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }

    ASSERT_TRUE(screen_.click(kCompleteClose));
    expectCleanExit();
    // Analytics went to the loopback host: the completion, then the inventory.
    std::vector<nlohmann::json> events;
    for (const Request& r : server_.requests()) {
        if (r.method != "POST" || r.target.rfind("/analytics", 0) != 0) continue;
        try {
            events.push_back(nlohmann::json::parse(r.body));
        } catch (const std::exception&) {
        }
    }
    auto eventNamed = [&](const std::string& name) -> const nlohmann::json* {
        for (const auto& e : events)
            if (e.value("event", "") == name) return &e;
        return nullptr;
    };
    EXPECT_NE(eventNamed("installation_completed"), nullptr);
    const nlohmann::json* diagnostics = eventNamed("installation_diagnostics");
    ASSERT_NE(diagnostics, nullptr);
    const nlohmann::json& props = (*diagnostics)["properties"];
    EXPECT_EQ(props.value("plugin_count", ""), "3");
    EXPECT_EQ(props.value("plugin_Deep_Denoise", ""), "2.1.0");
    EXPECT_EQ(props.value("plugin_Auto_Mask", ""), "1.0.2");
    EXPECT_EQ(props.value("plugin_Lumen_Glow", ""), "4.2.0");
    removeInstallation();
}

// What a tree holds, as text: every entry's relative path, type, mode and content.
std::string describeTree(const std::string& root) {
    std::string text;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        text += entry.path().string().substr(root.size()) + " " + std::to_string(st.st_mode) + " " +
                (S_ISREG(st.st_mode) ? readFile(entry.path().string()) : "") + "\n";
    }
    return text;
}

// Another user of the machine plants entries in the shared folders before the
// first installation: the plug-in, crash-report and server folders, id.txt
// and the names of the next logs. The installation still succeeds, replaces
// what it needs, and nothing it points to outside the sandbox changes.
TEST_F(EndToEnd, AnInstallationSucceedsOverEntriesAnotherUserPlanted) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    const std::string logs = InstallerConfig::MAC_LOGS_DIR;
    const std::string victims = kWork + "/victims";
    zrvk_test::run("rm -rf " + quote(victims) + " " + quote(logs) + " " + quote(P::MRV_BASE_DIR));
    zrvk_test::run("mkdir -p " + quote(victims + "/elsewhere/deep-denoise") + " " + quote(victims + "/crash") + " " +
                   quote(logs) + " " + quote(P::MRV_SERVER_DIR));
    zrvk_test::writeFile(victims + "/shell-rc", "rc\n");
    zrvk_test::writeFile(victims + "/secret", "secret\n");
    zrvk_test::writeFile(victims + "/elsewhere/deep-denoise/keep", "kept\n");
    chmod((victims + "/secret").c_str(), 0600);
    chmod((victims + "/elsewhere").c_str(), 0700);
    chmod((victims + "/crash").c_str(), 0700);
    chmod(P::MRV_BASE_DIR.c_str(), 01777);
    chmod(logs.c_str(), 01777);
    const std::string before = describeTree(victims);

    ASSERT_EQ(symlink((victims + "/elsewhere").c_str(), P::MRV_PLUGINS_DIR.c_str()), 0);
    ASSERT_EQ(symlink((victims + "/crash").c_str(), P::CRASH_REPORTS_DIR.c_str()), 0);
    ASSERT_EQ(symlink((victims + "/secret").c_str(), (P::MRV_BASE_DIR + "/id.txt").c_str()), 0);
    // A server folder of their own, whose version file would never end.
    ASSERT_EQ(mkfifo((P::MRV_SERVER_DIR + "/version.txt").c_str(), 0666), 0);
    if (geteuid() == 0) zrvk_test::run("chown -R 65534:65534 " + quote(P::MRV_SERVER_DIR));
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t <= now + 90; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
        const std::string name = logs + "/installer_" + stamp + ".log";
        ASSERT_EQ(symlink((victims + "/shell-rc").c_str(), name.c_str()), 0);
    }

    startServer();
    launch();
    reachPluginList();
    installFirstAndThirdPlugin();
    ASSERT_TRUE(screen_.waitFor(kComplete, 120s)) << program_->out() << program_->err();
    screen_.save("complete-over-planted-entries");
    if (const pid_t pid = launchedServer()) kill(pid, SIGKILL);

    EXPECT_EQ(describeTree(victims), before) << "nothing outside the sandbox changed";
    for (const std::string& folder : {P::MRV_PLUGINS_DIR, P::CRASH_REPORTS_DIR}) {
        struct stat st {};
        ASSERT_EQ(lstat(folder.c_str(), &st), 0) << folder;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << folder;
        EXPECT_EQ(st.st_uid, geteuid()) << folder;
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(P::MRV_PLUGINS_DIR + "/deep-denoise/component.json"));
    EXPECT_EQ(firstLine(P::MRV_SERVER_DIR + "/version.txt"), "1.4.2");
    const std::string out = program_->out();
    const std::string marker = "[LOGGER] Log file created: ";
    const auto at = out.find(marker);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string logPath = out.substr(at + marker.size(), out.find('\n', at) - at - marker.size());
    struct stat log {};
    ASSERT_EQ(lstat(logPath.c_str(), &log), 0) << logPath;
    EXPECT_TRUE(S_ISREG(log.st_mode)) << logPath;

    ASSERT_TRUE(screen_.click(kCompleteClose));
    expectCleanExit();
    EXPECT_EQ(describeTree(victims), before);
    EXPECT_NE(readFile(logPath).find("Installer log ended"), std::string::npos);
    removeInstallation();
    zrvk_test::run("rm -rf " + quote(victims) + " " + quote(logs) + " " + quote(P::CRASH_REPORTS_DIR) + " " +
                   quote(P::MRV_BASE_DIR + "/id.txt"));
    if (geteuid() != 0) GTEST_SKIP() << "the server folder was not another user's: giving it away needs root";
}

TEST_F(EndToEnd, AFailingSourceEndsOnTheFailedPage) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    // Deep Denoise's additional files fail on Hugging Face and on its mirror
    // (which maps to a path the catalogue does not have).
    server_.routePrefix("GET", "/huggingface.co/zorvik/deep-denoise/", Response::text(404, "not found\n"));
    startServer();
    launch();
    reachPluginList();
    installPluginRows({0});
    ASSERT_TRUE(screen_.waitFor(kFailed, 120s)) << program_->out() << program_->err();
    screen_.save("failed");

    const std::string err = program_->err();
    EXPECT_NE(err.find("[downloadAndExtractZip] All HuggingFace download attempts failed"), std::string::npos) << err;
    EXPECT_NE(err.find("[PLUGIN] Failed to download additional files"), std::string::npos) << err;
    EXPECT_EQ(launchedServer(), 0) << "nothing started after a failure";
    // Nothing is rolled back: the steps and components before the failure stay.
    EXPECT_EQ(firstLine(P::RENDER_ENGINE_DIR + "/version.txt"), "3");
    EXPECT_EQ(firstLine(P::MRV_SERVER_DIR + "/version.txt"), "1.4.2");
    EXPECT_TRUE(std::filesystem::is_directory(P::PLUGINS_DIR + "/deep-denoise.plugin"));
    EXPECT_FALSE(std::filesystem::exists(P::MRV_PLUGINS_DIR + "/deep-denoise/weights"));

    ASSERT_TRUE(screen_.click(kFailedClose));
    expectCleanExit();
}

// Another user leaves a plain file where the server folder goes, in the
// shared data folder: the installation removes it and completes. Whoever
// owns the file, it used to make the chain fail.
TEST_F(EndToEnd, AFilePlantedAtTheServerFolderDoesNotBlockTheInstallation) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    zrvk_test::run("rm -rf " + quote(P::MRV_BASE_DIR) + " && mkdir -p " + quote(P::MRV_BASE_DIR));
    chmod(P::MRV_BASE_DIR.c_str(), 01777);
    zrvk_test::writeFile(P::MRV_SERVER_DIR, "planted\n");
    if (geteuid() == 0) zrvk_test::run("chown 65534:65534 " + quote(P::MRV_SERVER_DIR));

    startServer();
    launch();
    reachPluginList();
    installFirstAndThirdPlugin();
    ASSERT_TRUE(screen_.waitFor(kComplete, 120s)) << program_->out() << program_->err();
    if (const pid_t pid = launchedServer()) kill(pid, SIGKILL);
    EXPECT_TRUE(std::filesystem::is_regular_file(P::MRV_SERVER_DIR + "/launcher.py"));
    EXPECT_EQ(firstLine(P::MRV_SERVER_DIR + "/version.txt"), "1.4.2");
    ASSERT_TRUE(screen_.click(kCompleteClose));
    expectCleanExit();
    removeInstallation();
}

// The download server sends Deep Denoise's MRV component with a link to a
// file outside, and the Hugging Face mirror its additional files with a file
// of the same name, which used to be written through the link as root. The
// installation fails on the failed page, the program stays alive to close
// it, and nothing outside changes.
TEST_F(EndToEnd, ArchivesWithALinkLeadingOutChangeNothingOutside) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    const std::string victims = kWork + "/archive-victims";
    zrvk_test::run("rm -rf " + quote(victims) + " && mkdir -p " + quote(victims));
    zrvk_test::writeFile(victims + "/secret", "secret\n");
    chmod((victims + "/secret").c_str(), 0600);
    const std::string before = describeTree(victims);

    using zrvk_test::ZipEntry;
    server_.route("GET", "/github.com/zorvik/deep-denoise/releases/download/v2.1.0/deep-denoise_mac_mrv.zip",
                  Response::text(200,
                                 zrvk_test::zipOf({ZipEntry::file("component.json", "{}"),
                                                   ZipEntry::link("settings.json", victims + "/secret")}),
                                 "application/zip"));
    server_.routePrefix("GET", "/huggingface.co/zorvik/deep-denoise/", Response::text(404, "not found\n"));
    const std::string mirror = "/127.0.0.1:" + std::to_string(kPort) + "/hfmirror/zorvik/deep-denoise/";
    server_.routePrefix("GET", mirror,
                        Response::text(200, zrvk_test::zipOf({ZipEntry::file("settings.json", "planted\n")}),
                                       "application/zip"));
    startServer();
    launch();
    reachPluginList();
    installPluginRows({0});
    ASSERT_TRUE(screen_.waitFor(kFailed, 120s)) << program_->out() << program_->err();
    screen_.save("failed-on-an-archive-with-a-link-leading-out");

    const std::string err = program_->err();
    EXPECT_NE(err.find("[extractZip] Refusing link that leads outside the destination: settings.json -> " + victims +
                       "/secret"),
              std::string::npos)
        << err;
    EXPECT_EQ(describeTree(victims), before);
    EXPECT_FALSE(std::filesystem::exists(P::MRV_PLUGINS_DIR + "/deep-denoise/settings.json"));
    ASSERT_TRUE(screen_.click(kFailedClose));
    expectCleanExit();
    EXPECT_EQ(describeTree(victims), before);
    removeInstallation();
    zrvk_test::run("rm -rf " + quote(victims));
}

// A plug-in whose staged copy cannot fit where it goes (here its folder is a
// file system of two inodes) ends on the failed page, which names the
// plug-in and what is short, before its chain touches anything.
TEST_F(EndToEnd, APluginThatCannotFitEndsOnTheFailedPageNamingWhatIsShort) {
    namespace P = InstallerConfig::Paths;
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    removeInstallation();
    const std::string folder = P::MRV_PLUGINS_DIR + "/deep-denoise";
    zrvk_test::run("mkdir -p " + quote(folder));
    {
        zrvk_test::SmallFileSystem small(folder, "size=1m,nr_inodes=2,mode=755");
        if (!small.mounted()) GTEST_SKIP() << "tmpfs could not be mounted here";
        startServer();
        launch();
        reachPluginList();
        installPluginRows({0});
        ASSERT_TRUE(screen_.waitFor(kFailed, 120s)) << program_->out() << program_->err();
        screen_.save("failed-on-a-plug-in-that-cannot-fit");
        const std::string err = program_->err();
        EXPECT_NE(err.find("[PLUGIN] Not enough free inodes in " + folder + ": the staged files make "), std::string::npos)
            << err;
        EXPECT_NE(program_->out().find("[INSTALL_THREAD] Error details: Plugins installation failed: deep-denoise (MRV): "
                                       "Error: Not enough disk space ("),
                  std::string::npos)
            << program_->out();
        EXPECT_TRUE(std::filesystem::is_empty(folder));
        ASSERT_TRUE(screen_.click(kFailedClose));
        expectCleanExit();
    }
    removeInstallation();
}

}  // namespace
