// The installation flow, its weighted progress and startInstallation, with the
// real installers against a catalogue (and an analytics capture) served on
// 127.0.0.1, installing into the sandbox root.
#include "bridge.h"
#include "installation.h"
#include "manifest.h"
#include "progress.h"

#include "installer_analytics.h"
#include "installer_auth.h"
#include "installer_config.h"
#include "installer_download.h"
#include "installer_utils.h"
#include "posthog.h"
#include "support/bridge_capture.h"
#include "support/plugin_fixtures.h"
#include "support/zip_fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace InstallerConfig::Paths;
using zrvk_test::AnswerLog;
using zrvk_test::Entries;
using zrvk_test::FileServer;
using zrvk_test::hex;
using zrvk_test::makeMacBundle;
using zrvk_test::pluginProperties;
using zrvk_test::versionWord;
using zrvk_test::putFile;
using zrvk_test::readFile;
using zrvk_test::runNode;
using zrvk_test::ScriptLog;
using zrvk_test::TempDir;
using zrvk::test::Response;

using json = nlohmann::json;

namespace {

const std::string kCompletion = "if (window.onInstallationComplete) { window.onInstallationComplete(";

std::string completionScript(const std::string& argument) { return kCompletion + argument + "); }"; }
std::string failureScript(const std::string& error) {
    return completionScript("{success: false, error: '" + error + "'}");
}
const std::string kSuccessScript = completionScript("{success: true}");

bool isCompletion(const std::string& script) { return script.rfind(kCompletion, 0) == 0; }

// What the page sees of the installation's scripts.
std::vector<json> pageCalls(const std::vector<std::string>& scripts) {
    return zrvk_test::pageCalls(scripts, {{"onInstallProgress", "progress"}, {"onInstallationComplete", "complete"}});
}

std::vector<json> progressOf(const std::vector<json>& calls) {
    std::vector<json> out;
    for (const auto& c : calls)
        if (c["cb"] == "progress") out.push_back(c["arg"]);
    return out;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---------------------------------------------------------------------------
// sendProgressToJS

class Progress : public ::testing::Test {
protected:
    void SetUp() override {
        ctx.lastStatus = "Preparing...";
        ctx.totalSteps = 3;
    }

    // One report; returns the percentage and the status the page got.
    std::pair<int, std::string> report(uint64_t current, uint64_t total, const std::string& status) {
        log.clear();
        ctx.lastPostedScript.clear();  // each report's own script, repeats included
        sendProgressToJS(&ctx, current, total, status);
        const auto scripts = log.all();
        EXPECT_EQ(scripts.size(), 1u);
        return {percentIn(scripts.back()), statusIn(scripts.back())};
    }
    static int percentIn(const std::string& script) {
        const auto at = script.find("{current: ");
        return at == std::string::npos ? -1 : std::atoi(script.c_str() + at + 10);
    }
    // The status literal; these tests use texts without quotes or escapes.
    static std::string statusIn(const std::string& script) {
        const auto at = script.find("status: \"") + 9;
        return script.substr(at, script.find('"', at) - at);
    }
    void enterStep(int step) {
        ctx.currentStep = step;
        ctx.lastCurrent = 0;
        ctx.lastTotal = 0;
        ctx.lastLoggedPercent = -1;
    }

    InstallationContext ctx;
    ScriptLog log;
};

TEST_F(Progress, PercentageFollowsTheWeightedPhases) {
    struct Case {
        int step;
        uint64_t current, total;  // total 0: a status-only report (no pair remembered)
        int percent;
        const char* phase;
    } cases[] = {
        {0, 0, 0, 0, "Render Engine"},        {0, 0, 1000, 0, "Render Engine"},
        {0, 500, 1000, 25, "Render Engine"},  {0, 1000, 1000, 51, "Render Engine"},
        {1, 0, 0, 51, "MRV Server"},          {1, 1000, 1000, 52, "MRV Server"},
        {2, 0, 0, 52, "Plugins"},             {2, 500, 1000, 76, "Plugins"},
        {2, 1000, 1000, 100, "Plugins"},      {0, 5242880, 10485760, 25, "Render Engine"},
        {0, 10240, 10240, 51, "Render Engine"}, {0, 1500, 1000, 76, "Render Engine"},
        {3, 0, 0, 100, "Unknown"},            {3, 500, 1000, 100, "Unknown"},
        {7, 1000, 1000, 100, "Unknown"},
    };
    for (const Case& c : cases) {
        enterStep(c.step);
        log.clear();
        ctx.lastPostedScript.clear();
        sendProgressToJS(&ctx, c.current, c.total, "Working");
        const auto scripts = log.all();
        ASSERT_EQ(scripts.size(), 1u);
        EXPECT_EQ(percentIn(scripts[0]), c.percent) << c.step << " " << c.current << "/" << c.total;
        EXPECT_TRUE(contains(scripts[0], std::string("phaseName: \"") + c.phase + "\"")) << scripts[0];
    }
}

TEST_F(Progress, ReportsWithoutAUsableTotalKeepThePairAndTheText) {
    struct Step {
        uint64_t current, total;
        const char* status;
        int percent;
        const char* shown;
    } steps[] = {
        {400, 1000, "Downloading", 20, "Downloading"},
        {0, 0, "Extracting", 20, "Extracting"},      // status only: pair kept, text changes
        {0, 0, "", 20, "Extracting"},                // nothing: both kept
        {5000, 8000, "", 20, "Extracting"},          // unusable total: previous pair
        {100, 100, "", 20, "Extracting"},
        {5242880, 10485760, "", 25, "Extracting"},   // bytes: half of the running part
        {0, 0, "", 25, "Extracting"},                // the byte pair is remembered
        {10239, 10239, "Copying", 25, "Copying"},
    };
    for (const Step& s : steps) {
        const auto got = report(s.current, s.total, s.status);
        EXPECT_EQ(got.first, s.percent) << s.current << "/" << s.total;
        EXPECT_EQ(got.second, s.shown) << s.current << "/" << s.total;
    }

    // An empty status with an empty lastStatus: "" to the page, the phase name in the log.
    enterStep(1);
    ctx.lastStatus.clear();
    testing::internal::CaptureStdout();
    const auto got = report(0, 0, "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[PROGRESS] 51% [MRV Server] MRV Server\n");
    EXPECT_EQ(got.second, "");
    EXPECT_TRUE(ctx.lastStatus.empty());
}

TEST_F(Progress, LogLinesAreThinnedToRisesAndMilestones) {
    struct Step {
        uint64_t perMille;
        const char* status;
        int percent;
        bool logged;
    } steps[] = {
        {0, "Downloading", 0, true},       // the first report of a step
        {98, "Downloading", 5, false},
        {176, "Downloading", 9, false},
        {235, "Downloading", 12, true},    // 12 - 0 >= 10
        {59, "Downloading", 3, false},     // a fall never counts
        {59, "alpha installed", 3, true},
        {59, "Requesting authorization...", 3, true},
        {59, "Installation complete", 3, true},
        {59, "Render Engine already up to date", 3, true},
        {59, "Reinstalled", 3, false},     // no leading space
        {59, "installation complete", 3, false},
        {59, "Already up to date", 3, false},
        {293, "Downloading", 15, true},    // 15 - 3 >= 10 after the milestones reset the mark
    };
    for (const Step& s : steps) {
        testing::internal::CaptureStdout();
        const auto got = report(s.perMille, 1000, s.status);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(got.first, s.percent) << s.perMille;
        const std::string line =
            "[PROGRESS] " + std::to_string(s.percent) + "% [Render Engine] " + std::string(s.status) + "\n";
        EXPECT_EQ(out, s.logged ? line : "") << s.perMille << " " << s.status;
    }
}

TEST_F(Progress, ScriptTextIsExact) {
    enterStep(1);
    ctx.totalPlugins = 2;
    sendProgressToJS(&ctx, 0, 0, "Installing to system directory (this may take a moment)...");
    EXPECT_EQ(log.all(), std::vector<std::string>{
                             "if (window.onInstallProgress) { window.onInstallProgress({current: 51, total: 100, "
                             "currentStep: 1, totalSteps: 3, phaseName: \"MRV Server\", status: \"Installing to system "
                             "directory (this may take a moment)...\", currentPlugin: 0, totalPlugins: 2, "
                             "currentPluginName: \"\"}); }"});
}

TEST_F(Progress, AScriptIsPostedOnceUntilSomethingShownChanges) {
    struct Step {
        uint64_t current, total;
        const char* status;
        bool posted;
    } steps[] = {
        {100, 1000, "Extracting...", true},
        {100, 1000, "Extracting...", false},
        {101, 1000, "Extracting...", false},   // same whole percent
        {0, 0, "", false},                     // nothing new at all
        {0, 0, "Extracting 10/25 files", true},
        {120, 1000, "", true},                 // the percent rises
        {120, 1000, "Extracting 10/25 files", false},
        {300, 1000, "Extracting...", true},
        {100, 1000, "Extracting...", true},    // a fall is a change too
    };
    for (const Step& s : steps) {
        log.clear();
        sendProgressToJS(&ctx, s.current, s.total, s.status);
        EXPECT_EQ(log.all().size(), s.posted ? 1u : 0u) << s.current << " " << s.status;
    }
    // The plug-in counter is shown too; and a new run starts afresh.
    log.clear();
    ctx.currentPlugin = 1;
    sendProgressToJS(&ctx, 100, 1000, "Extracting...");
    EXPECT_EQ(log.all().size(), 1u);
    InstallationContext next;
    next.totalSteps = ctx.totalSteps;
    next.currentPlugin = 1;
    sendProgressToJS(&next, 100, 1000, "Extracting...");
    EXPECT_EQ(log.all().size(), 2u);
    EXPECT_EQ(log.all()[0], log.all()[1]);
}

TEST_F(Progress, TextsArriveInThePageUnchanged) {
    const std::vector<std::string> texts = {
        "say \"hi\"",          "C:\\path\\to\\file", "\\\"",          "two\nlines\r\n",
        "tab\there \x01\x1f",  "it's",               "sep \xE2\x80\xA8 \xE2\x80\xA9", "</script>",
        "caf\xC3\xA9 \xF0\x9F\x98\x80",
    };
    ctx.currentPlugin = 1;
    ctx.totalPlugins = 1;
    for (const std::string& text : texts) {
        ctx.currentPluginName = "plug " + text;
        sendProgressToJS(&ctx, 0, 0, text);
    }
    const auto scripts = log.all();
    ASSERT_EQ(scripts.size(), texts.size());
    // Hex of both texts, so that Node's output compares byte for byte.
    std::string stub = "const print = console.log; globalThis.window = globalThis;\n"
                       "const h = (s) => Buffer.from(s, 'utf8').toString('hex');\n"
                       "window.onInstallProgress = (p) => print(h(p.status) + ' ' + h(p.currentPluginName));\n";
    for (const auto& s : scripts) stub += s + "\n";
    std::string expected;
    for (const auto& text : texts) expected += hex(text) + " " + hex("plug " + text) + "\n";
    EXPECT_EQ(runNode(stub), expected);
}

// ---------------------------------------------------------------------------
// startInstallation

class StartInstallation : public ::testing::Test {
protected:
    void TearDown() override { setManifest(""); }
    static void setManifest(const std::string& text) {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        g_manifestJson = text;
    }

    AnswerLog answerLog;
    ScriptLog scripts;
};

const std::string kStarted = "{\"success\":true,\"message\":\"Installation started\"}";
const std::string kBadRequest = "{\"success\":false,\"error\":\"Invalid request format\"}";
const std::string kNoManifest = "{\"success\":false,\"error\":\"Manifest not loaded\"}";

TEST_F(StartInstallation, RequestShapes) {
    // A manifest that is not JSON: every started run ends at once with 'Invalid manifest'.
    setManifest("not json");
    struct Case {
        const char* request;
        bool started;
        std::vector<std::string> ids;
        bool force;
    } cases[] = {
        {"[]", false, {}, false},
        {"[\"not json\"]", false, {}, false},
        {"", false, {}, false},
        {"\"text\"", false, {}, false},
        {"42", false, {}, false},
        {"[\"{\\\"pluginIds\\\":[\\\"a\\\",7]}\"]", false, {}, false},
        {"[\"{}\"]", true, {}, false},
        {"[\"{\\\"pluginIds\\\":[\\\"b\\\",\\\"a\\\"],\\\"forceReinstallRenderEngine\\\":true}\"]", true, {"b", "a"}, true},
        {"[{\"pluginIds\":[\"x\"]}]", true, {"x"}, false},
        {"{\"pluginIds\":[\"y\",\"z\"],\"forceReinstallRenderEngine\":false}", true, {"y", "z"}, false},
        {"{\"pluginIds\":\"a\"}", true, {}, false},
        {"{\"pluginIds\":{\"0\":\"a\"}}", true, {}, false},
        {"{\"forceReinstallRenderEngine\":\"true\"}", true, {}, false},
        {"{\"forceReinstallRenderEngine\":1}", true, {}, false},
        {"[\"[1,2]\"]", true, {}, false},
        {"[7]", true, {}, false},
    };
    for (const Case& c : cases) {
        answerLog.clear();
        scripts.clear();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        startInstallation_cb("seq-1", c.request, nullptr);
        if (c.started) {
            EXPECT_TRUE(scripts.waitFor(isCompletion, std::chrono::seconds(10))) << c.request;
        }
        const auto answers = answerLog.all();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(answers.size(), 1u) << c.request;
        EXPECT_EQ(answers[0].seq, "seq-1");
        EXPECT_EQ(answers[0].status, c.started ? 0 : 1) << c.request;
        EXPECT_EQ(answers[0].result, c.started ? kStarted : kBadRequest) << c.request;
        EXPECT_TRUE(contains(out, "=== STARTING INSTALLATION ===\n")) << c.request;
        EXPECT_TRUE(contains(out, std::string("[startInstallation] Raw request: ") + c.request + "\n"));
        if (!c.started) {
            EXPECT_TRUE(contains(err, "[startInstallation] Failed to parse request: ")) << c.request;
            EXPECT_TRUE(scripts.all().empty()) << c.request;
            continue;
        }
        std::string listed = "[startInstallation] Parsed " + std::to_string(c.ids.size()) + " plugin(s):\n";
        for (const auto& id : c.ids) listed += "[startInstallation]   - " + id + "\n";
        listed += std::string("[startInstallation] Force reinstall Render Engine: ") + (c.force ? "yes" : "no") + "\n";
        EXPECT_TRUE(contains(out, listed)) << c.request << "\n" << out;
        EXPECT_EQ(scripts.all(), std::vector<std::string>{failureScript("Invalid manifest")}) << c.request;
    }
}

TEST_F(StartInstallation, WithoutAManifestNothingStarts) {
    setManifest("");
    struct Case {
        const char* request;
        const std::string* result;
        const char* logged;
    } cases[] = {
        {"[]", &kBadRequest, "[startInstallation] Failed to parse request: "},
        {"[\"{]\"]", &kBadRequest, "[startInstallation] Failed to parse request: "},
        {"[\"{}\"]", &kNoManifest, "[startInstallation] Manifest not loaded\n"},
        {"[\"{\\\"pluginIds\\\":[\\\"a\\\"]}\"]", &kNoManifest, "[startInstallation] Manifest not loaded\n"},
    };
    for (const Case& c : cases) {
        answerLog.clear();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        startInstallation_cb("s", c.request, nullptr);
        const auto answers = answerLog.all();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].status, 1);
        EXPECT_EQ(answers[0].result, *c.result) << c.request;
        EXPECT_TRUE(contains(err, c.logged)) << c.request << ": " << err;
        // A worker is only ever started after this line: none can post later.
        EXPECT_FALSE(contains(out, "[startInstallation] Launching installation thread...")) << c.request;
    }
    EXPECT_TRUE(scripts.all().empty());
}

