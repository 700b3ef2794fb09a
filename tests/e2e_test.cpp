// The real program end to end: a private Xvfb screen, the demo catalogue on
// the fixed loopback port, clicks with xdotool and screenshots with
// ImageMagick. The page is observed by its pixels (the web view's console is
// not reachable from outside), by the native log lines and by the requests
// the server sees.
#include "installer_config.h"
#include "loopback_server.h"
#include "support/child_process.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
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
enum class Colour { Accent, White, Background, Track, Red };

// A pixel, or a vertical run of `span` pixels of which one must match (for
// pages whose layout moves with their texts).
struct Probe {
    int x, y;
    Colour colour;
    int span = 1;
};

struct PageLook {
    const char* name;
    std::vector<Probe> probes;
};

// Pixels that tell the pages apart in the 600x520 window at the screen's corner.
const PageLook kWelcome{"welcome", {{230, 400, Colour::Accent}, {470, 160, Colour::Background}}};
const PageLook kPlugins{"plugins", {{470, 160, Colour::White}, {230, 400, Colour::Background}}};
const PageLook kPluginsSelected{"plugins with a selection",
                                {{470, 240, Colour::White}, {230, 400, Colour::Background}, {475, 474, Colour::Accent}}};
const PageLook kNoInternet{"no-internet",
                           {{210, 314, Colour::Accent}, {230, 400, Colour::Background}, {470, 160, Colour::Background}}};
// Reached with the first row selected, whose background is then not white.
const PageLook kLicense{"license-info",
                        {{470, 160, Colour::White}, {50, 300, Colour::White}, {300, 440, Colour::Background}}};
const PageLook kProgress{"progress",
                         {{470, 270, Colour::Track, 80}, {230, 420, Colour::Background}, {300, 120, Colour::Background}}};
const PageLook kComplete{"complete",
                         {{280, 120, Colour::Accent, 80}, {230, 340, Colour::Accent, 80}, {470, 317, Colour::Background}}};
const PageLook kFailed{"failed", {{280, 120, Colour::Red, 80}, {230, 440, Colour::Background}}};

// Click positions.
struct Point {
    int x, y;
};
const Point kGetStarted{300, 406};
const Point kRetry{246, 314};
const Point kNoInternetClose{354, 314};
const Point kFirstPluginRow{300, 115};
const Point kThirdPluginRow{300, 281};
const Point kInstall{511, 474};
const Point kTerms{107, 474};
const Point kLicenseBack{511, 462};
const Point kCompleteClose{365, 380};
const Point kFailedClose{375, 365};

bool matches(const unsigned char* p, Colour c) {
    const int r = p[0], g = p[1], b = p[2];
    switch (c) {
        case Colour::Accent:  // #24C3F1 and its hover and pressed shades
            return r < 100 && g >= 130 && g <= 230 && b >= 180;
        case Colour::White:
            return r >= 250 && g >= 250 && b >= 250;
        case Colour::Background:  // #ECECEC
            return r >= 226 && r <= 246 && std::abs(r - g) < 6 && std::abs(r - b) < 6;
        case Colour::Track:  // the progress bar's empty part, a pale accent
            return r >= 170 && r <= 225 && g >= 210 && b >= 220 && b > r + 15;
        case Colour::Red:  // #DC3545
            return r >= 190 && g < 90 && b < 110;
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
            bool found = false;
            for (int y = p.y; y < p.y + p.span && y < kHeight && !found; ++y) {
                found = matches(&rgb[(static_cast<std::size_t>(y) * kWidth + p.x) * 3], p.colour);
            }
            if (!found) return false;
        }
        return true;
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

    void click(Point p) const {
        x("xdotool mousemove " + std::to_string(p.x) + " " + std::to_string(p.y) + " click 1");
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

    void launch() {
        program_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{kProgram},
            std::vector<std::string>{"DISPLAY=" + screen_.display(), "WAYLAND_DISPLAY", "HOME=" + kDisplayEnv,
                                     "XDG_CACHE_HOME=" + kDisplayEnv + "/cache", "XDG_DATA_HOME=" + kDisplayEnv + "/data",
                                     "XDG_CONFIG_HOME=" + kDisplayEnv + "/config", "GSETTINGS_BACKEND=memory",
                                     "http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"});
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
                screen_.click(kRetry);
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

    void reachPluginList() {
        ASSERT_TRUE(screen_.waitFor(kWelcome, 40s)) << program_->out();
        screen_.click(kGetStarted);
        ASSERT_TRUE(screen_.waitFor(kPlugins, 20s));
    }

    // Removes what an earlier installation left in the sandbox.
    static void removeInstallation() {
        namespace P = InstallerConfig::Paths;
        for (const std::string& dir : {P::RENDER_ENGINE_DIR, P::MRV_SERVER_DIR, P::MRV_PLUGINS_DIR, P::PLUGINS_DIR,
                                       P::MRV_BASE_DIR + "/server-status.json"}) {
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

    screen_.click(kGetStarted);
    ASSERT_TRUE(screen_.waitFor(kPlugins, 20s));
    screen_.save("plugins");
    // A plug-in banner on the catalogue host is shown in its row.
    EXPECT_TRUE(servedGet(server_, "/media/banners/deep-denoise.png"));

    screen_.click(kFirstPluginRow);
    ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s)) << "selecting a row enables Install";
    screen_.save("plugins-selected");

    screen_.click(kTerms);
    ASSERT_TRUE(screen_.waitFor(kLicense, 10s));
    screen_.save("license-info");
    screen_.click(kLicenseBack);
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
    screen_.click(kRetry);
    ASSERT_TRUE(screen_.waitFor(kWelcome, 40s)) << program_->out();
    screen_.save("welcome-after-retry");
    EXPECT_EQ(gets(server_, "/manifest.json"), 1u) << "one fetch per Retry";
    closeWindow();
}

TEST_F(EndToEnd, CloseOnTheNoInternetPageEndsTheProgram) {
    launch();
    ASSERT_TRUE(screen_.waitFor(kNoInternet, 40s)) << program_->out();
    screen_.click(kNoInternetClose);
    expectCleanExit();
    EXPECT_NE(program_->out().find("[MAIN] Main loop exited, destroying webview..."), std::string::npos);
}

TEST_F(EndToEnd, InstallingPickedPluginsCompletesAndStartsTheServer) {
    namespace P = InstallerConfig::Paths;
    removeInstallation();
    startServer();
    launch();
    reachPluginList();
    screen_.click(kFirstPluginRow);
    screen_.click(kThirdPluginRow);
    ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s));
    screen_.click(kInstall);
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

    screen_.click(kCompleteClose);
    expectCleanExit();
    // Analytics went to the loopback host, the completion among them.
    bool completed = false;
    for (const Request& r : server_.requests()) {
        completed |= r.method == "POST" && r.target.rfind("/analytics", 0) == 0 &&
                     r.body.find("\"installation_completed\"") != std::string::npos;
    }
    EXPECT_TRUE(completed);
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
    screen_.click(kFirstPluginRow);
    ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s));
    screen_.click(kInstall);
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

    screen_.click(kFailedClose);
    expectCleanExit();
}

}  // namespace
