// The real program end to end: a private Xvfb screen, the demo catalogue on
// the fixed loopback port, clicks with xdotool and screenshots with
// ImageMagick. The page is observed by its pixels (the web view's console is
// not reachable from outside), by the native log lines and by the requests
// the server sees.
#include "installer_config.h"
#include "loopback_server.h"
#include "support/child_process.h"
#include "support/plugin_fixtures.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;
using zrvk_test::ChildProcess;
using zrvk_test::readFile;
using namespace std::chrono_literals;

namespace {

const std::string kProgram = ZRVK_E2E_PROGRAM;
const std::string kXclose = ZRVK_XCLOSE_PROGRAM;
const std::string kScreenshots = ZRVK_SCREENSHOT_DIR;
const std::string kWork = ZRVK_E2E_WORK_DIR;
const std::string kGenerator = ZRVK_CATALOGUE_GENERATOR;
const std::string kDisplayEnv = ZRVK_DISPLAY_TEST_HOME_DIR;
const int kPort = ZRVK_TEST_PORT_NUMBER;
const int kWidth = 600, kHeight = 520;

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool hasDisplay() { return std::getenv("DISPLAY") && *std::getenv("DISPLAY"); }

std::string contentType(const std::string& path) {
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

std::string firstLine(const std::string& path) {
    const std::string text = readFile(path);
    return text.substr(0, text.find('\n'));
}

bool isArchivePart(const std::string& path) {
    const auto dot = path.rfind('.');
    return dot != std::string::npos && path.size() - dot == 4 && path.compare(dot - 4, 4, ".zip") == 0;
}

// Serves a folder like the real hosts (GET, HEAD by the library) and takes
// the analytics POSTs. The render-engine parts trickle in, so the progress
// page stays long enough to be seen.
void serveFolder(LoopbackServer& server, const std::string& root) {
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

std::size_t gets(const LoopbackServer& server, const std::string& target) {
    std::size_t count = 0;
    for (const Request& r : server.requests()) count += r.method == "GET" && r.target == target;
    return count;
}

bool servedGet(const LoopbackServer& server, const std::string& target) { return gets(server, target) > 0; }

// Colour classes the page's pixels fall into (light theme).
enum class Colour { Accent, AccentOrFaded, White, Background, NotBackground, Track, Red, RedOrFaded, Dark };

// A vertical stretch of one column, from y0 to y1, that must hold a run of
// at least `minRun` pixels of a colour (or, with `none`, no such pixel).
// Stretches rather than points, as the pages centre their content and move
// with their texts.
struct Probe {
    int x, y0, y1;
    Colour colour;
    int minRun = 1;
    bool none = false;
};

struct PageLook {
    const char* name;
    std::vector<Probe> probes;
};

// What tells the pages apart in the 600x520 window at the screen's corner.
// Button columns avoid the buttons' labels.
const PageLook kWelcome{"welcome", {{230, 150, 450, Colour::Dark, 40}, {222, 300, 500, Colour::Accent, 20}}};
const PageLook kPlugins{"plugins", {{470, 80, 400, Colour::White, 20}, {475, 380, 519, Colour::AccentOrFaded, 20}}};
const PageLook kPluginsSelected{"plugins with a selection",
                                {{470, 80, 400, Colour::White, 20}, {475, 380, 519, Colour::Accent, 20}}};
// The licence text box is one tall white block; plug-in rows are short ones.
const PageLook kLicense{"license-info", {{45, 80, 440, Colour::White, 200}}};
const PageLook kNoInternet{"no-internet",
                           {{205, 200, 470, Colour::Accent, 20},
                            {230, 150, 470, Colour::Dark, 1, true},
                            {470, 80, 400, Colour::White, 20, true}}};
const PageLook kProgress{"progress", {{470, 200, 400, Colour::Track, 3}, {470, 80, 400, Colour::White, 20, true}}};
// The result pages carry no icon: the complete page is told by the small
// check marks of its list and its filled button, the failed page by its
// tinted error box.
const PageLook kComplete{"complete",
                         {{174, 150, 320, Colour::Accent, 2},
                          {195, 300, 480, Colour::Accent, 20},
                          {230, 150, 450, Colour::Dark, 1, true},
                          {280, 80, 250, Colour::Red, 1, true},
                          {50, 150, 300, Colour::NotBackground, 20, true}}};
const PageLook kFailed{"failed",
                       {{50, 150, 320, Colour::NotBackground, 30},
                        {180, 250, 480, Colour::Accent, 20},
                        {230, 150, 450, Colour::Dark, 1, true},
                        {470, 80, 400, Colour::White, 20, true}}};
const PageLook kPluginsWithUninstall{"plugins with the Uninstall button",
                                     {{470, 80, 400, Colour::White, 20}, {404, 40, 75, Colour::Accent, 1}}};
// The uninstall page: rows above "Uninstall Selected", red (pale while disabled).
const PageLook kUninstall{"uninstall",
                          {{470, 80, 420, Colour::NotBackground, 25}, {400, 420, 519, Colour::RedOrFaded, 20}}};
const PageLook kUninstallEnabled{"uninstall with a selection",
                                 {{470, 80, 420, Colour::NotBackground, 25}, {400, 420, 519, Colour::Red, 20}}};
const PageLook kUninstallProgress{"uninstall-progress",
                                  {{470, 200, 400, Colour::Track, 3},
                                   {470, 80, 400, Colour::White, 20, true},
                                   {400, 420, 519, Colour::Red, 1, true}}};
// Three removed items: three check marks in the list's column.
const PageLook kUninstallComplete{"uninstall-complete",
                                  {{173, 80, 480, Colour::Accent, 2},
                                   {252, 250, 500, Colour::Accent, 20},
                                   {470, 80, 400, Colour::White, 20, true}}};

// Something to click, found on the screen: the `index`-th run of at least
// `minRun` pixels of a colour in column x between y0 and y1; the click goes
// to the run's middle, in column clickX (x when 0).
struct Target {
    const char* name;
    int x, y0, y1;
    Colour colour;
    int minRun;
    int clickX = 0;
    int index = 0;
};
const Target kGetStarted{"Let's Get Started", 222, 300, 500, Colour::Accent, 20};
const Target kRetry{"Retry", 205, 200, 470, Colour::Accent, 20};
const Target kNoInternetClose{"Close (no-internet)", 205, 200, 470, Colour::Accent, 20, 354};
Target pluginRow(int index) { return {"a plug-in row", 45, 80, 420, Colour::NotBackground, 40, 300, index}; }
const Target kInstall{"Install", 475, 380, 519, Colour::AccentOrFaded, 20};
const Target kTerms{"Terms and License Info", 475, 380, 519, Colour::AccentOrFaded, 20, 107};
const Target kLicenseBack{"Back", 511, 380, 519, Colour::Accent, 1};
const Target kCompleteClose{"Close (complete)", 195, 300, 480, Colour::Accent, 20, 365};
const Target kFailedClose{"Close (failed)", 185, 250, 480, Colour::Accent, 20, 375};
// The plug-in page's text button, found by its underline.
const Target kUninstallHeader{"Uninstall", 404, 40, 75, Colour::Accent, 1, 428};
Target uninstallRow(int index) { return {"an uninstall row", 45, 80, 420, Colour::NotBackground, 25, 300, index}; }
const Target kUninstallSelected{"Uninstall Selected", 400, 420, 519, Colour::Red, 20};
const Target kUninstallCompleteClose{"Close (uninstall complete)", 252, 250, 500, Colour::Accent, 20, 300};

bool matches(const unsigned char* p, Colour c) {
    const int r = p[0], g = p[1], b = p[2];
    switch (c) {
        case Colour::Accent:  // #24C3F1 and its hover and pressed shades
            return r < 100 && g >= 130 && g <= 230 && b >= 180;
        case Colour::AccentOrFaded:  // also the disabled button's paler shade
            return r <= 160 && g >= 150 && b >= 200;
        case Colour::White:
            return r >= 250 && g >= 250 && b >= 250;
        case Colour::NotBackground:
            return !matches(p, Colour::Background);
        case Colour::Dark:  // the demo's navy welcome banner, not the grey text
            return r < 80 && g < 80 && b < 120 && b > r + 20;
        case Colour::Background:  // #ECECEC
            return r >= 226 && r <= 246 && std::abs(r - g) < 6 && std::abs(r - b) < 6;
        case Colour::Track:  // the progress bar's empty part, a pale accent
            return r >= 170 && r <= 225 && g >= 210 && b >= 220 && b > r + 15;
        case Colour::Red:  // #DC3545
            return r >= 190 && g < 90 && b < 110;
        case Colour::RedOrFaded:  // also the disabled danger button's paler shade
            return r >= 190 && r - g >= 25 && r - b >= 25;
    }
    return false;
}

// A private X screen, so windows of other display tests never cover ours.
class Screen {
public:
    bool start(std::string& error) {
        xvfb_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"});
        if (!xvfb_->waitForOutput("\n", 15s)) {
            error = "Xvfb did not start: " + xvfb_->err();
            return false;
        }
        std::string out = xvfb_->out();
        display_ = ":" + out.substr(0, out.find('\n'));
        return true;
    }

    const std::string& display() const { return display_; }

    int x(const std::string& command) const {
        return zrvk_test::run("DISPLAY=" + display_ + " timeout 20 " + command + " >/dev/null 2>&1");
    }

    // The window's pixels as RGB bytes.
    bool capture(std::vector<unsigned char>& rgb) const {
        const std::string raw = kWork + "/screen.rgb";
        if (x("import -window root -crop " + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
              "+0+0 -depth 8 " + quote("rgb:" + raw)) != 0) {
            return false;
        }
        const std::string data = readFile(raw);
        if (data.size() != static_cast<std::size_t>(kWidth * kHeight * 3)) return false;
        rgb.assign(data.begin(), data.end());
        return true;
    }

    bool shows(const PageLook& look) const {
        std::vector<unsigned char> rgb;
        if (!capture(rgb)) return false;
        for (const Probe& p : look.probes) {
            if ((run(rgb, p.x, p.y0, p.y1, p.colour, p.minRun, 0) >= 0) == p.none) return false;
        }
        return true;
    }

    // The middle of the index-th run of at least minRun pixels of a colour
    // in column x between y0 and y1, or -1. With minRun 1 the run is the span
    // from the first to the last such pixel (an outlined button's borders).
    static int run(const std::vector<unsigned char>& rgb, int x, int y0, int y1, Colour colour, int minRun, int index) {
        auto hit = [&](int y) {
            return y >= 0 && y <= y1 && y < kHeight && matches(&rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3], colour);
        };
        if (minRun == 1) {
            int first = -1, last = -1;
            for (int y = y0; y <= y1; ++y) {
                if (hit(y)) {
                    if (first < 0) first = y;
                    last = y;
                }
            }
            return first < 0 ? -1 : (first + last) / 2;
        }
        int start = -1, found = 0;
        for (int y = y0; y <= y1 + 1; ++y) {
            if (hit(y)) {
                if (start < 0) start = y;
            } else if (start >= 0) {
                if (y - start >= minRun && found++ == index) return (start + y - 1) / 2;
                start = -1;
            }
        }
        return -1;
    }

    bool waitFor(const PageLook& look, std::chrono::seconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (shows(look)) return true;
            std::this_thread::sleep_for(250ms);
        }
        save(std::string("timeout-") + look.name);
        return false;
    }

    void save(const std::string& name) const {
        x("import -window root -crop " + std::to_string(kWidth) + "x" + std::to_string(kHeight) + "+0+0 " +
          quote(kScreenshots + "/" + name + ".png"));
    }

    // Finds the target on the screen and clicks it; false when it is not there.
    bool click(const Target& t) const {
        std::vector<unsigned char> rgb;
        if (!capture(rgb)) return false;
        const int y = run(rgb, t.x, t.y0, t.y1, t.colour, t.minRun, t.index);
        if (y < 0) {
            save(std::string("missing-") + t.name);
            return false;
        }
        return x("xdotool mousemove " + std::to_string(t.clickX ? t.clickX : t.x) + " " + std::to_string(y) +
                 " click 1") == 0;
    }

private:
    std::unique_ptr<ChildProcess> xvfb_;
    std::string display_;
};

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