// ---------------------------------------------------------------------------
// The installation flow

// An engine whose server program records the arguments it was started with.
Entries engineEntries() {
    return {{"bin/", ""},
            {"bin/python3", "engine"},
            {"bin/MORVANE Server", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + RENDER_ENGINE_DIR + "/launch-args.txt'\n"},
            {"lib/os.py", "os"}};
}

// Nothing to install: no render-engine URL, a server template without placeholder.
json quietManifest() {
    return {{"latest_render_engine_mac_x64_version", 3},
            {"latest_mrv_server_version_mac", "5.1"},
            {"mrv_server_mac_url", "none"},
            {"plugins", json::array()}};
}

class Flow : public ::testing::Test {
protected:
    struct Outcome {
        std::vector<std::string> scripts;
        std::vector<json> calls;     // as the page saw them
        std::vector<json> progress;  // the onInstallProgress arguments
        std::string out, err;
        std::vector<json> events;    // as the capture server received them, in order
        std::vector<std::string> eventNames;

        std::vector<std::string> completions() const {
            std::vector<std::string> out;
            for (const auto& s : scripts)
                if (isCompletion(s)) out.push_back(s);
            return out;
        }
        const json* event(const std::string& name) const {
            for (const auto& e : events)
                if (e["event"] == name) return &e;
            return nullptr;
        }
    };

