// The installation flow and startInstallation, with the real installers
// against a catalogue (and an analytics capture) served on 127.0.0.1,
// installing into the sandbox root.
#include "bridge.h"
#include "installation.h"
#include "manifest.h"

#include "installer_auth.h"
#include "installer_config.h"
#include "installer_utils.h"
#include "support/bridge_capture.h"
#include "support/installation_fixture.h"
#include "support/plugin_fixtures.h"
#include "support/whole_lines.h"
#include "support/zip_fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

using namespace InstallerConfig::Paths;
using zrvk_test::AnswerLog;
using zrvk_test::contains;
using zrvk_test::engineEntries;
using zrvk_test::failureScript;
using zrvk_test::Flow;
using zrvk_test::isCompletion;
using zrvk_test::kSuccessScript;
using zrvk_test::makeMacBundle;
using zrvk_test::pluginProperties;
using zrvk_test::quietManifest;
using zrvk_test::versionWord;
using zrvk_test::putFile;
using zrvk_test::readFile;
using zrvk_test::ScriptLog;
using zrvk::test::Response;

using json = nlohmann::json;

namespace {

// ---------------------------------------------------------------------------
// startInstallation

class StartInstallation : public ::testing::Test {
protected:
    zrvk_test::WholeLines wholeLines;  // the worker writes while the test reads

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