    // Picks the first and the third plug-in and starts their installation.
    void installFirstAndThirdPlugin() {
        ASSERT_TRUE(screen_.click(pluginRow(0)));
        ASSERT_TRUE(screen_.click(pluginRow(2)));
        ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s));
        ASSERT_TRUE(screen_.click(kInstall));
    }

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

    static bool catalogueMade_;
    Screen screen_;
    LoopbackServer server_;
    std::unique_ptr<ChildProcess> program_;
};

bool EndToEnd::catalogueMade_ = false;

TEST_F(EndToEnd, CatalogueLeadsToTheWelcomePageAndThePluginList) {
    startServer();
    launch();
    ASSERT_TRUE(screen_.waitFor(kWelcome, 40s)) << program_->out();
    screen_.save("welcome");
    EXPECT_EQ(gets(server_, "/manifest.json"), 1u);
    // Everything the later pages show is fetched before the welcome page.
    for (const char* target : {"/media/welcome_header.png", "/media/welcome_banner.png", "/licenses/general.txt",
                               "/licenses/deep-denoise.txt"}) {
        EXPECT_TRUE(servedGet(server_, target)) << target;
    }
    EXPECT_NE(program_->out().find("[MANIFEST_THREAD] Dispatching JavaScript callback..."), std::string::npos);

    ASSERT_TRUE(screen_.click(kGetStarted));
    ASSERT_TRUE(screen_.waitFor(kPlugins, 20s));
    screen_.save("plugins");
    // A plug-in banner on the catalogue host is shown in its row.
    EXPECT_TRUE(servedGet(server_, "/media/banners/deep-denoise.png"));

    ASSERT_TRUE(screen_.click(pluginRow(0)));
    ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s)) << "selecting a row enables Install";
    screen_.save("plugins-selected");

    ASSERT_TRUE(screen_.click(kTerms));
    ASSERT_TRUE(screen_.waitFor(kLicense, 10s));
    screen_.save("license-info");
    ASSERT_TRUE(screen_.click(kLicenseBack));
    ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s)) << "Back keeps the selection";
    closeWindow();
}

