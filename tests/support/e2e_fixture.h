// The real program as a process against the demo catalogue on the fixed
// loopback port, on its own screen: the fixture of the end-to-end tests.
// The page is observed by its pixels (the web view's console is not reachable
// from outside), by the native log lines and by the requests the server sees.
#pragma once

#include "installer_config.h"
#include "loopback_server.h"
#include "child_process.h"
#include "e2e_screen.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zrvk_test::e2e {

using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;

inline const std::string kProgram = ZRVK_E2E_PROGRAM;
inline const std::string kXclose = ZRVK_XCLOSE_PROGRAM;
inline const std::string kGenerator = ZRVK_CATALOGUE_GENERATOR;
inline const std::string kDisplayEnv = ZRVK_DISPLAY_TEST_HOME_DIR;
inline const std::string kFonts = ZRVK_TEST_FONTCONFIG_FILE;
inline constexpr int kPort = ZRVK_TEST_PORT_NUMBER;

inline bool hasDisplay() { return std::getenv("DISPLAY") && *std::getenv("DISPLAY"); }

inline std::string contentType(const std::string& path) {
    static const std::pair<const char*, const char*> types[] = {
        {".json", "application/json"}, {".html", "text/html; charset=utf-8"}, {".txt", "text/plain; charset=utf-8"},
        {".png", "image/png"},         {".zip", "application/zip"},
    };
    for (const auto& [ext, type] : types) {
        const std::string e(ext);
        if (path.size() >= e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0) return type;
    }
    return path.find("/placeholder/") != std::string::npos ? "image/png" : "application/octet-stream";
}

inline std::string firstLine(const std::string& path) {
    const std::string text = readFile(path);
    return text.substr(0, text.find('\n'));
}

inline bool isArchivePart(const std::string& path) {
    const auto dot = path.rfind('.');
    return dot != std::string::npos && path.size() - dot == 4 && path.compare(dot - 4, 4, ".zip") == 0;
}

