// The real program as a process: start-up lines, the log file and the exit
// status, with and without a display.
#include "installer_config.h"
#include "support/child_process.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <string>

using zrvk_test::ChildProcess;
using zrvk_test::readFile;

namespace {

const std::string kProgram = ZRVK_E2E_PROGRAM;
const std::string kXclose = ZRVK_XCLOSE_PROGRAM;
const std::string kScreenshots = ZRVK_SCREENSHOT_DIR;

std::string logPathFrom(const std::string& out) {
    const std::string marker = "[LOGGER] Log file created: ";
    const auto at = out.find(marker);
    if (at == std::string::npos) return "";
    const auto end = out.find('\n', at);
    return out.substr(at + marker.size(), end - at - marker.size());
}

bool hasDisplay() { return std::getenv("DISPLAY") && *std::getenv("DISPLAY"); }

TEST(StartUp, WithoutADisplayTheProgramExitsOneAfterLogging) {
    ChildProcess child({kProgram}, {"DISPLAY", "WAYLAND_DISPLAY"});
    ASSERT_EQ(child.wait(std::chrono::seconds(30)), 1) << child.err();
    EXPECT_NE(child.err().find("[ERROR] Failed to create webview\n"), std::string::npos);

    const std::string out = child.out();
    const std::string path = logPathFrom(out);
    ASSERT_EQ(path.rfind(InstallerConfig::MAC_LOGS_DIR + "/installer_", 0), 0u) << out;
    const std::string log = readFile(path);
    for (const char* line : {"ZRVK Installer Log\n", "[MAIN] Zorvik Installer starting...\n",
                             "[MAIN] Using webview C API with embedded resources\n", "[MAIN] Creating webview...\n",
                             "[ERROR] Failed to create webview\n", "Installer log ended\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(out.find("[MAIN] Dev mode enabled"), std::string::npos);

    // Every user writes logs there, and only each file's owner may replace it.
    struct stat folder;
    ASSERT_EQ(stat(InstallerConfig::MAC_LOGS_DIR.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 01777u);
}

TEST(StartUp, OnlyTheExactDevSwitchTurnsDevModeOn) {
    struct Case {
        std::vector<std::string> args;
        bool dev;
    };
    const Case cases[] = {
        {{"--dev"}, true},
        {{"other", "--dev", "more"}, true},
        {{"--DEV"}, false},
        {{"-dev"}, false},
        {{"---dev"}, false},
        {{"--dev2"}, false},
        {{"--dev "}, false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kProgram};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ChildProcess child(argv, {"DISPLAY", "WAYLAND_DISPLAY"});
        ASSERT_EQ(child.wait(std::chrono::seconds(30)), 1);
        EXPECT_EQ(child.out().find("[MAIN] Dev mode enabled") != std::string::npos, c.dev) << c.args[0];
    }
}

TEST(StartUp, ClosingTheWindowEndsTheLoopAndExitsZero) {
    if (!hasDisplay()) GTEST_SKIP() << "needs a display (ctest runs under xvfb-run)";
    ChildProcess child({kProgram});
    ASSERT_TRUE(child.waitForOutput("[MAIN] Entering main loop...", std::chrono::seconds(30))) << child.out() << child.err();
    const std::string out = child.out();
    EXPECT_NE(out.find("[MAIN] Webview created successfully"), std::string::npos);
    EXPECT_NE(out.find("[MAIN] Binding JavaScript functions..."), std::string::npos);
    EXPECT_NE(out.find("[MAIN] Executable name: ZorvikInstaller-e2e"), std::string::npos);
    EXPECT_NE(out.find("[MAIN] Loading embedded HTML content..."), std::string::npos);

    // No catalogue is served: the manifest worker gives up after its retries
    // and reports it. It is done writing before the window closes, so nothing
    // of it can follow the last line of main in the log.
    ASSERT_TRUE(child.waitForOutput("[ANALYTICS] Queued event: manifest_load_error", std::chrono::seconds(60)))
        << child.out();

    std::this_thread::sleep_for(std::chrono::seconds(2));
    zrvk_test::run("mkdir -p '" + kScreenshots + "' && import -window root '" + kScreenshots + "/startup.png'");

    ASSERT_TRUE(zrvk_test::waitUntil([] { return zrvk_test::run("'" + kXclose + "' 'Zorvik Installer'") == 0; }))
        << "no window titled Zorvik Installer";
    ASSERT_EQ(child.wait(std::chrono::seconds(30)), 0) << child.err();
    const std::string all = child.out();
    EXPECT_NE(all.find("[MAIN] Main loop exited, destroying webview..."), std::string::npos);
    EXPECT_NE(all.find("[MAIN] Exiting..."), std::string::npos);
    const std::string log = readFile(logPathFrom(all));
    EXPECT_NE(log.find("[MAIN] Exiting...\n\n" + std::string(40, '=') + "\nInstaller log ended\n"), std::string::npos)
        << log;
}

}  // namespace
