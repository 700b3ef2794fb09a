// The bound functions of detection and uninstall, the uninstall worker and
// its progress scripts, driven without a window against the sandbox root.
#include "bridge.h"
#include "uninstall_flow.h"

#include "installer_auth.h"
#include "installer_config.h"
#include "installer_uninstall.h"
#include "support/bridge_capture.h"
#include "support/uninstall_sandbox.h"
#include "support/whole_lines.h"

#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <sstream>
#include <string>
#include <vector>

using namespace zrvk_test::uninstall_paths;
using zrvk_test::AnswerLog;
using zrvk_test::contains;
using zrvk_test::exists;
using zrvk_test::FakeTools;
using zrvk_test::makeComponent;
using zrvk_test::makeFolder;
using zrvk_test::makePlugin;
using zrvk_test::ScriptLog;
using zrvk_test::versionWord;
using zrvk_test::writeFile;

using json = nlohmann::json;

namespace {

const std::string kCompletion = "if (window.onUninstallComplete) { window.onUninstallComplete(";
const std::string kSuccess = kCompletion + "{success: true}); }";
std::string failure(const std::string& error) { return kCompletion + "{success: false, error: '" + error + "'}); }"; }
bool isCompletion(const std::string& script) { return script.rfind(kCompletion, 0) == 0; }

std::string progressScript(int current, int total, const std::string& escapedStatus) {
    return "if (window.onUninstallProgress) { window.onUninstallProgress({current: " + std::to_string(current) +
           ", total: " + std::to_string(total) + ", status: \"" + escapedStatus + "\"}); }";
}

// What the page sees of the uninstall's scripts.
std::vector<json> pageCalls(const std::vector<std::string>& scripts) {
    return zrvk_test::pageCalls(scripts, {{"onUninstallProgress", "progress"}, {"onUninstallComplete", "complete"}});
}

class UninstallFlow : public ::testing::Test {
protected:
    zrvk_test::WholeLines wholeLines;  // the worker writes while the test reads

    struct Outcome {
        std::vector<std::string> scripts;
        std::string out, err;
    };

    void SetUp() override {
        zrvk_test::wipeInstallation();
        AuthTesting::reset();
    }
    void TearDown() override {
        AuthTesting::reset();
        zrvk_test::wipeInstallation();
    }

    // Runs the worker on this thread with a context of these choices.
    Outcome run(bool renderEngine, bool mrvServer, bool userData, const std::vector<std::string>& ids) {
        auto* ctx = new UninstallContext();
        ctx->renderEngine = renderEngine;
        ctx->mrvServer = mrvServer;
        ctx->userData = userData;
        ctx->pluginIds = ids;
        scripts.clear();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        uninstallThreadFunc(ctx);
        Outcome o;
        o.out = testing::internal::GetCapturedStdout();
        o.err = testing::internal::GetCapturedStderr();
        o.scripts = scripts.all();
        EXPECT_FALSE(hasAuthorizationSession()) << "the worker gives the session back";
        EXPECT_EQ(AuthTesting::referencesCreated(), AuthTesting::referencesFreed());
        return o;
    }

    // A full installation in the sandbox: engine, server, two plug-ins, user data.
    static void install() {
        makeComponent(RENDER_ENGINE_DIR, "3");
        makeComponent(MRV_SERVER_DIR, "1.4.2");
        makePlugin("alpha", "Alpha", versionWord(1, 0, 0), true);
        makePlugin("beta", "Beta", versionWord(2, 0, 0), true);
        writeFile(idFile(), "id");
        makeFolder(CRASH_REPORTS_DIR);
        makeFolder(logsDir());
    }

