// The component installers against archives built here with libzip and
// served on 127.0.0.1, installing into the sandbox root.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "installer_auth.h"
#include "installer_components.h"
#include "installer_config.h"
#include "installer_download.h"
#include "installer_utils.h"
#include "posthog.h"
#include "startup.h"
#include "support/named_process.h"
#include "support/components_fixture.h"
#include "support/zip_fixtures.h"

namespace {

using namespace InstallerConfig::Paths;
using zrvk_test::ComponentsTest;
using zrvk_test::entry;
using zrvk_test::Entries;
using zrvk_test::FileServer;
using zrvk_test::manifestWith;
using zrvk_test::makeZip;
using zrvk_test::modeOf;
using zrvk_test::NamedProcess;
using zrvk_test::putFile;
using zrvk_test::readFile;
using zrvk_test::Recorder;
using zrvk_test::run;

// Every reported value lies on the per-mille scale within [low, high], never
// goes back, and the download part (the first 70 percent) was reached.
void expectPerMille(const std::vector<std::pair<uint64_t, uint64_t>>& progress, uint64_t low, uint64_t high) {
    ASSERT_FALSE(progress.empty());
    uint64_t last = 0;
    for (const auto& p : progress) {
        EXPECT_EQ(p.second, 1000u);
        EXPECT_GE(p.first, low);
        EXPECT_LE(p.first, high);
        EXPECT_GE(p.first, last);
        last = p.first;
    }
    EXPECT_GE(last, low + (high - low) * 7 / 10);
}

// A stand-in for the running server: sleep under the server's process name,
// in the sandbox where the stand-in pkill on PATH may stop it.
std::string serverProgram() { return RENDER_ENGINE_DIR + "/" + MRV_SERVER_PROCESS_NAME; }

const Entries kEngine = {{"bin/", ""}, {"bin/python3", "#!engine v3"}, {"lib/os.py", "os"}, {"version.txt", "archive"}};

// ---------------------------------------------------------------------------
// Render engine.

TEST_F(ComponentsTest, RenderEngineUpToDateDownloadsNothingAndStopsNothing) {
    const std::string url = archive("/engine.zip", kEngine);
    struct Case {
        const char* installed;
        const char* latest;
    } cases[] = {{"10", "9"}, {"10", "10"}, {"1.2.0", "1.2"}};
    for (const Case& c : cases) {
        putFile(RENDER_ENGINE_DIR + "/version.txt", c.installed);
        NamedProcess fake(serverProgram());
        ASSERT_TRUE(fake.started());
        Recorder r;
        EXPECT_TRUE(installRenderEngine({url}, c.latest, r.progressFn(), r.statusFn(), false));
        EXPECT_EQ(r.statuses, std::vector<std::string>{"Render Engine already up to date"}) << c.installed;
        EXPECT_TRUE(r.progress.empty());
        EXPECT_EQ(server->totalHits(), 0);
        EXPECT_TRUE(fake.running());
        EXPECT_EQ(readVersionFile(RENDER_ENGINE_DIR), c.installed);
    }
}

TEST_F(ComponentsTest, RenderEngineInstallsWhenMissingOlderOrForced) {
    const std::string url = archive("/engine.zip", kEngine);
    struct Case {
        const char* installed;  // "" = nothing installed
        const char* latest;
        bool force;
        bool reinstallStatus;
    } cases[] = {{"", "3", false, false}, {"", "3", true, false}, {"2.9", "3", false, false}, {"10", "10", true, true}};
    for (const Case& c : cases) {
        wipe();
        server->clear();
        server->serve("/engine.zip", makeZip(kEngine));
        if (*c.installed) {
            putFile(RENDER_ENGINE_DIR + "/version.txt", c.installed);
            putFile(RENDER_ENGINE_DIR + "/old/leftover.py", "old");
        }
        Recorder r;
        std::string stagedAtMove;
        StatusFn status = [&](const std::string& s) {
            r.statuses.push_back(s);
            if (s == "Installing to system directory (this may take a moment)...") {
                // The staged copy carries its version before it is moved.
                stagedAtMove = readFile(getRunTempDirectory() + "/zorvik_installer_render_engine/version.txt");
            }
        };
        ASSERT_TRUE(installRenderEngine({url}, c.latest, r.progressFn(), status, c.force)) << c.installed;
        EXPECT_EQ(stagedAtMove, c.latest);
        EXPECT_EQ(r.saw("Reinstalling Render Engine (force)..."), c.reinstallStatus);
        EXPECT_TRUE(r.saw("Downloading Render Engine..."));
        EXPECT_EQ(r.statuses.back(), "Render Engine installed");
        EXPECT_EQ(server->hits("/engine.zip"), 1);
        expectPerMille(r.progress, 0, 1000);

        EXPECT_EQ(readFile(RENDER_ENGINE_DIR + "/version.txt"), c.latest);
        EXPECT_EQ(readFile(RENDER_ENGINE_DIR + "/bin/python3"), "#!engine v3");
        EXPECT_FALSE(pathExists(RENDER_ENGINE_DIR + "/old")) << "the old installation must go whole";
        EXPECT_EQ(modeOf(RENDER_ENGINE_DIR + "/lib/os.py"), 0755u);
        EXPECT_EQ(modeOf(RENDER_ENGINE_DIR), 0755u);
        EXPECT_FALSE(pathExists(getRunTempDirectory() + "/zorvik_installer_render_engine"));
    }
}

TEST_F(ComponentsTest, StagingIsInsideAPrivateFolderOfTheTemporaryFolder) {
    const std::string url = archive("/engine.zip", kEngine);
    ASSERT_TRUE(installRenderEngine({url}, "1", nullptr, nullptr, false));
    const std::string run = getRunTempDirectory();
    ASSERT_FALSE(run.empty());
    EXPECT_EQ(run.rfind(getTempDirectory() + "/", 0), 0u) << run;
    EXPECT_EQ(modeOf(run), 0700u);
}

TEST_F(ComponentsTest, MultiPartRenderEngine) {
    const std::string whole = makeZip(kEngine);
    std::vector<std::string> urls;
    const size_t third = whole.size() / 3 + 1;
    for (int i = 0; i < 3; ++i) {
        char suffix[8];
        snprintf(suffix, sizeof(suffix), ".%03d", i);
        const std::string path = std::string("/split/engine.zip") + suffix;
        server->serve(path, whole.substr(i * third, third));
        urls.push_back(server->url(path));
    }
    Recorder r;
    ASSERT_TRUE(installRenderEngine(urls, "4", r.progressFn(), r.statusFn(), false));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(server->hits("/split/engine.zip.00" + std::to_string(i)), 1);
    EXPECT_EQ(readFile(RENDER_ENGINE_DIR + "/bin/python3"), "#!engine v3");
    EXPECT_EQ(readVersionFile(RENDER_ENGINE_DIR), "4");
    EXPECT_TRUE(r.sawContaining("Render Engine: "));
}

TEST_F(ComponentsTest, FailedDownloadLeavesTheEngineAndTheServerAlone) {
    putFile(RENDER_ENGINE_DIR + "/version.txt", "1");
    NamedProcess fake(serverProgram());
    ASSERT_TRUE(fake.started());
    Recorder r;
    EXPECT_FALSE(installRenderEngine({server->url("/missing.zip")}, "2", r.progressFn(), r.statusFn(), false));
    EXPECT_TRUE(fake.running());
    EXPECT_EQ(readVersionFile(RENDER_ENGINE_DIR), "1");
    EXPECT_FALSE(pathExists(getRunTempDirectory() + "/zorvik_installer_render_engine"));

    r.statuses.clear();
    EXPECT_FALSE(installRenderEngine({}, "2", r.progressFn(), r.statusFn(), false));
    EXPECT_TRUE(r.statuses.empty());
}

TEST_F(ComponentsTest, RunningServerIsStoppedBeforeTheCopy) {
    const std::string engine = archive("/engine.zip", kEngine);
    const std::string srv = archive("/server.zip", {{"launcher.py", "def launcher(**k): pass"}});

    putFile(RENDER_ENGINE_DIR + "/version.txt", "1");
    {
        NamedProcess fake(serverProgram());
        ASSERT_TRUE(fake.started());
        ASSERT_TRUE(installRenderEngine({engine}, "2", nullptr, nullptr, false));
        EXPECT_TRUE(fake.endsBy(SIGKILL));
    }
    NamedProcess fake(serverProgram());
    ASSERT_TRUE(fake.started());
    ASSERT_TRUE(installMRVServer(srv, "5", nullptr, nullptr));
    EXPECT_TRUE(fake.endsBy(SIGKILL));
}

TEST_F(ComponentsTest, RefusedChainFailsWithItsErrorAndKeepsTheInstallation) {
    const std::string url = archive("/engine.zip", kEngine);
    putFile(RENDER_ENGINE_DIR + "/version.txt", "1");
    releaseAuthorizationSession();
    AuthTesting::forceRightsStatus(-60006);
    Recorder r;
    EXPECT_FALSE(installRenderEngine({url}, "2", r.progressFn(), r.statusFn(), false));
    EXPECT_EQ(r.statuses.back(), "Error: Authorization was cancelled by user");
    EXPECT_EQ(readVersionFile(RENDER_ENGINE_DIR), "1");
    EXPECT_FALSE(pathExists(getRunTempDirectory() + "/zorvik_installer_render_engine"));
}

// ---------------------------------------------------------------------------
// MRV Server.

TEST_F(ComponentsTest, ServerInstallsEveryTimeWithSharedFoldersOpen) {
    const std::string url = archive("/server.zip", {{"launcher.py", "v5"}, {"app/", ""}, {"app/main.py", "main"}});
    for (bool withId : {false, true}) {
        wipe();
        if (withId) {
            putFile(MRV_BASE_DIR + "/id.txt", "abc");
            chmod((MRV_BASE_DIR + "/id.txt").c_str(), 0600);
        }
        putFile(MRV_SERVER_DIR + "/stale.py", "old");
        Recorder r;
        ASSERT_TRUE(installMRVServer(url, "5.1", r.progressFn(), r.statusFn()));
        EXPECT_EQ(r.statuses.front(), "Downloading MRV Server v5.1...");
        EXPECT_EQ(r.statuses.back(), "MRV Server installed");
        expectPerMille(r.progress, 0, 1000);
        EXPECT_EQ(readFile(MRV_SERVER_DIR + "/version.txt"), "5.1");
        EXPECT_EQ(readFile(MRV_SERVER_DIR + "/app/main.py"), "main");
        EXPECT_FALSE(pathExists(MRV_SERVER_DIR + "/stale.py"));
        EXPECT_EQ(modeOf(MRV_SERVER_DIR + "/launcher.py"), 0755u);
        EXPECT_EQ(modeOf(MRV_BASE_DIR), 01777u);
        EXPECT_EQ(modeOf(CRASH_REPORTS_DIR), 01777u);
        if (withId) {
            EXPECT_EQ(modeOf(MRV_BASE_DIR + "/id.txt"), 0600u) << "the identity code opens id.txt itself";
        }
        EXPECT_FALSE(pathExists(getRunTempDirectory() + "/zorvik_installer_mrv_server"));
    }
    EXPECT_EQ(server->hits("/server.zip"), 2) << "the same version is installed again";
}

TEST_F(ComponentsTest, ServerChainNeverChangesAModeThroughALink) {
    const std::string url = archive("/server.zip", {{"launcher.py", "v5"}});
    const std::string elsewhere = InstallerConfig::ROOT_PREFIX + "/elsewhere";
    run("rm -rf \"" + elsewhere + "\"");
    putFile(elsewhere + "/secret", "secret");
    ASSERT_EQ(chmod((elsewhere + "/secret").c_str(), 0600), 0);
    ASSERT_EQ(chmod(elsewhere.c_str(), 0700), 0);
    createDirectory(MRV_BASE_DIR);
    ASSERT_EQ(symlink((elsewhere + "/secret").c_str(), (MRV_BASE_DIR + "/id.txt").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), CRASH_REPORTS_DIR.c_str()), 0);