// Serves a folder like the real hosts (GET, HEAD by the library) and takes
// the analytics POSTs. The render-engine parts trickle in, so the progress
// page stays long enough to be seen.
inline void serveFolder(LoopbackServer& server, const std::string& root) {
    server.routePrefix("GET", "/", [root](const Request& req) {
        std::string path = req.target.substr(0, req.target.find_first_of("?#"));
        if (path.find("..") != std::string::npos) return Response::text(403, "forbidden\n");
        std::string full = root + path;
        struct stat st {};
        if (stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) full += "/index.html";
        if (stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Response::text(404, "not found\n");
        if (isArchivePart(full)) {
            Response slow = Response::text(200, readFile(full), "application/octet-stream");
            slow.framing = Response::Framing::Chunked;
            slow.chunkSize = 8 * 1024;
            slow.chunkPause = 60ms;
            return slow;
        }
        return Response::file(full, contentType(full)).withHeader("Access-Control-Allow-Origin", "*");
    });
    server.routePrefix("POST", "", Response::text(200, "{\"status\":1}", "application/json"));
}

inline std::size_t gets(const LoopbackServer& server, const std::string& target) {
    std::size_t count = 0;
    for (const Request& r : server.requests()) count += r.method == "GET" && r.target == target;
    return count;
}

inline bool servedGet(const LoopbackServer& server, const std::string& target) { return gets(server, target) > 0; }

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        zrvk_test::run("mkdir -p " + quote(kWork) + " " + quote(kScreenshots) + " " + quote(kDisplayEnv + "/cache"));
        const std::string log = kWork + "/generator.log";
        catalogueMade_ = zrvk_test::run("timeout 60 python3 " + quote(kGenerator) + " --out " + quote(catalogue()) +
                                        " --port " + std::to_string(kPort) + " --server-lifetime 120 > " +
                                        quote(log) + " 2>&1") == 0;
    }

    static std::string catalogue() { return kWork + "/catalogue"; }

    void SetUp() override {
        if (!hasDisplay()) GTEST_SKIP() << "needs a display (ctest runs under xvfb-run)";
        ASSERT_TRUE(catalogueMade_) << readFile(kWork + "/generator.log");
        std::string error;
        ASSERT_TRUE(screen_.start(error)) << error;
    }

    void startServer() {
        serveFolder(server_, catalogue());
        LoopbackServer::Options options;
        options.port = static_cast<std::uint16_t>(kPort);
        std::string error;
        ASSERT_TRUE(server_.start(options, error)) << error;
    }

    // extraEnv: more "NAME=value" settings for the program.
    void launch(const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> env{"DISPLAY=" + screen_.display(), "WAYLAND_DISPLAY", "HOME=" + kDisplayEnv,
                                     "XDG_CACHE_HOME=" + kDisplayEnv + "/cache", "XDG_DATA_HOME=" + kDisplayEnv + "/data",
                                     "XDG_CONFIG_HOME=" + kDisplayEnv + "/config", "GSETTINGS_BACKEND=memory",
                                     "FONTCONFIG_FILE=" + kFonts,
                                     "http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"};
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        program_ = std::make_unique<ChildProcess>(std::vector<std::string>{kProgram}, env);
        ASSERT_TRUE(program_->waitForOutput("[MAIN] Entering main loop...", 30s)) << program_->out() << program_->err();
        passHostCheck();
    }

    // A process named like a host application (another test's, on a shared
    // machine) shows the host-application page: Retry until it is gone.
    void passHostCheck() {
        const std::string answer = "[checkHostApp] Returning: ";
        ASSERT_TRUE(program_->waitForOutput(answer, 30s)) << program_->out();
        const auto end = std::chrono::steady_clock::now() + 60s;
        std::size_t seen = 0;
        while (std::chrono::steady_clock::now() < end) {
            const std::string out = program_->out();
            std::size_t last = std::string::npos, count = 0;
            for (auto at = out.find(answer); at != std::string::npos; at = out.find(answer, at + 1)) last = at, ++count;
            if (out.compare(last + answer.size(), 18, "{\"isRunning\":false") == 0) return;
            if (count > seen && screen_.shows(kNoInternet)) {  // the host page has the same buttons
                seen = count;
                ASSERT_TRUE(screen_.click(kRetry));
            }
            std::this_thread::sleep_for(250ms);
        }
        FAIL() << "a host application stays running";
    }

    // Closes the window like its close button and expects a clean exit.
    void closeWindow() {
        int status = 1;
        for (int i = 0; i < 50 && status != 0; ++i) {
            status = screen_.x(quote(kXclose) + " 'Zorvik Installer'");
            if (status != 0) std::this_thread::sleep_for(100ms);
        }
        ASSERT_EQ(status, 0) << "no window titled Zorvik Installer";
        expectCleanExit();
    }

    void expectCleanExit() {
        ASSERT_EQ(program_->wait(30s), 0) << program_->err();
        EXPECT_NE(program_->out().find("[MAIN] Exiting..."), std::string::npos);
    }

    // Picks the plug-ins of these rows and starts their installation.
    void installPluginRows(const std::vector<int>& rows) {
        for (int row : rows) ASSERT_TRUE(screen_.click(pluginRow(row)));
        ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s));
        ASSERT_TRUE(screen_.click(kInstall));
    }
    void installFirstAndThirdPlugin() { installPluginRows({0, 2}); }

    void reachPluginList() {
        ASSERT_TRUE(screen_.waitFor(kWelcome, 40s)) << program_->out();
        ASSERT_TRUE(screen_.click(kGetStarted));
        ASSERT_TRUE(screen_.waitFor(kPlugins, 20s));
    }

    // Removes what an earlier installation left in the sandbox.
    static void removeInstallation() {
        namespace P = InstallerConfig::Paths;
        for (const std::string& dir : {P::RENDER_ENGINE_DIR, P::MRV_SERVER_DIR, P::MRV_PLUGINS_DIR, P::PLUGINS_DIR,
                                       P::MEDIACORE_DIR, P::MRV_BASE_DIR + "/server-status.json"}) {
            ASSERT_EQ(dir.rfind(InstallerConfig::ROOT_PREFIX + "/", 0), 0u) << "sandboxed paths only: " << dir;
            ASSERT_FALSE(InstallerConfig::ROOT_PREFIX.empty());
            zrvk_test::run("rm -rf " + quote(dir));
        }
    }

    // The server the installer started, by the pid it logged (0: none).
    pid_t launchedServer() {
        const std::string marker = "[launchMRVServer] Process launched with PID: ";
        const std::string out = program_ ? program_->out() : "";
        const auto at = out.find(marker);
        return at == std::string::npos ? 0 : static_cast<pid_t>(std::atoi(out.c_str() + at + marker.size()));
    }

    void TearDown() override {
        // The installed server outlives the installer by design; not the test.
        if (const pid_t pid = launchedServer()) kill(pid, SIGKILL);
    }

    inline static bool catalogueMade_ = false;
    Screen screen_;
    LoopbackServer server_;
    std::unique_ptr<ChildProcess> program_;
};

}  // namespace zrvk_test::e2e