    static void SetUpTestSuite() {
        server = new FileServer;
        idFolder = new TempDir;
    }
    static void TearDownTestSuite() {
        delete server;
        delete idFolder;
    }

    void SetUp() override {
        ASSERT_TRUE(server->ok()) << server->error();
        ASSERT_FALSE(InstallerConfig::ROOT_PREFIX.empty());
        server->clear();
        server->loopback().route("POST", "/i/v0/e/", Response::text(200, "{\"status\":1}", "application/json"));
        AuthTesting::reset();
        DeliveryTesting::reset();
        releaseAuthorizationSession();
        wipe();
        PostHog::Testing::setHostOverride(server->baseUrl());
        PostHog::Testing::setIdFilePathOverride(*idFolder / "id.txt");
    }
    void TearDown() override {
        InstallerAnalytics::shutdown();
        PostHog::Testing::setHostOverride("");
        PostHog::Testing::setIdFilePathOverride("");
        releaseAuthorizationSession();
        AuthTesting::reset();
        DeliveryTesting::reset();
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        g_manifestJson.clear();
        wipe();
    }
    static void wipe() {
        for (const std::string& d : {RENDER_ENGINE_DIR, MRV_BASE_DIR, MEDIACORE_DIR}) {
            ASSERT_EQ(std::system(("rm -rf \"" + d + "\"").c_str()), 0);
        }
    }