    Recorder r;
    ASSERT_TRUE(installMRVServer(url, "5", r.progressFn(), r.statusFn())) << r.statuses.back();
    EXPECT_EQ(modeOf(elsewhere + "/secret"), 0600u);
    EXPECT_EQ(modeOf(elsewhere), 0700u);
    EXPECT_EQ(readFile(elsewhere + "/secret"), "secret");
    struct stat st {};
    ASSERT_EQ(lstat(CRASH_REPORTS_DIR.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << "the link is replaced by a folder of its own";
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(readFile(MRV_SERVER_DIR + "/launcher.py"), "v5");

    // The identity code neither reads nor writes through the planted link,
    // and once it is gone makes an id.txt that every user can rewrite.
    const std::string idPath = MRV_BASE_DIR + "/id.txt";
    const std::string computed = PostHog::MachineID::getHashedMacId();
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(idPath), computed);
    EXPECT_EQ(readFile(elsewhere + "/secret"), "secret");
    ASSERT_EQ(unlink(idPath.c_str()), 0);
    EXPECT_EQ(PostHog::MachineID::getHashedMacIdWithFallback(idPath), computed);
    if (!computed.empty()) {
        EXPECT_EQ(readFile(idPath), computed);
        EXPECT_EQ(modeOf(idPath), 0666u);
    }
    run("rm -rf \"" + elsewhere + "\"");
}

TEST_F(ComponentsTest, CrashReportFolderOfAnotherOwnerIsMadeAfresh) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
    const std::string url = archive("/server.zip", {{"launcher.py", "v5"}});
    putFile(CRASH_REPORTS_DIR + "/planted", "x");
    ASSERT_EQ(chown(CRASH_REPORTS_DIR.c_str(), 65534, 65534), 0);
    Recorder r;
    ASSERT_TRUE(installMRVServer(url, "5", r.progressFn(), r.statusFn()));
    struct stat st {};
    ASSERT_EQ(lstat(CRASH_REPORTS_DIR.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    EXPECT_FALSE(pathExists(CRASH_REPORTS_DIR + "/planted"));
}

TEST_F(ComponentsTest, ServerChainWithAFailingCommandIsAFailure) {
    const std::string url = archive("/server.zip", {{"launcher.py", "v5"}});
    // A file where the server's parent folder should be: mkdir -p fails.
    putFile(MRV_BASE_DIR, "not a folder");
    Recorder r;
    EXPECT_FALSE(installMRVServer(url, "5", r.progressFn(), r.statusFn()));
    ASSERT_FALSE(r.statuses.empty());
    EXPECT_EQ(r.statuses.back(), "Error: Privileged command failed (exit status: 1)");
    EXPECT_FALSE(pathExists(getRunTempDirectory() + "/zorvik_installer_mrv_server"));
}

// ---------------------------------------------------------------------------
// Plug-ins.

struct PluginRecorder : Recorder {
    std::vector<std::pair<int, int>> overall;
    std::vector<std::string> overallTexts;
    std::vector<std::tuple<int, int, std::string>> starts;
    std::vector<int> sliceOf;  // component started last when each overall value came
    PluginProgressFn overallFn() {
        return [this](int v, int t, const std::string& text) {
            overall.emplace_back(v, t);
            overallTexts.push_back(text);
            int slice = -1;
            for (const auto& s : statuses) {
                if (s.find("(Adobe)...") != std::string::npos) slice = 0;
                if (s.find("(MRV)...") != std::string::npos) slice = 1;
                if (s.find("(Additional files)...") != std::string::npos) slice = 2;
            }
            sliceOf.push_back(slice);
        };
    }
    PluginProgressFn startFn() {
        return [this](int c, int t, const std::string& id) { starts.emplace_back(c, t, id); };
    }
};

TEST_F(ComponentsTest, PluginWithAllThreeComponents) {
    const std::string adobe = archive("/alpha/adobe.zip", {{"alpha.plugin/", ""},
                                                          {"alpha.plugin/Contents/Info.plist", "plist"},
                                                          {"alpha.plugin/Contents/MacOS/alpha", "bin"},
                                                          {"alpha-presets.txt", "presets"}});
    const std::string mrv = archive("/alpha/mrv.zip", {{"model.py", "m1"}, {"weights/", ""}, {"weights/a.bin", "w"}});
    const std::string extra = archive("/alpha/extra.zip", {{"extra/readme.txt", "x"}});
    putFile(PLUGINS_DIR + "/other.plugin/keep", "other");
    putFile(PLUGINS_DIR + "/alpha.plugin/Contents/stale", "old bundle");

    PluginRecorder r;
    ASSERT_TRUE(installPlugins({"alpha"}, manifestWith(entry("alpha", adobe, mrv, extra)), r.overallFn(),
                               r.statusFn(), r.startFn()));
    EXPECT_EQ(r.starts, (std::vector<std::tuple<int, int, std::string>>{{1, 1, "alpha"}}));
    EXPECT_EQ(r.statuses.front(), "Installing alpha (Adobe)...");
    EXPECT_TRUE(r.saw("Installing alpha (MRV)..."));
    EXPECT_TRUE(r.saw("Installing alpha (Additional files)..."));
    EXPECT_TRUE(r.sawContaining("alpha (Adobe): "));
    EXPECT_TRUE(r.sawContaining("alpha (Additional): "));
    EXPECT_EQ(r.statuses.back(), "alpha installed");

    EXPECT_EQ(readFile(PLUGINS_DIR + "/alpha.plugin/Contents/MacOS/alpha"), "bin");
    EXPECT_FALSE(pathExists(PLUGINS_DIR + "/alpha.plugin/Contents/stale"));
    EXPECT_EQ(readFile(PLUGINS_DIR + "/alpha-presets.txt"), "presets");
    EXPECT_EQ(readFile(PLUGINS_DIR + "/other.plugin/keep"), "other");
    EXPECT_EQ(modeOf(PLUGINS_DIR + "/alpha.plugin/Contents/Info.plist"), 0755u);
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/alpha/model.py"), "m1");
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/alpha/weights/a.bin"), "w");
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/alpha/extra/readme.txt"), "x");

    // Three slices of one plug-in: 0-333, 333-666, 666-1000, each reported
    // while its component is being installed.
    ASSERT_EQ(r.overall.size(), r.sliceOf.size());
    const int bounds[3][2] = {{0, 333}, {333, 666}, {666, 1000}};
    int last = 0;
    bool seen[3] = {false, false, false};
    for (size_t i = 0; i < r.overall.size(); ++i) {
        const int slice = r.sliceOf[i];
        ASSERT_GE(slice, 0);
        ASSERT_LT(slice, 3);
        seen[slice] = true;
        EXPECT_EQ(r.overall[i].second, 1000);
        EXPECT_GE(r.overall[i].first, bounds[slice][0]);
        EXPECT_LE(r.overall[i].first, bounds[slice][1]);
        EXPECT_GE(r.overall[i].first, last);
        last = r.overall[i].first;
    }
    EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
    for (const auto& t : r.overallTexts) EXPECT_EQ(t, "");
}

TEST_F(ComponentsTest, ReinstallEmptiesTheMrvFolderAndMergesAdditionalFiles) {
    const std::string mrv = archive("/beta/mrv.zip", {{"model.py", "m2"}});
    const std::string extra = archive("/beta/extra.zip", {{"data.txt", "d2"}});
    putFile(MRV_PLUGINS_DIR + "/beta/old_model.py", "m1");

    ASSERT_TRUE(installPlugins({"beta"}, manifestWith(entry("beta", "", mrv, extra)), nullptr, nullptr, nullptr));
    EXPECT_FALSE(pathExists(MRV_PLUGINS_DIR + "/beta/old_model.py"));
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/beta/model.py"), "m2");
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/beta/data.txt"), "d2");

    // Additional files alone merge: nothing of the earlier installation goes.
    PluginRecorder r;
    ASSERT_TRUE(installPlugins({"beta"}, manifestWith(entry("beta", "", "", extra)), r.overallFn(), r.statusFn(),
                               nullptr));
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/beta/model.py"), "m2");
    EXPECT_GE(r.overall.back().first, 700);
}

// Before any plug-in with a component is installed, another user can make
// the shared plug-in folder: as a link to a folder elsewhere, or as a folder
// of their own. The installation replaces it and acts on nothing through it.
TEST_F(ComponentsTest, PluginFolderPlantedBeforehandIsMadeAfresh) {
    const std::string mrv = archive("/eps/mrv.zip", {{"model.py", "m"}});
    const std::string extra = archive("/eps/extra.zip", {{"data.txt", "d"}});
    const std::string elsewhere = InstallerConfig::ROOT_PREFIX + "/elsewhere";
    enum class Plant { Link, ForeignFolder };
    const bool root = geteuid() == 0;
    for (Plant plant : {Plant::Link, Plant::ForeignFolder}) {
        SCOPED_TRACE(plant == Plant::Link ? "a link" : "a folder of another user");
        if (plant == Plant::ForeignFolder && !root) continue;
        wipe();
        run("rm -rf \"" + elsewhere + "\"");
        putFile(elsewhere + "/epsilon/keep", "kept");
        ASSERT_EQ(chmod(elsewhere.c_str(), 0700), 0);
        createDirectory(MRV_BASE_DIR);
        ASSERT_EQ(chmod(MRV_BASE_DIR.c_str(), 01777), 0);
        if (plant == Plant::Link) {
            ASSERT_EQ(symlink(elsewhere.c_str(), MRV_PLUGINS_DIR.c_str()), 0);
        } else {
            putFile(MRV_PLUGINS_DIR + "/epsilon/planted.py", "theirs");
            run("chown -R 65534:65534 \"" + MRV_PLUGINS_DIR + "\"");
        }

        ASSERT_TRUE(installPlugin("epsilon", "", mrv, extra, [](uint64_t, uint64_t) {}, nullptr));
        EXPECT_EQ(readFile(elsewhere + "/epsilon/keep"), "kept");
        EXPECT_EQ(modeOf(elsewhere), 0700u);
        struct stat folder {};
        ASSERT_EQ(lstat(MRV_PLUGINS_DIR.c_str(), &folder), 0);
        EXPECT_TRUE(S_ISDIR(folder.st_mode));
        EXPECT_EQ(folder.st_uid, geteuid());
        EXPECT_EQ(folder.st_mode & 07777, 0755u);
        EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/epsilon/model.py"), "m");
        EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/epsilon/data.txt"), "d");
        EXPECT_FALSE(pathExists(MRV_PLUGINS_DIR + "/epsilon/planted.py"));
    }
    run("rm -rf \"" + elsewhere + "\"");
    if (!root) GTEST_SKIP() << "the folder of another user needs root to give a folder away (the link was checked)";
}

TEST_F(ComponentsTest, ServerChainMakesThePluginFolderItsOwn) {
    const std::string url = archive("/server.zip", {{"launcher.py", "v5"}});
    const std::string elsewhere = InstallerConfig::ROOT_PREFIX + "/elsewhere";
    run("rm -rf \"" + elsewhere + "\"");
    putFile(elsewhere + "/keep", "kept");
    ASSERT_EQ(chmod(elsewhere.c_str(), 0700), 0);
    createDirectory(MRV_BASE_DIR);
    ASSERT_EQ(symlink(elsewhere.c_str(), MRV_PLUGINS_DIR.c_str()), 0);
    Recorder r;
    ASSERT_TRUE(installMRVServer(url, "5", r.progressFn(), r.statusFn())) << r.statuses.back();
    struct stat folder {};
    ASSERT_EQ(lstat(MRV_PLUGINS_DIR.c_str(), &folder), 0);
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    EXPECT_EQ(folder.st_uid, geteuid());
    EXPECT_EQ(folder.st_mode & 07777, 0755u);
    EXPECT_EQ(modeOf(elsewhere), 0700u);
    EXPECT_EQ(readFile(elsewhere + "/keep"), "kept");
    run("rm -rf \"" + elsewhere + "\"");
}

TEST_F(ComponentsTest, MrvAndAdditionalOnlySplitTheSliceInHalves) {
    const std::string mrv = archive("/g/mrv.zip", {{"a", "a"}});
    const std::string extra = archive("/g/extra.zip", {{"b", "b"}});
    Recorder r;
    bool inAdditional = false;
    std::vector<std::pair<bool, uint64_t>> seen;
    StatusFn status = [&](const std::string& s) {
        r.statuses.push_back(s);
        if (s == "Installing gamma (Additional files)...") inAdditional = true;
    };
    ProgressFn progress = [&](uint64_t d, uint64_t t) {
        EXPECT_EQ(t, 1000u);
        seen.emplace_back(inAdditional, d);
    };
    ASSERT_TRUE(installPlugin("gamma", "", mrv, extra, progress, status));
    bool both[2] = {false, false};
    for (const auto& p : seen) {
        both[p.first] = true;
        EXPECT_GE(p.second, p.first ? 500u : 0u);
        EXPECT_LE(p.second, p.first ? 1000u : 500u);
    }
    EXPECT_TRUE(both[0] && both[1]);
}

TEST_F(ComponentsTest, LegacyBundleIsRemovedFirstAndOnlyIt) {
    const std::string adobe = archive("/delta/adobe.zip", {{"delta.plugin/Contents/x", "new"}});
    putFile(PLUGINS_DIR + "/OldDelta.plugin/Contents/x", "legacy");
    putFile(PLUGINS_DIR + "/OldDelta.aex", "windows build of it");
    ASSERT_TRUE(installPlugins({"delta"}, manifestWith(entry("delta", adobe, "", "", "OldDelta")), nullptr, nullptr,
                               nullptr));
    EXPECT_FALSE(pathExists(PLUGINS_DIR + "/OldDelta.plugin"));
    EXPECT_TRUE(pathExists(PLUGINS_DIR + "/OldDelta.aex"));
    EXPECT_EQ(readFile(PLUGINS_DIR + "/delta.plugin/Contents/x"), "new");
}

TEST_F(ComponentsTest, IdMissingFromTheManifestIsSkippedWithItsSliceUnreported) {
    const std::string mrv = archive("/eps/mrv.zip", {{"a", "a"}});
    PluginRecorder r;
    ASSERT_TRUE(installPlugins({"nowhere", "eps"}, manifestWith(entry("eps", "", mrv, "")), r.overallFn(),
                               r.statusFn(), r.startFn()));
    EXPECT_EQ(r.starts, (std::vector<std::tuple<int, int, std::string>>{{1, 2, "nowhere"}, {2, 2, "eps"}}));
    ASSERT_FALSE(r.overall.empty());
    for (const auto& p : r.overall) EXPECT_GE(p.first, 500);
    EXPECT_GE(r.overall.back().first, 850);
    EXPECT_EQ(r.statuses.back(), "eps installed");
}

// A version from the manifest that holds line breaks is logged with them
// escaped: it never writes a line of the installer's own (ids holding them
// are refused, and shown with "?").
TEST_F(ComponentsTest, ManifestTextNeverWritesALogLineOfItsOwn) {
    const std::string forged = "\n[PLUGIN] Plugin installation complete: p\r";
    const std::string url = archive("/server.zip", {{"launcher.py", "v5"}});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(installMRVServer(url, "5.1" + forged, nullptr, nullptr));
    const std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(zrvk_test::contains(out, "[MRV_SERVER] Version: 5.1\\x0A[PLUGIN] Plugin installation complete: p\\x0D\n"))
        << out;
    for (const std::string* log : {&out, &err}) {
        EXPECT_FALSE(zrvk_test::contains(*log, "\n[PLUGIN] Plugin installation complete: p")) << *log;
        EXPECT_FALSE(zrvk_test::contains(*log, "\r")) << *log;
    }
}

TEST_F(ComponentsTest, FailureInTheSecondPluginStopsTheStep) {
    const std::string first = archive("/one/mrv.zip", {{"a", "a"}});
    const std::string third = archive("/three/mrv.zip", {{"c", "c"}});
    const std::string manifest = manifestWith(entry("one", "", first, "") + "," +
                                              entry("two", "", server->url("/two/missing.zip"), "") + "," +
                                              entry("three", "", third, ""));
    PluginRecorder r;
    EXPECT_FALSE(installPlugins({"one", "two", "three"}, manifest, r.overallFn(), r.statusFn(), r.startFn()));
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/one/a"), "a");
    EXPECT_EQ(server->hits("/three/mrv.zip"), 0);
    EXPECT_EQ(r.starts.size(), 2u);
    EXPECT_FALSE(pathExists(getRunTempDirectory() + "/zorvik_installer_plugin_mrv_two"));
}

TEST_F(ComponentsTest, ChainWithAFailingCommandFailsThePlugin) {
    const std::string mrv = archive("/z/mrv.zip", {{"a", "a"}});
    putFile(MRV_BASE_DIR, "a file, not a folder");
    Recorder r;
    EXPECT_FALSE(installPlugin("zeta", "", mrv, "", r.progressFn(), r.statusFn()));
    EXPECT_EQ(r.statuses.back(), "Error installing zeta (MRV): Privileged command failed (exit status: 1)");

}

TEST_F(ComponentsTest, UnsafeIdsAndLegacyNamesAreRefusedBeforeAnyUse) {
    const std::string mrv = archive("/u/mrv.zip", {{"a", "a"}});
    const std::vector<std::string> unsafe = {"",    ".",      "..",    "../evil", "a/b",  "a\\b", "a\"b", "$(id)",
                                             "a`id`", "a\nb",  "tab\t", "del\x7f", "x'+(1)+'", "50%",  "a!b",  "a^b",
                                             "a&b",  "a|b",   "a<b",   "a>b",     "a;b"};
    for (const std::string& id : unsafe) {
        PluginRecorder r;
        EXPECT_FALSE(installPlugins({id}, manifestWith(entry(id, "", mrv, "")), r.overallFn(), r.statusFn(),
                                    r.startFn()))
            << id;
        ASSERT_FALSE(r.statuses.empty()) << id;
        EXPECT_NE(r.statuses.back().find("unsafe plugin id"), std::string::npos) << r.statuses.back();
        EXPECT_NE(r.statuses.back().find("Error"), std::string::npos);

        Recorder direct;
        EXPECT_FALSE(installPlugin(id, "", mrv, "", direct.progressFn(), direct.statusFn())) << id;
        EXPECT_NE(direct.statuses.back().find("unsafe plugin id"), std::string::npos);
    }
    EXPECT_EQ(server->totalHits(), 0);

    for (const char* legacy : {"..", "../../x", "a\"; rm -rf /tmp/x; \"", "$HOME"}) {
        Recorder r;
        EXPECT_FALSE(installPlugins({"okay"}, manifestWith(entry("okay", "", mrv, "", legacy)), nullptr,
                                    r.statusFn(), nullptr));
        EXPECT_EQ(r.statuses.back(), "Error installing okay: unsafe legacy plugin name");
    }
    EXPECT_EQ(server->totalHits(), 0);
}

TEST_F(ComponentsTest, ManifestEdgeCases) {
    // No ids: the manifest is not even parsed.
    EXPECT_TRUE(installPlugins({}, "not json", nullptr, nullptr, nullptr));
    EXPECT_FALSE(installPlugins({"a"}, "not json", nullptr, nullptr, nullptr));

    // An entry without URLs installs nothing and succeeds.
    Recorder r;
    EXPECT_TRUE(installPlugins({"bare"}, manifestWith(entry("bare", "", "", "")), nullptr, r.statusFn(), nullptr));
    EXPECT_EQ(r.statuses, std::vector<std::string>{"bare installed"});

    // A URL that is not a string fails the step with an error status.
    r.statuses.clear();
    EXPECT_FALSE(installPlugins({"odd"}, manifestWith("{\"id\":\"odd\",\"mrv_plugin_mac_url\":42}"), nullptr,
                                r.statusFn(), nullptr));
    EXPECT_EQ(r.statuses.back(), "Error installing odd: invalid manifest entry");

    // Entries that are not objects, an id of another type, and plugins not an array match nothing.
    EXPECT_TRUE(installPlugins({"x"}, manifestWith("1,\"x\",{\"id\":7}"), nullptr, nullptr, nullptr));
    EXPECT_TRUE(installPlugins({"x"}, "{\"plugins\":{\"id\":\"x\"}}", nullptr, nullptr, nullptr));
    EXPECT_TRUE(installPlugins({"7"}, manifestWith("{\"id\":7,\"mrv_plugin_mac_url\":\"http://127.0.0.1:1/x\"}"),
                               nullptr, nullptr, nullptr));
}

// ---------------------------------------------------------------------------
// Entries other users can plant where a chain acts: the maker's folder in
// Adobe's shared plug-in folder, the server folder in the shared data
// folder, the logs folder. Each is replaced, nothing is done through it.

TEST_F(ComponentsTest, PlantedEntriesWhereTheChainsActAreReplacedNeverFollowed) {
    const std::string elsewhere = InstallerConfig::ROOT_PREFIX + "/elsewhere";
    const std::string adobe = archive("/planted/adobe.zip", {{"theta.plugin/Contents/x", "new"}});
    const std::string serverUrl = archive("/planted/server.zip", {{"launcher.py", "v6"}});
    auto sharedFolder = [](const std::string& path) {
        createDirectory(path);
        ASSERT_EQ(chmod(path.c_str(), 01777), 0);
    };
    struct Case {
        const char* what;
        std::function<void()> plant;
        std::function<bool()> act;
        std::string folder;     // a real folder of the chain's own afterwards
        std::string installed;  // and a file in it, when the case installs one
    } cases[] = {
        {"a link at the maker's folder in Adobe's plug-in folder",
         [&] {
             sharedFolder(MEDIACORE_DIR);
             ASSERT_EQ(symlink(elsewhere.c_str(), PLUGINS_DIR.c_str()), 0);
         },
         [&] {
             return installPlugins({"theta"}, manifestWith(entry("theta", adobe, "", "", "OldTheta")), nullptr,
                                   nullptr, nullptr);
         },
         PLUGINS_DIR, PLUGINS_DIR + "/theta.plugin/Contents/x"},
        {"a file at the server folder",
         [&] {
             sharedFolder(MRV_BASE_DIR);
             putFile(MRV_SERVER_DIR, "planted");
         },
         [&] { return installMRVServer(serverUrl, "6", nullptr, nullptr); }, MRV_SERVER_DIR,
         MRV_SERVER_DIR + "/launcher.py"},
        {"a dangling link at the server folder",
         [&] {
             sharedFolder(MRV_BASE_DIR);
             ASSERT_EQ(symlink((elsewhere + "/nowhere").c_str(), MRV_SERVER_DIR.c_str()), 0);
         },
         [&] { return installMRVServer(serverUrl, "6", nullptr, nullptr); }, MRV_SERVER_DIR,
         MRV_SERVER_DIR + "/launcher.py"},
        {"a link at the logs folder",
         [&] {
             run("rm -rf \"" + InstallerConfig::MAC_LOGS_DIR + "\"");
             ASSERT_EQ(symlink(elsewhere.c_str(), InstallerConfig::MAC_LOGS_DIR.c_str()), 0);
         },
         [] {
             Startup::prepareLogsFolder();
             return true;
         },
         InstallerConfig::MAC_LOGS_DIR, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        wipe();
        run("rm -rf \"" + elsewhere + "\"");
        putFile(elsewhere + "/OldTheta.plugin/keep", "kept");
        putFile(elsewhere + "/theta.plugin/keep", "kept");
        ASSERT_EQ(chmod(elsewhere.c_str(), 0700), 0);
        c.plant();
        EXPECT_TRUE(c.act());
        struct stat folder {};
        ASSERT_EQ(lstat(c.folder.c_str(), &folder), 0);
        EXPECT_TRUE(S_ISDIR(folder.st_mode));
        EXPECT_EQ(folder.st_uid, geteuid());
        if (!c.installed.empty()) {
            EXPECT_TRUE(pathExists(c.installed));
        }
        EXPECT_EQ(modeOf(elsewhere), 0700u);
        EXPECT_EQ(readFile(elsewhere + "/OldTheta.plugin/keep"), "kept");
        EXPECT_EQ(readFile(elsewhere + "/theta.plugin/keep"), "kept");
        EXPECT_FALSE(pathExists(elsewhere + "/theta.plugin/Contents"));
    }
    EXPECT_EQ(modeOf(InstallerConfig::MAC_LOGS_DIR), 01777u);
    run("rm -rf \"" + elsewhere + "\"");
}

TEST_F(ComponentsTest, TheMakersAdobeFolderOfAnotherUserIsMadeAfresh) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
    const std::string adobe = archive("/iota/adobe.zip", {{"iota.plugin/Contents/x", "new"}});
    putFile(PLUGINS_DIR + "/planted.plugin/x", "theirs");
    run("chown -R 65534:65534 \"" + PLUGINS_DIR + "\"");
    ASSERT_TRUE(installPlugins({"iota"}, manifestWith(entry("iota", adobe, "", "")), nullptr, nullptr, nullptr));
    struct stat folder {};
    ASSERT_EQ(lstat(PLUGINS_DIR.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_uid, 0u);
    EXPECT_EQ(folder.st_mode & 07777, 0755u);
    EXPECT_FALSE(pathExists(PLUGINS_DIR + "/planted.plugin"));
    EXPECT_EQ(readFile(PLUGINS_DIR + "/iota.plugin/Contents/x"), "new");
}

// The chains make their folders the same whatever the installer's umask.
TEST_F(ComponentsTest, FoldersTheChainsMakeDoNotDependOnTheCallersUmask) {
    const std::string brand = RENDER_ENGINE_DIR.substr(0, RENDER_ENGINE_DIR.rfind('/'));
    run("rm -rf \"" + brand + "\" \"" + MEDIACORE_DIR + "\"");
    const std::string engine = archive("/umask/engine.zip", {{"bin/python3", "engine"}});
    const std::string adobe = archive("/umask/adobe.zip", {{"kappa.plugin/Contents/x", "x"}});
    const std::string mrv = archive("/umask/mrv.zip", {{"model.py", "m"}});
    const mode_t before = umask(0);
    const bool engineInstalled = installRenderEngine({engine}, "1", nullptr, nullptr, true);
    const bool pluginInstalled =
        installPlugins({"kappa"}, manifestWith(entry("kappa", adobe, mrv, "")), nullptr, nullptr, nullptr);
    umask(before);
    ASSERT_TRUE(engineInstalled && pluginInstalled);
    for (const std::string& folder : {brand, MRV_BASE_DIR.substr(0, MRV_BASE_DIR.rfind('/')), MEDIACORE_DIR,
                                      PLUGINS_DIR, MRV_PLUGINS_DIR}) {
        EXPECT_EQ(modeOf(folder) & 0022, 0u) << folder;
    }
}

}  // namespace