TEST_F(EndToEnd, WithoutTheServerTheNoInternetPageRetriesOnceItIsUp) {
    launch();
    ASSERT_TRUE(screen_.waitFor(kNoInternet, 40s)) << program_->out();
    screen_.save("no-internet");
    // The page's 2 s timer may show the page before the fetch gives up.
    for (int i = 0; i < 100 && program_->err().find("[MANIFEST_THREAD] Failed to fetch manifest from URL") ==
                                   std::string::npos;
         ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(program_->err().find("[httpGet] Failed after 3 attempts\n[MANIFEST_THREAD] Failed to fetch manifest from URL"),
              std::string::npos)
        << program_->err();

    startServer();
    ASSERT_TRUE(screen_.click(kRetry));
    ASSERT_TRUE(screen_.waitFor(kWelcome, 40s)) << program_->out();
    screen_.save("welcome-after-retry");
    EXPECT_EQ(gets(server_, "/manifest.json"), 1u) << "one fetch per Retry";
    closeWindow();
}

TEST_F(EndToEnd, CloseOnTheNoInternetPageEndsTheProgram) {
    launch();
    ASSERT_TRUE(screen_.waitFor(kNoInternet, 40s)) << program_->out();
    ASSERT_TRUE(screen_.click(kNoInternetClose));
    expectCleanExit();
    EXPECT_NE(program_->out().find("[MAIN] Main loop exited, destroying webview..."), std::string::npos);
}

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
    ASSERT_TRUE(screen_.click(pluginRow(0)));
    ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s));
    ASSERT_TRUE(screen_.click(kInstall));
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

// ---------------------------------------------------------------------------
// Detection and the uninstall

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
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(screen_.capture(rgb));
    EXPECT_GE(Screen::run(rgb, 45, 80, 420, Colour::NotBackground, 25, 0), 0) << "the User Data row";
    EXPECT_LT(Screen::run(rgb, 45, 80, 420, Colour::NotBackground, 25, 1), 0) << "no other row";
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

    // The complete page lists the three items.
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(screen_.capture(rgb));
    EXPECT_GE(Screen::run(rgb, 173, 80, 480, Colour::Accent, 2, 2), 0) << "a third check mark";
    EXPECT_LT(Screen::run(rgb, 173, 80, 480, Colour::Accent, 2, 3), 0) << "no fourth check mark";

    ASSERT_TRUE(screen_.click(kUninstallCompleteClose));
    expectCleanExit();
    removeInstallation();
}

}  // namespace