    static InstallationContext* newContext(const std::string& manifest, const std::vector<std::string>& ids,
                                           bool force) {
        auto* ctx = new InstallationContext();
        ctx->pluginIds = ids;
        ctx->manifestJson = manifest;
        ctx->lastStatus = "Preparing...";
        ctx->totalSteps = 3;
        ctx->totalPlugins = static_cast<int>(ids.size());
        ctx->forceReinstallRenderEngine = force;
        return ctx;
    }

    // Runs the analytics client around `body` and collects what the run left.
    template <typename Body>
    Outcome observe(Body body) {
        log.clear();
        server->loopback().clearRequests();
        EXPECT_TRUE(InstallerAnalytics::initialize());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        body();
        Outcome o;
        o.out = testing::internal::GetCapturedStdout();
        o.err = testing::internal::GetCapturedStderr();
        InstallerAnalytics::shutdown();  // sends everything queued
        o.scripts = log.all();
        o.calls = pageCalls(o.scripts);
        o.progress = progressOf(o.calls);
        for (const auto& r : server->requests()) {
            if (r.method != "POST" || r.target != "/i/v0/e/") continue;
            o.events.push_back(json::parse(r.body));
            o.eventNames.push_back(o.events.back()["event"]);
        }
        return o;
    }

    Outcome run(const std::string& manifest, const std::vector<std::string>& ids = {}, bool force = false) {
        return observe([&] { installationThreadFunc(newContext(manifest, ids, force)); });
    }
    Outcome run(const json& manifest, const std::vector<std::string>& ids = {}, bool force = false) {
        return run(manifest.dump(), ids, force);
    }

    // Every run ends with one completion script, its last, and holds no session afterwards.
    static void expectOneEnding(const Outcome& o, const std::string& script) {
        EXPECT_EQ(o.completions(), std::vector<std::string>{script});
        ASSERT_FALSE(o.scripts.empty());
        EXPECT_EQ(o.scripts.back(), script);
        for (const auto& c : o.calls) EXPECT_NE(c["cb"], "error") << c.dump();
        EXPECT_FALSE(hasAuthorizationSession());
        EXPECT_EQ(AuthTesting::referencesCreated(), AuthTesting::referencesFreed());
    }

    // A failed step: one completion script whose message names the component
    // and carries the last status when it holds "Error"; the failure event
    // comes last with the phase key. Returns the message the page got.
    static std::string expectFailure(const Outcome& o, const std::string& component, const std::string& phase) {
        const auto completions = o.completions();
        EXPECT_EQ(completions.size(), 1u);
        EXPECT_FALSE(hasAuthorizationSession());
        EXPECT_EQ(AuthTesting::referencesCreated(), AuthTesting::referencesFreed());
        if (completions.empty()) return "";
        EXPECT_EQ(o.scripts.back(), completions[0]);
        EXPECT_EQ(completions[0].rfind(kCompletion + "{success: false, error: \"", 0), 0u) << completions[0];
        const std::string lastStatus = o.progress.empty() ? "Preparing..." : o.progress.back()["status"].get<std::string>();
        std::string expected = component + " installation failed";
        if (contains(lastStatus, "Error")) expected += ": " + lastStatus;
        const std::string message = pageError(o);
        EXPECT_EQ(message, expected);
        EXPECT_TRUE(contains(o.out, "=== INSTALLATION FAILED ===\n"));
        EXPECT_FALSE(o.eventNames.empty());
        if (o.eventNames.empty()) return message;
        EXPECT_EQ(o.eventNames.front(), "installation_started");
        EXPECT_EQ(o.event("installation_completed"), nullptr);
        EXPECT_EQ(o.eventNames.back(), "$exception");
        if (o.eventNames.back() != "$exception") return message;
        const json& failure = o.events.back()["properties"];
        EXPECT_EQ(failure["component"], component);
        EXPECT_EQ(failure["phase"], phase);
        EXPECT_EQ(failure["$exception_list"][0]["value"], expected);
        return message;
    }

    // The failure message as the page received it.
    static std::string pageError(const Outcome& o) {
        for (const auto& c : o.calls)
            if (c["cb"] == "complete") return c["arg"].value("error", std::string("<none>"));
        return "<no completion>";
    }

    static FileServer* server;
    static TempDir* idFolder;
    ScriptLog log;
};

FileServer* Flow::server = nullptr;
TempDir* Flow::idFolder = nullptr;