    ScriptLog scripts;
    FakeTools tools;
};

TEST_F(UninstallFlow, ProgressScriptIsExactAndArrivesUnchanged) {
    UninstallContext ctx;
    testing::internal::CaptureStdout();
    sendUninstallProgressToJS(&ctx, 2, 5, "Removing alpha...");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[UNINSTALL_PROGRESS] 2/5 - Removing alpha...\n");
    EXPECT_EQ(scripts.all(), std::vector<std::string>{progressScript(2, 5, "Removing alpha...")});

    // Ids come from the page and names from other vendors' folders: every text must arrive as it is.
    const std::vector<std::string> texts = {
        "Removing a\"b\\c'd...", "line\nbreak\r\ttab", "sep\xE2\x80\xA8" "ara\xE2\x80\xA9tors",
        "</script><b>x</b>", "Caf\xC3\xA9 \xE2\x9C\x93", std::string("nul\0byte", 8), "\x01\x1F\x7F",
    };
    scripts.clear();
    testing::internal::CaptureStdout();
    for (const std::string& text : texts) sendUninstallProgressToJS(&ctx, 0, 1, text);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(scripts.all()[0], progressScript(0, 1, "Removing a\\\"b\\\\c\\'d..."));
    const std::vector<json> calls = pageCalls(scripts.all());
    ASSERT_EQ(calls.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(calls[i]["cb"], "progress") << calls[i].dump();
        EXPECT_EQ(calls[i]["arg"]["status"], texts[i]);
        EXPECT_EQ(calls[i]["arg"]["current"], 0);
        EXPECT_EQ(calls[i]["arg"]["total"], 1);
    }
}

TEST_F(UninstallFlow, NothingToDoEndsAtOnce) {
    const Outcome o = run(false, false, false, {});
    EXPECT_EQ(o.scripts, std::vector<std::string>{kSuccess});
    EXPECT_TRUE(contains(o.out, std::string(40, '=') + "\n=== UNINSTALL THREAD STARTED ===\n" + std::string(40, '=')));
    EXPECT_TRUE(contains(o.out, "=== Requesting Administrator Access ===\n"));
    EXPECT_TRUE(contains(o.out, "[UNINSTALL_THREAD] Nothing to uninstall\n"));
    EXPECT_EQ(AuthTesting::rightsRequests(), 1) << "rights are asked for before the request is looked at";
}

TEST_F(UninstallFlow, RefusedAuthorizationRemovesNothing) {
    install();
    for (int status : {-60006, -60005}) {
        AuthTesting::reset();
        AuthTesting::forceRightsStatus(status);
        const Outcome o = run(true, true, true, {"alpha"});
        EXPECT_EQ(o.scripts, std::vector<std::string>{failure("Authorization required to uninstall")});
        EXPECT_TRUE(contains(o.err, "[UNINSTALL_THREAD] Failed to acquire authorization: ")) << o.err;
        EXPECT_FALSE(contains(o.out, "=== Uninstalling"));
    }
    EXPECT_TRUE(exists(RENDER_ENGINE_DIR + "/version.txt"));
    EXPECT_TRUE(exists(MRV_SERVER_DIR + "/version.txt"));
    EXPECT_TRUE(exists(PLUGINS_DIR + "/alpha.plugin"));
    EXPECT_TRUE(exists(idFile()));
    EXPECT_EQ(tools.pkillCalls(), "");
}

TEST_F(UninstallFlow, EverythingInOrder) {
    install();
    const Outcome o = run(true, true, true, {"alpha", "ghost", "alpha"});
    const std::vector<std::string> expected = {
        progressScript(0, 6, "Removing Render Engine..."), progressScript(1, 6, "Removing MRV Server..."),
        progressScript(2, 6, "Removing alpha..."),        progressScript(3, 6, "Removing ghost..."),
        progressScript(4, 6, "Removing alpha..."),        progressScript(5, 6, "Removing user data..."),
        progressScript(6, 6, "Uninstall complete"),       kSuccess,
    };
    EXPECT_EQ(o.scripts, expected);
    const std::string banners[] = {"=== Uninstalling Render Engine ===", "=== Uninstalling MRV Server ===",
                                   "=== Uninstalling Plugins ===", "=== Removing User Data ===",
                                   "=== UNINSTALL COMPLETE ==="};
    std::size_t at = 0;
    for (const std::string& banner : banners) {
        const std::size_t next = o.out.find(banner, at);
        ASSERT_NE(next, std::string::npos) << banner;
        at = next;
    }
    // A requested plug-in that is not there is only logged; the rest goes on.
    EXPECT_TRUE(contains(o.out, "[UNINSTALL_THREAD] Plugin not found: ghost\n"));
    // The second alpha runs again on paths already gone, and only logs.
    const std::string again = "[UNINSTALL] Uninstalling plugin: alpha\n";
    const std::size_t first = o.out.find(again);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(o.out.find(again, first + 1), std::string::npos);
    EXPECT_EQ(tools.pkillCalls(), "-9 MORVANE Server\n-9 MORVANE Server\n") << "before the engine, and before the server";

    EXPECT_FALSE(exists(renderEngineRoot()));
    EXPECT_FALSE(exists(MRV_SERVER_DIR));
    EXPECT_FALSE(exists(PLUGINS_DIR + "/alpha.plugin"));
    EXPECT_FALSE(exists(MRV_PLUGINS_DIR + "/alpha"));
    EXPECT_TRUE(exists(PLUGINS_DIR + "/beta.plugin"));
    EXPECT_TRUE(exists(MRV_PLUGINS_DIR + "/beta/version.txt"));
    EXPECT_FALSE(exists(idFile()));
    EXPECT_FALSE(exists(CRASH_REPORTS_DIR));
    EXPECT_FALSE(exists(logsDir()));
}

TEST_F(UninstallFlow, AFailedComponentSkipsTheRest) {
    struct Case {
        bool renderEngine;
        std::vector<std::string> progress;
        const char* logged;
    } cases[] = {
        {true,
         {progressScript(0, 4, "Removing Render Engine..."), progressScript(4, 4, "Uninstall complete")},
         "[UNINSTALL_THREAD] Failed to uninstall Render Engine\n"},
        {false,
         {progressScript(0, 3, "Removing MRV Server..."), progressScript(3, 3, "Uninstall complete")},
         "[UNINSTALL_THREAD] Failed to uninstall MRV Server\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        zrvk_test::wipeInstallation();
        install();
        tools.failRemovals();
        const Outcome o = run(c.renderEngine, true, true, {"alpha"});
        tools.allowRemovals();
        std::vector<std::string> expected = c.progress;
        expected.push_back(failure("Some components failed to uninstall"));
        EXPECT_EQ(o.scripts, expected);
        EXPECT_TRUE(contains(o.err, c.logged));
        EXPECT_FALSE(contains(o.out, "=== Uninstalling Plugins ==="));
        EXPECT_FALSE(contains(o.out, "=== Removing User Data ==="));
        EXPECT_TRUE(exists(RENDER_ENGINE_DIR + "/version.txt"));
        EXPECT_TRUE(exists(MRV_SERVER_DIR + "/version.txt"));
        EXPECT_TRUE(exists(PLUGINS_DIR + "/alpha.plugin"));
        EXPECT_TRUE(exists(idFile())) << "user data stays when a component removal failed";
        EXPECT_TRUE(exists(logsDir()));
    }
    EXPECT_EQ(tools.pkillCalls(), "-9 MORVANE Server\n-9 MORVANE Server\n")
        << "stopped once before each removal that ran: the engine's, then the server's in the second case";
}

// A requested plug-in that is not there is as the user asked; only one that
// is found and stays fails the run. A failed user-data removal is only logged.
TEST_F(UninstallFlow, OnlyAFoundPluginThatStaysFailsTheRunAndUserDataIsOnlyLogged) {
    const std::string refusedFolder = PLUGINS_DIR + "/q\"$(x).plugin";  // another vendor's name: refused, never run
    struct Case {
        const char* name;
        std::vector<std::string> ids;
        bool userData, failRemovals, succeeds;
        std::vector<std::string> progress;
        std::vector<std::string> out, err;  // lines among the logs
        std::string gone, kept;
    } cases[] = {
        {"not found",
         {"nothing"}, false, false, true,
         {progressScript(0, 1, "Removing nothing..."), progressScript(1, 1, "Uninstall complete")},
         {"[UNINSTALL_THREAD] Plugin not found: nothing\n"}, {}, "", PLUGINS_DIR + "/alpha.plugin"},
        {"not found beside one removed",
         {"nothing", "alpha"}, false, false, true,
         {progressScript(0, 2, "Removing nothing..."), progressScript(1, 2, "Removing alpha..."),
          progressScript(2, 2, "Uninstall complete")},
         {"[UNINSTALL_THREAD] Plugin not found: nothing\n"}, {}, PLUGINS_DIR + "/alpha.plugin", PLUGINS_DIR + "/beta.plugin"},
        {"found, removal fails; user data still tried",
         {"beta"}, true, true, false,
         {progressScript(0, 2, "Removing beta..."), progressScript(1, 2, "Removing user data..."),
          progressScript(2, 2, "Uninstall complete")},
         {},
         {"[UNINSTALL_THREAD] Failed to uninstall plugin: beta\n", "[UNINSTALL_THREAD] Failed to remove user data\n"},
         "", PLUGINS_DIR + "/beta.plugin"},
        {"found, path refused; one not found",
         {"q\"$(x)", "nothing"}, false, false, false,
         {progressScript(0, 2, "Removing q\\\"$(x)..."), progressScript(1, 2, "Removing nothing..."),
          progressScript(2, 2, "Uninstall complete")},
         {"[UNINSTALL_THREAD] Plugin not found: nothing\n"},
         {"[UNINSTALL] Refusing to remove a path outside the installer's folders or unsafe in a command: " +
              refusedFolder + "\n",
          "[UNINSTALL_THREAD] Failed to uninstall plugin: q\"$(x)\n"},
         "", refusedFolder},
        {"user data alone fails",
         {}, true, true, true,
         {progressScript(0, 1, "Removing user data..."), progressScript(1, 1, "Uninstall complete")},
         {}, {"[UNINSTALL_THREAD] Failed to remove user data\n"}, "", idFile()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zrvk_test::wipeInstallation();
        install();
        makeFolder(refusedFolder);
        if (c.failRemovals) tools.failRemovals();
        const Outcome o = run(false, false, c.userData, c.ids);
        tools.allowRemovals();
        std::vector<std::string> expected = c.progress;
        expected.push_back(c.succeeds ? kSuccess : failure("Some components failed to uninstall"));
        EXPECT_EQ(o.scripts, expected) << o.out << o.err;
        for (const std::string& line : c.out) EXPECT_TRUE(contains(o.out, line)) << line;
        for (const std::string& line : c.err) EXPECT_TRUE(contains(o.err, line)) << line;
        if (!c.gone.empty()) {
            EXPECT_FALSE(exists(c.gone));
        }
        EXPECT_TRUE(exists(c.kept));
    }
}

// A file name that is not valid UTF-8 reaches the page with U+FFFD in its id,
// and that is the id the page sends back.
TEST_F(UninstallFlow, APluginWhoseNameIsNotUtf8IsFoundByTheIdThePageGot) {
    makePlugin("caf\xE9", "Cafe", versionWord(1, 0, 0), true);
    const std::string pageId = "caf\xEF\xBF\xBD";
    testing::internal::CaptureStdout();
    const std::string detected =
        InstallerUninstall::installedComponentsToJson(InstallerUninstall::detectInstalledComponents());
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(json::parse(detected)["plugins"][0]["id"], pageId);

    const Outcome o = run(false, false, false, {pageId});
    EXPECT_EQ(o.scripts.back(), kSuccess) << o.out << o.err;
    EXPECT_FALSE(exists(PLUGINS_DIR + "/caf\xE9.plugin"));
    EXPECT_FALSE(exists(MRV_PLUGINS_DIR + "/caf\xE9"));
}

// Anything unexpected inside the steps (running out of memory, say) still
// ends the run with a failure that the page shows, and gives the rights back.
TEST_F(UninstallFlow, AnUnexpectedErrorEndsTheRunAsAFailure) {
    install();
    bool thrown = false;
    setScriptSinkForTesting([&](const std::string& script) {
        if (!thrown) {
            thrown = true;
            throw std::bad_alloc();
        }
        scripts.add(script);
    });
    const Outcome o = run(true, false, false, {});
    setScriptSinkForTesting([this](const std::string& script) { scripts.add(script); });
    EXPECT_EQ(o.scripts, std::vector<std::string>{failure("Some components failed to uninstall")});
    EXPECT_TRUE(contains(o.err, "[UNINSTALL_THREAD] Unexpected error: std::bad_alloc\n")) << o.err;
}

class BoundFunctions : public UninstallFlow {
protected:
    AnswerLog answers;
};

const std::string kStarted = "{\"success\":true,\"message\":\"Uninstall started\"}";
const std::string kBadRequest = "{\"success\":false,\"error\":\"Invalid request format\"}";

TEST_F(BoundFunctions, StartUninstallRequestShapes) {
    // Nested far deeper than any request the page sends, directly and as the inner text.
    const std::string deep = std::string(2000, '[') + std::string(2000, ']');
    const std::string deepInner = "[\"" + deep + "\"]";
    const std::string limit = std::string(33, '[') + std::string(33, ']');
    struct Case {
        const char* request;
        bool started;
        const char* flags;  // the logged choices: engine, server, user data, plug-in count
    } cases[] = {
        {"[\"{\\\"renderEngine\\\":true,\\\"mrvServer\\\":false,\\\"userData\\\":true,\\\"pluginIds\\\":[\\\"foo\\\"]}\"]",
         true, "yes no yes 1"},
        {"[{\"mrvServer\":true}]", true, "no yes no 0"},
        {"{\"pluginIds\":[\"a\",\"b\",\"a\"],\"userData\":false}", true, "no no no 3"},
        {"{\"renderEngine\":\"true\",\"mrvServer\":1,\"userData\":null}", true, "no no no 0"},
        {"{\"pluginIds\":\"a\"}", true, "no no no 0"},
        {"{\"pluginIds\":{\"0\":\"a\"}}", true, "no no no 0"},
        {"[7]", true, "no no no 0"},
        {"[\"[1,2]\"]", true, "no no no 0"},
        {"[\"{}\", \"ignored\"]", true, "no no no 0"},
        {"{\"pluginIds\":[\"a\",7]}", false, ""},
        {"[\"{\\\"pluginIds\\\":[null]}\"]", false, ""},
        {"[]", false, ""},
        {"\"text\"", false, ""},
        {"42", false, ""},
        {"true", false, ""},
        {"null", false, ""},
        {"", false, ""},
        {"[\"not json\"]", false, ""},
        {deep.c_str(), false, ""},
        {deepInner.c_str(), false, ""},
        {limit.c_str(), false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        answers.clear();
        scripts.clear();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        startUninstall_cb("seq-7", c.request, nullptr);
        if (c.started) {
            EXPECT_TRUE(scripts.waitFor(isCompletion, std::chrono::seconds(20)));
        }
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        const auto all = answers.all();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].seq, "seq-7");
        EXPECT_EQ(all[0].status, c.started ? 0 : 1);
        EXPECT_EQ(all[0].result, c.started ? kStarted : kBadRequest);
        EXPECT_TRUE(contains(out, std::string(40, '=') + "\n=== STARTING UNINSTALL ===\n" + std::string(40, '=')));
        EXPECT_TRUE(contains(out, std::string("[startUninstall] Request: ") + c.request + "\n"));
        if (!c.started) {
            EXPECT_TRUE(contains(err, "[startUninstall] Failed to parse request: "));
            EXPECT_FALSE(contains(out, "Launching uninstall thread"));
            EXPECT_TRUE(scripts.all().empty()) << "no worker ran";
            continue;
        }
        std::istringstream flags(c.flags);
        std::string engine, server, data, count;
        flags >> engine >> server >> data >> count;
        EXPECT_TRUE(contains(out, "[startUninstall] Uninstall request:\n  - Render Engine: " + engine +
                                      "\n  - MRV Server: " + server + "\n  - User Data: " + data +
                                      "\n  - Plugins: " + count + "\n[startUninstall] Launching uninstall thread...\n"))
            << out;
        EXPECT_TRUE(contains(out, "[startUninstall] Uninstall thread launched\n"));
        EXPECT_EQ(scripts.all().back(), kSuccess) << "nothing is installed, so every removal succeeds";
    }
}

TEST_F(BoundFunctions, StartUninstallHandsTheRequestToTheWorker) {
    install();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    startUninstall_cb("1", "[\"{\\\"renderEngine\\\":false,\\\"mrvServer\\\":false,\\\"userData\\\":true,"
                           "\\\"pluginIds\\\":[\\\"beta\\\"]}\"]", nullptr);
    EXPECT_TRUE(scripts.waitFor(isCompletion, std::chrono::seconds(20)));
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(scripts.all(), (std::vector<std::string>{progressScript(0, 2, "Removing beta..."),
                                                        progressScript(1, 2, "Removing user data..."),
                                                        progressScript(2, 2, "Uninstall complete"), kSuccess}));
    EXPECT_FALSE(exists(PLUGINS_DIR + "/beta.plugin"));
    EXPECT_FALSE(exists(idFile()));
    EXPECT_TRUE(exists(PLUGINS_DIR + "/alpha.plugin"));
    EXPECT_TRUE(exists(RENDER_ENGINE_DIR + "/version.txt"));
}

TEST_F(BoundFunctions, DetectionAnswersWithTheJsonText) {
    install();
    testing::internal::CaptureStdout();
    detectInstalledComponents_cb("9", "[\"ignored\"]", nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    std::string expected;
    {
        testing::internal::CaptureStdout();
        expected = InstallerUninstall::installedComponentsToJson(InstallerUninstall::detectInstalledComponents());
        testing::internal::GetCapturedStdout();
    }
    const auto all = answers.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].seq, "9");
    EXPECT_EQ(all[0].status, 0);
    EXPECT_EQ(all[0].result, expected);
    EXPECT_EQ(out.rfind("[detectInstalledComponents] Detecting installed components...\n", 0), 0u);
    EXPECT_TRUE(contains(out, "[detectInstalledComponents] Result: " + expected + "\n"));
    const json result = json::parse(all[0].result);
    EXPECT_EQ(result["totalComponentCount"], 4);
    EXPECT_TRUE(scripts.all().empty());
}

}  // namespace
