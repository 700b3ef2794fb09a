#include "bridge.h"
#include "manifest.h"
#include "installer_download.h"
#include "loopback_server.h"
#include "support/test_paths.h"
#include "support/whole_lines.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;
using zrvk_test::writeFile;

using json = nlohmann::json;

namespace {

// Evaluates posted snippets in Node against a page stub that records which
// callback ran with what.
std::string runSnippets(const std::vector<std::string>& snippets) {
    std::string script =
        "const print = console.log; console.log = () => {}; console.error = () => {};\n"
        "globalThis.window = globalThis; globalThis.alert = () => print('ALERT RAN');\n"
        "window.onManifestLoaded = (m) => print('LOADED ' + JSON.stringify(m));\n"
        "window.onManifestLoadError = (e) => print('ERROR ' + e);\n";
    for (const std::string& s : snippets) script += s + "\n";
    return zrvk_test::runNode(script);
}

class ManifestFetch : public ::testing::Test {
protected:
    zrvk_test::WholeLines wholeLines;  // the fetch worker writes while the test reads

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        setManifestUrlForTesting(server.url("/manifest.json"));
        setScriptSinkForTesting([this](const std::string& s) { scripts.push_back(s); });
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        g_manifestJson.clear();
    }
    void TearDown() override {
        setManifestUrlForTesting("");
        setScriptSinkForTesting(nullptr);
        setHttpTimeoutForTesting(30);
    }

    std::string storedManifest() {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        return g_manifestJson;
    }

    void runWorker() { loadManifestThreadFunc(new ManifestLoadContext{nullptr}); }

    LoopbackServer server;
    std::vector<std::string> scripts;
};

TEST_F(ManifestFetch, ABodyReachesThePageAsTheSameObject) {
    const std::string body =
        "{\"plugins\":[{\"id\":\"glow\",\"name\":\"Glow \\\"Pro\\\" \\\\ \\u2028 line\\nbreak\",\"n\":1.5}],"
        "\"license_text\":\"caf\xC3\xA9 \xE2\x9C\x93\",\"html\":\"</script><b>x</b>\"}";
    server.route("GET", "/manifest.json", Response::text(200, body, "application/json"));
    testing::internal::CaptureStdout();
    runWorker();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(storedManifest(), body);
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0].rfind("if (window.onManifestLoaded) { try { console.log('[MANIFEST] Parsing JSON...');", 0), 0u);
    EXPECT_EQ(runSnippets(scripts), "LOADED " + nlohmann::ordered_json::parse(body).dump() + "\n");
    EXPECT_NE(out.find("[MANIFEST_THREAD] Successfully fetched manifest, length: " + std::to_string(body.size())),
              std::string::npos);
    EXPECT_NE(out.find("[MANIFEST_THREAD] First 200 chars: " + body.substr(0, 200) + "\n"), std::string::npos);
}

TEST_F(ManifestFetch, BodiesThatAreNotJsonEndInTheParseErrorAndNeverRun) {
    const std::vector<std::string> bodies = {
        "<!DOCTYPE html><html><body>Service unavailable</body></html>",
        "alert(1)",
        "(function(){ alert(2); })()",
        "x\"); alert(3); (\"",
        "{\"a\":1} // trailing comment",
        "",
    };
    for (const std::string& body : bodies) {
        scripts.clear();
        server.route("GET", "/manifest.json", Response::text(200, body, "text/html"));
        testing::internal::CaptureStdout();
        runWorker();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(storedManifest(), body);
        const std::string result = runSnippets(scripts);
        EXPECT_EQ(result.rfind("ERROR Failed to parse manifest: ", 0), 0u) << body << " -> " << result;
        EXPECT_EQ(result.find("ALERT RAN"), std::string::npos) << body;
    }
}

TEST_F(ManifestFetch, ThreeFailedAttemptsPostTheFetchErrorAndKeepTheEarlierManifest) {
    {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        g_manifestJson = "{\"earlier\":true}";
    }
    server.route("GET", "/manifest.json", Response::text(404, std::string(200000, 'x')));
    testing::internal::CaptureStderr();
    runWorker();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "[httpGet] HTTP error: 404\n[httpGet] HTTP error: 404\n[httpGet] HTTP error: 404\n"
              "[httpGet] Failed after 3 attempts\n[MANIFEST_THREAD] Failed to fetch manifest from URL\n");
    EXPECT_EQ(server.hits("/manifest.json"), 3u);
    EXPECT_EQ(storedManifest(), "{\"earlier\":true}");
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0],
              "if (window.onManifestLoadError) { window.onManifestLoadError('Failed to fetch manifest from server'); }");
    EXPECT_EQ(runSnippets(scripts), "ERROR Failed to fetch manifest from server\n");
}

TEST_F(ManifestFetch, ATimedOutPartialAnswerIsDiscardedBeforeTheRetry) {
    setHttpTimeoutForTesting(1);
    std::atomic<int> calls{0};
    server.route("GET", "/manifest.json", [&calls](const Request&) {
        if (calls++ == 0) {
            Response partial = Response::text(200, "{\"first\": \"answer that never ends");
            partial.stallAfterBytes = 10;
            return partial;
        }
        return Response::text(200, "{\"second\":true}");
    });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::string body;
    EXPECT_TRUE(httpGet(server.url("/manifest.json"), body, 3));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    server.releaseStalls();
    EXPECT_EQ(body, "{\"second\":true}");
    EXPECT_NE(out.find("[httpGet] Retry attempt 1 of 3..."), std::string::npos);
    EXPECT_NE(err.find("[httpGet] Connection timeout - network may be slow or unavailable"), std::string::npos);
}

TEST_F(ManifestFetch, AnHttpManifestIsRefusedWhereOnlyHttpsIsAllowed) {
    server.route("GET", "/manifest.json", Response::text(200, "{\"plugins\":[]}"));
    DeliveryTesting::setTransferProtocols("https");
    testing::internal::CaptureStderr();
    std::string body;
    EXPECT_FALSE(httpGet(server.url("/manifest.json"), body, 1));
    const std::string err = testing::internal::GetCapturedStderr();
    DeliveryTesting::reset();
    EXPECT_NE(err.find("[httpGet] Error: Unsupported protocol"), std::string::npos) << err;
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(ManifestFetch, RedirectsAreFollowedAndAClosedPortFails) {
    server.route("GET", "/manifest.json", Response::redirect(302, "/real.json"));
    server.route("GET", "/real.json", Response::text(200, "{\"moved\":1}"));
    std::string body;
    EXPECT_TRUE(httpGet(server.url("/manifest.json"), body, 1));
    EXPECT_EQ(body, "{\"moved\":1}");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(httpGet("http://127.0.0.1:1/manifest.json", body, 1));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("[httpGet] Error: ", 0), 0u);
    EXPECT_NE(err.find("[httpGet] Failed after 1 attempts"), std::string::npos);
}

}  // namespace