TEST_F(Flow, EarlyExitsPostOneFixedScriptAndOnlyTheStartEvent) {
    auto with = [](const char* key, json value) {
        json m = quietManifest();
        if (value.is_discarded()) {
            m.erase(key);
        } else {
            m[key] = value;
        }
        return m.dump();
    };
    const json missing = json(json::value_t::discarded);
    struct Case {
        std::string manifest;
        std::string script;
        bool authorized;  // the exit comes after the rights were acquired
        const char* logged;
    } cases[] = {
        {"{\"a\":", failureScript("Invalid manifest"), false, "[INSTALL_THREAD] Failed to parse manifest: "},
        {"{\"a\":1} // comment", failureScript("Invalid manifest"), false, "[INSTALL_THREAD] Failed to parse manifest: "},
        {"", failureScript("Invalid manifest"), false, "[INSTALL_THREAD] Failed to parse manifest: "},
        {with("latest_render_engine_mac_x64_version", "3"), failureScript("Invalid manifest format"), true,
         "[INSTALL_THREAD] JSON type error accessing render engine fields: "},
        {with("latest_render_engine_mac_x64_version", missing), failureScript("Invalid manifest format"), true,
         "[INSTALL_THREAD] JSON type error accessing render engine fields: "},
        {with("latest_render_engine_mac_x64_version", json::array()), failureScript("Invalid manifest format"), true,
         "accessing render engine fields"},
        {with("latest_render_engine_mac_x64_url", 42), failureScript("Invalid manifest format"), true,
         "accessing render engine fields"},
        {with("latest_render_engine_mac_x64_github_url", nullptr), failureScript("Invalid manifest format"), true,
         "accessing render engine fields"},
        {"[1,2]", failureScript("Invalid manifest format"), true, "accessing render engine fields"},
        {"7", failureScript("Invalid manifest format"), true, "accessing render engine fields"},
        {with("latest_mrv_server_version_mac", 5), failureScript("Invalid manifest format"), true,
         "[INSTALL_THREAD] JSON type error accessing MRV Server fields: "},
        {with("latest_mrv_server_version_mac", missing), failureScript("Invalid manifest format"), true,
         "accessing MRV Server fields"},
        {with("mrv_server_mac_url", missing), failureScript("Invalid manifest format"), true,
         "accessing MRV Server fields"},
        {with("mrv_server_mac_url", json::object()), failureScript("Invalid manifest format"), true,
         "accessing MRV Server fields"},
    };
    for (const Case& c : cases) {
        AuthTesting::reset();
        const Outcome o = run(c.manifest);
        SCOPED_TRACE(c.manifest);
        expectOneEnding(o, c.script);
        EXPECT_TRUE(contains(o.err, c.logged)) << o.err;
        EXPECT_EQ(o.eventNames, std::vector<std::string>{"installation_started"});
        EXPECT_EQ(AuthTesting::rightsRequests() > 0, c.authorized);
        EXPECT_FALSE(contains(o.out, "=== STEP 3/3: Plugins ==="));
        if (!c.authorized) {
            EXPECT_EQ(o.scripts.size(), 1u);
        }
    }
    EXPECT_EQ(server->hits("/none"), 0);
}

TEST_F(Flow, RefusedAuthorizationEndsTheRunBeforeAnyStep) {
    struct Case {
        int status;
        const char* error;
    } cases[] = {
        {-60006, "Authorization was cancelled by user"},
        {-60005, "Authorization was denied - incorrect password or insufficient privileges"},
    };
    for (const Case& c : cases) {
        AuthTesting::reset();
        AuthTesting::forceRightsStatus(c.status);
        const Outcome o = run(quietManifest(), {"alpha"});
        SCOPED_TRACE(c.error);
        expectOneEnding(o, failureScript("Authorization required to install"));
        EXPECT_EQ(o.scripts.size(), 1u);
        EXPECT_TRUE(contains(o.out, "=== Requesting Administrator Access ===\n"));
        EXPECT_TRUE(contains(o.err, std::string("[INSTALL_THREAD] Failed to acquire authorization: ") + c.error + "\n"));
        EXPECT_FALSE(contains(o.out, "=== STEP 1/3"));
        EXPECT_EQ(o.eventNames,
                  (std::vector<std::string>{"installation_started", "authorization_error", "$exception"}));
        ASSERT_EQ(o.events.size(), 3u);
        EXPECT_EQ(o.events[1]["properties"]["error_code"], "-1");
        EXPECT_EQ(o.events[1]["properties"]["error_message"], c.error);
        EXPECT_EQ(o.events[2]["properties"]["component"], "Authorization");
        EXPECT_EQ(o.events[2]["properties"]["phase"], "authorization");
        EXPECT_EQ(o.events[2]["properties"]["$exception_list"][0]["value"], c.error);
    }
}

TEST_F(Flow, RenderEngineVersionTextIsTheTruncatedInteger) {
    struct Case {
        json version;
        const char* text;
    } cases[] = {{5.9, "5"}, {true, "1"}, {false, "0"}, {7, "7"}, {-2.5, "-2"}};
    for (const Case& c : cases) {
        json m = quietManifest();
        m["latest_render_engine_mac_x64_version"] = c.version;
        // The version reaches the URL too: a GitHub source holding "{number}".
        m["latest_render_engine_mac_x64_github_url"] = server->url("/gh/engine-{number}.zip");
        server->serveZip(std::string("/gh/engine-") + c.text + ".zip", engineEntries());
        wipe();
        const Outcome o = run(m);
        SCOPED_TRACE(c.version.dump());
        expectOneEnding(o, kSuccessScript);
        EXPECT_TRUE(contains(o.out, std::string("[INSTALL_THREAD] Version: ") + c.text + "\n"));
        EXPECT_EQ(server->hits(std::string("/gh/engine-") + c.text + ".zip"), 1);
        EXPECT_EQ(readVersionFile(RENDER_ENGINE_DIR), c.text);
    }
}

TEST_F(Flow, ManifestWithoutRenderEngineUrlsGoesOnWithTheServer) {
    const Outcome o = run(quietManifest());
    expectOneEnding(o, kSuccessScript);
    ASSERT_FALSE(o.progress.empty());
    EXPECT_EQ(o.progress[0]["current"], 0);
    EXPECT_EQ(o.progress[0]["currentStep"], 0);
    EXPECT_EQ(o.progress[0]["status"], "Render Engine already up to date");
    EXPECT_TRUE(contains(o.out, "[PROGRESS] 0% [Render Engine] Render Engine already up to date\n"));
    EXPECT_TRUE(contains(o.out, "=== STEP 2/3: MRV Server ===\n"));
    // A template with neither placeholder: an empty URL, nothing installed.
    EXPECT_TRUE(contains(o.out, "[INSTALL_THREAD] Final MRV Server URL: \n"));
    EXPECT_FALSE(pathExists(MRV_SERVER_DIR));
    // No plug-ins: no third step, and the completion event says 0.
    EXPECT_FALSE(contains(o.out, "=== STEP 3/3: Plugins ==="));
    EXPECT_EQ(o.eventNames, (std::vector<std::string>{"installation_started", "installation_completed",
                                                      "installation_diagnostics"}));
    ASSERT_NE(o.event("installation_completed"), nullptr);
    EXPECT_EQ((*o.event("installation_completed"))["properties"]["plugin_count"], "0");
    // No MediaCore folder: an empty inventory.
    EXPECT_EQ((*o.event("installation_diagnostics"))["properties"]["plugin_count"], "0");
    EXPECT_EQ((*o.event("installation_started"))["properties"]["plugin_count"], "0");
    EXPECT_EQ(server->hits("/none"), 0);
    EXPECT_TRUE(contains(o.out, "[INSTALL_THREAD] Platform: Linux_x64\n"));
}

TEST_F(Flow, RenderEngineSources) {
    struct Case {
        const char* name;
        bool primary, primaryServed, github, githubServed;
        bool ok;
        const char* firstStatus;
        bool fallbackLine;  // "HuggingFace download failed, will try GitHub fallback", after any failed install
    } cases[] = {
        {"primary only", true, true, false, false, true, "Downloading Render Engine...", false},
        {"both, primary works", true, true, true, true, true, "Downloading Render Engine...", false},
        {"GitHub only", false, false, true, true, true, "Trying alternative source...", false},
        // The multi-part probe never comes back empty: a primary without an
        // archive is downloaded, fails, and GitHub takes over.
        {"primary without archive", true, false, true, true, true, "Downloading Render Engine...", true},
        {"neither has an archive", true, false, true, false, false, "Downloading Render Engine...", true},
        {"primary without archive, no GitHub", true, false, false, false, false, "Downloading Render Engine...",
         true},
    };
    for (const Case& c : cases) {
        server->clear();
        server->loopback().route("POST", "/i/v0/e/", Response::text(200, "{}", "application/json"));
        wipe();
        json m = quietManifest();
        if (c.primary) m["latest_render_engine_mac_x64_url"] = server->url("/hf/engine-{number}.zip");
        if (c.github) m["latest_render_engine_mac_x64_github_url"] = server->url("/gh/engine-{number}.zip");
        if (c.primaryServed) server->serveZip("/hf/engine-3.zip", engineEntries());
        if (c.githubServed) server->serveZip("/gh/engine-3.zip", engineEntries());
        const Outcome o = run(m);
        SCOPED_TRACE(c.name);
        if (c.ok) {
            expectOneEnding(o, kSuccessScript);
        } else {
            expectFailure(o, "Render Engine", "render_engine");
        }
        ASSERT_FALSE(o.progress.empty());
        EXPECT_EQ(o.progress[0]["status"], c.firstStatus);
        EXPECT_EQ(contains(o.out, "[INSTALL_THREAD] HuggingFace download failed, will try GitHub fallback\n"),
                  c.fallbackLine);
        EXPECT_EQ(contains(o.out, "[INSTALL_THREAD] Trying GitHub fallback: " + server->url("/gh/engine-3.zip") + "\n"),
                  c.github && !(c.primary && c.primaryServed));
        EXPECT_EQ(server->hits("/gh/engine-3.zip"), c.github && !(c.primary && c.primaryServed) ? 1 : 0);
        EXPECT_EQ(readVersionFile(RENDER_ENGINE_DIR), c.ok ? "3" : "");
    }
}

TEST_F(Flow, ServerUrlTemplateReplacesOnePlaceholder) {
    struct Case {
        const char* urlTemplate;  // after the server's base URL
        const char* finalPath;    // "" = nothing installed
        const char* routePrefix;
    } cases[] = {
        {"/server/{text}/{number}.zip", "/server/5.1/{number}.zip", "/server/5.1/"},
        {"/server/{number}/{text}.zip", "/server/{number}/5.1.zip", "/server/"},
        {"/server/v{number}.zip", "/server/v5.1.zip", "/server/v5.1"},
        {"/server/latest.zip", "", nullptr},
    };
    for (const Case& c : cases) {
        server->clear();
        server->loopback().route("POST", "/i/v0/e/", Response::text(200, "{}", "application/json"));
        wipe();
        if (c.routePrefix) {
            server->loopback().routePrefix(
                "GET", c.routePrefix,
                Response::text(200, zrvk_test::makeZip({{"launcher.py", "def launcher(**k): pass"}}), "application/zip"));
        }
        json m = quietManifest();
        m["mrv_server_mac_url"] = server->url(c.urlTemplate);
        const Outcome o = run(m);
        SCOPED_TRACE(c.urlTemplate);
        expectOneEnding(o, kSuccessScript);
        const std::string finalUrl = *c.finalPath ? server->url(c.finalPath) : "";
        EXPECT_TRUE(contains(o.out, "[INSTALL_THREAD] Final MRV Server URL: " + finalUrl + "\n")) << o.out;
        EXPECT_EQ(readVersionFile(MRV_SERVER_DIR), *c.finalPath ? "5.1" : "");
        int serverGets = 0;
        for (const auto& r : server->requests()) serverGets += r.method == "GET" && r.target.rfind("/server/", 0) == 0;
        EXPECT_EQ(serverGets > 0, *c.finalPath != 0);
    }
}

TEST_F(Flow, FailedStepsReportTheirComponentAndPhase) {
    const std::string unsafeId = "q\"u\\o \xE2\x80\xA8te";
    struct Case {
        const char* name;
        std::vector<std::string> ids;
        const char* component;
        const char* phase;
        std::string message;  // "" = derived from the last status only
    } cases[] = {
        {"engine without any archive", {}, "Render Engine", "render_engine", ""},
        {"server without archive", {}, "MRV Server", "mrv_server", ""},
        {"server chain fails", {}, "MRV Server", "mrv_server",
         "MRV Server installation failed: Error: Privileged command failed (exit status: 1)"},
        {"plug-in without archive", {"alpha", "beta"}, "Plugins", "plugins", ""},
        {"unsafe plug-in id", {unsafeId}, "Plugins", "plugins",
         "Plugins installation failed: Error installing plugin \"" + unsafeId + "\": unsafe plugin id"},
    };
    for (const Case& c : cases) {
        const std::string name = c.name;
        server->clear();
        server->loopback().route("POST", "/i/v0/e/", Response::text(200, "{}", "application/json"));
        wipe();
        json m = quietManifest();
        if (name == "engine without any archive") {
            m["latest_render_engine_mac_x64_url"] = server->url("/hf/missing.zip");
        } else if (name == "server without archive") {
            m["mrv_server_mac_url"] = server->url("/server/{text}/missing.zip");
        } else if (name == "server chain fails") {
            m["mrv_server_mac_url"] = server->url("/server/{text}.zip");
            server->serveZip("/server/5.1.zip", {{"launcher.py", "x"}});
            putFile(MRV_BASE_DIR, "a file where the server's parent folder goes");
        } else {
            const std::string mrv = server->serveZip("/alpha/mrv.zip", {{"model.py", "m"}});
            m["plugins"] = json::array({{{"id", "alpha"}, {"name", "Alpha"}, {"mrv_plugin_mac_url", mrv}},
                                        {{"id", "beta"}, {"name", "Beta"}, {"mrv_plugin_mac_url", server->url("/beta/missing.zip")}},
                                        {{"id", unsafeId}, {"name", "Unsafe"}, {"mrv_plugin_mac_url", mrv}}});
        }
        const Outcome o = run(m, c.ids);
        SCOPED_TRACE(c.name);
        const std::string message = expectFailure(o, c.component, c.phase);
        if (!c.message.empty()) {
            EXPECT_EQ(message, c.message);
        }
        EXPECT_TRUE(contains(o.out, "[INSTALL_THREAD] Error details: " + message + "\n"));
        EXPECT_EQ(contains(o.out, "=== STEP 3/3: Plugins ===\n"), !c.ids.empty());
    }
}

// An exception escaping a component (here thrown by the page post of one of
// its status reports) ends the run through the failure path of its step,
// also when it is a JSON library exception.
TEST_F(Flow, ExceptionFromAComponentFailsItsStep) {
    json m = quietManifest();
    m["latest_render_engine_mac_x64_url"] = server->serveZip("/hf/engine.zip", engineEntries());
    m["mrv_server_mac_url"] = server->url("/server/{text}.zip");
    server->serveZip("/server/5.1.zip", {{"launcher.py", "x"}});
    m["plugins"] = json::array({{{"id", "alpha"}, {"mrv_plugin_mac_url", server->serveZip("/alpha/mrv.zip", {{"a", "a"}})}}});
    struct Case {
        const char* trigger;  // the status whose post throws
        bool jsonError;
        const char* component;
        const char* phase;
    } cases[] = {
        {"Detecting download format...", false, "Render Engine", "render_engine"},
        {"Detecting download format...", true, "Render Engine", "render_engine"},
        {"Downloading MRV Server v5.1...", false, "MRV Server", "mrv_server"},
        {"Downloading MRV Server v5.1...", true, "MRV Server", "mrv_server"},
        {"Installing alpha (MRV)...", false, "Plugins", "plugins"},
        {"Installing alpha (MRV)...", true, "Plugins", "plugins"},
    };
    for (const Case& c : cases) {
        wipe();
        bool thrown = false;
        setScriptSinkForTesting([&](const std::string& script) {
            if (!thrown && contains(script, std::string("status: \"") + c.trigger + "\"")) {
                thrown = true;
                if (c.jsonError) json(1).get<std::string>();
                throw std::runtime_error("page gone");
            }
            log.add(script);
        });
        const Outcome o = run(m, {"alpha"});
        SCOPED_TRACE(std::string(c.trigger) + (c.jsonError ? " (JSON)" : ""));
        EXPECT_TRUE(thrown);
        EXPECT_EQ(expectFailure(o, c.component, c.phase), std::string(c.component) + " installation failed");
    }
    setScriptSinkForTesting([this](const std::string& script) { log.add(script); });
}

TEST_F(Flow, FullInstallation) {
    json m = quietManifest();
    m["latest_render_engine_mac_x64_version"] = 3;
    m["latest_render_engine_mac_x64_url"] = server->serveZip("/hf/engine.zip", engineEntries());
    m["mrv_server_mac_url"] = server->url("/server/{text}.zip");
    server->serveZip("/server/5.1.zip", {{"launcher.py", "def launcher(**k): pass"}, {"app/main.py", "main"}});
    m["plugins"] = json::array(
        {{{"id", "alpha"},
          {"name", "Alpha"},
          {"adobe_plugin_mac_url",
           server->serveZip("/alpha/adobe.zip",
                            {{"alpha.plugin/Contents/MacOS/alpha", "bin"},
                             {"alpha.plugin/Contents/Resources/alpha.rsrc",
                              pluginProperties("Alpha Glow", versionWord(1, 4, 2), "ZRVK Alpha", false)}})},
          {"mrv_plugin_mac_url", server->serveZip("/alpha/mrv.zip", {{"model.py", "alpha model"}})}},
         {{"id", "beta"},
          {"name", "Beta"},
          {"mrv_plugin_mac_url", server->serveZip("/beta/mrv.zip", {{"model.py", "beta model"}})},
          {"additional_files_url", server->serveZip("/beta/extra.zip", {{"data/x.txt", "extra"}})}}});
    const std::string record = RENDER_ENGINE_DIR + "/launch-args.txt";
    // Another vendor's plug-in, already there: the inventory lists it too.
    makeMacBundle(MEDIACORE_DIR, "Blur.plugin", pluginProperties("Blur", versionWord(2, 0, 0), "", false));

    const Outcome o = run(m, {"alpha", "beta"});
    expectOneEnding(o, kSuccessScript);

    EXPECT_EQ(readVersionFile(RENDER_ENGINE_DIR), "3");
    EXPECT_EQ(readFile(RENDER_ENGINE_DIR + "/bin/python3"), "engine");
    EXPECT_EQ(readVersionFile(MRV_SERVER_DIR), "5.1");
    EXPECT_EQ(readFile(MRV_SERVER_DIR + "/app/main.py"), "main");
    EXPECT_EQ(readFile(PLUGINS_DIR + "/alpha.plugin/Contents/MacOS/alpha"), "bin");
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/alpha/model.py"), "alpha model");
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/beta/model.py"), "beta model");
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/beta/data/x.txt"), "extra");

    // The server was started through the engine's program with the launcher.
    zrvk_test::waitUntil([&] { return !readFile(record).empty(); });
    const std::string launched = readFile(record);
    EXPECT_EQ(launched.rfind("-I\n-c\n", 0), 0u) << launched;
    EXPECT_TRUE(contains(launched, "sys.path.insert(0,'" + MRV_SERVER_DIR + "')")) << launched;
    EXPECT_TRUE(contains(o.out, "=== Launching MRV Server ===\n"));

    // The bar never goes back, the steps come in order, and each step starts
    // where the finished ones end.
    ASSERT_FALSE(o.progress.empty());
    int lastPercent = 0, lastStep = 0;
    int firstOf[3] = {-1, -1, -1};
    for (const auto& p : o.progress) {
        const int percent = p["current"], step = p["currentStep"];
        EXPECT_GE(percent, lastPercent) << p.dump();
        EXPECT_GE(step, lastStep) << p.dump();
        EXPECT_LE(percent, 100);
        EXPECT_EQ(p["total"], 100);
        EXPECT_EQ(p["totalSteps"], 3);
        EXPECT_EQ(p["totalPlugins"], 2);
        ASSERT_GE(step, 0);
        ASSERT_LE(step, 2);
        if (firstOf[step] < 0) firstOf[step] = percent;
        lastPercent = percent;
        lastStep = step;
    }
    EXPECT_EQ(firstOf[0], 0);
    EXPECT_EQ(firstOf[1], 51);
    EXPECT_EQ(firstOf[2], 52);
    EXPECT_EQ(o.progress.back()["current"], 100);
    // The plug-in names reach the page in request order.
    std::vector<std::string> names;
    for (const auto& p : o.progress) {
        const std::string n = p["currentPluginName"];
        if (!n.empty() && (names.empty() || names.back() != n)) names.push_back(n);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_TRUE(contains(o.out, "=== STEP 3/3: Plugins ===\n"));
    EXPECT_TRUE(contains(o.out, "[PLUGINS] UI notified: plugin 2/2 = beta\n"));

    EXPECT_EQ(o.eventNames, (std::vector<std::string>{"installation_started", "installation_completed",
                                                      "installation_diagnostics"}));
    EXPECT_EQ((*o.event("installation_started"))["properties"]["plugins"], "alpha,beta");
    EXPECT_EQ((*o.event("installation_completed"))["properties"]["plugin_count"], "2");

    // The inventory comes after the completion and before the server starts,
    // with the installed plug-in and the other vendor's.
    const json& diagnostics = (*o.event("installation_diagnostics"))["properties"];
    EXPECT_EQ(diagnostics["plugin_count"], "2");
    EXPECT_EQ(diagnostics["plugin_Alpha_Glow"], "1.4.2");
    EXPECT_EQ(diagnostics["plugin_Blur"], "2.0.0");
    const auto complete = o.out.find("=== INSTALLATION COMPLETE ===\n");
    const auto collecting = o.out.find("\n=== Collecting Plugin Diagnostics ===\n");
    const auto launching = o.out.find("=== Launching MRV Server ===\n");
    EXPECT_LT(complete, collecting);
    EXPECT_LT(collecting, launching);
    EXPECT_NE(launching, std::string::npos);
    EXPECT_TRUE(contains(o.out, "[DIAGNOSTICS] Scanning MediaCore directory: " + MEDIACORE_DIR + "\n"));
    EXPECT_TRUE(contains(o.out, "[DIAGNOSTICS] Found 2 plugins:\n"));
    EXPECT_TRUE(contains(o.out, "\n  Blur 2.0.0\n"));
    EXPECT_TRUE(contains(o.out, "\n  [ZRVK] Alpha Glow 1.4.2 (sig: unknown)\n"));
    EXPECT_TRUE(contains(o.out, "[DIAGNOSTICS] ZRVK plugins: 1, signature issues: 0\n"));
    EXPECT_TRUE(contains(o.out, "[ANALYTICS] Queued diagnostics for 2 plugins\n"));
}

// startInstallation builds the context the run works with: the ids in order,
// their count, the force flag.
TEST_F(Flow, StartInstallationRunsWithTheRequestedContext) {
    json m = quietManifest();
    m["latest_render_engine_mac_x64_url"] = server->url("/hf/missing.zip");
    {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        g_manifestJson = m.dump();
    }
    AnswerLog answers;
    struct Case {
        const char* request;
        bool force;
    } cases[] = {
        {"[\"{\\\"pluginIds\\\":[\\\"zeta\\\",\\\"eta\\\"],\\\"forceReinstallRenderEngine\\\":false}\"]", false},
        {"[\"{\\\"pluginIds\\\":[\\\"zeta\\\",\\\"eta\\\"],\\\"forceReinstallRenderEngine\\\":true}\"]", true},
    };
    for (const Case& c : cases) {
        wipe();
        putFile(RENDER_ENGINE_DIR + "/version.txt", "3");  // current: only a forced run reinstalls
        answers.clear();
        const Outcome o = observe([&] {
            startInstallation_cb("seq", c.request, nullptr);
            ASSERT_TRUE(log.waitFor(isCompletion, std::chrono::seconds(20)));
            // The worker releases the session right after its last post.
            EXPECT_TRUE(zrvk_test::waitUntil([] { return !hasAuthorizationSession(); }));
        });
        SCOPED_TRACE(c.request);
        ASSERT_EQ(answers.all().size(), 1u);
        EXPECT_EQ(answers.all()[0].status, 0);
        EXPECT_EQ(answers.all()[0].result, kStarted);
        ASSERT_FALSE(o.progress.empty());
        for (const auto& p : o.progress) EXPECT_EQ(p["totalPlugins"], 2);
        bool reinstalling = false;
        for (const auto& p : o.progress) reinstalling |= p["status"] == "Reinstalling Render Engine (force)...";
        EXPECT_EQ(reinstalling, c.force);
        EXPECT_EQ((*o.event("installation_started"))["properties"]["plugins"], "zeta,eta");
        if (c.force) {
            expectFailure(o, "Render Engine", "render_engine");
        } else {
            expectOneEnding(o, kSuccessScript);
            EXPECT_TRUE(contains(o.out, "[PLUGINS] UI notified: plugin 1/2 = zeta\n"));
            EXPECT_TRUE(contains(o.out, "[PLUGINS] UI notified: plugin 2/2 = eta\n"));
        }
    }
}

}  // namespace
