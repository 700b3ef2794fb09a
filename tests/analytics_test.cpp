// The analytics client against a capture server on loopback: the exact
// documents, one request per event in order, failures, time-outs, the drain
// at shutdown.
#include "posthog.h"
#include "support/analytics_capture.h"
#include "support/loopback_server.h"
#include "support/test_paths.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using nlohmann::json;
using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;
using zrvk_test::Capture;
using zrvk_test::count;
using zrvk_test::platformText;
using zrvk_test::SeamReset;
using zrvk_test::TempDir;
using zrvk_test::writeFile;

namespace {

class CurlEnvironment : public ::testing::Environment {
public:
    void SetUp() override { curl_global_init(CURL_GLOBAL_DEFAULT); }
};
const auto* const g_curlEnvironment = ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

PostHog::Config testConfig(const std::string& host) {
    PostHog::Config config;
    config.apiKey = "phc_key";
    config.appName = "zrvk_analytics";
    config.appVersion = "9.8.7";
    config.host = host;
    config.distinctId = "id-1234567890";
    return config;
}

}  // namespace

// --- the client -------------------------------------------------------------

TEST(PostHogClient, TrackPostsTheExactDocument) {
    Capture capture;
    PostHog::Config config = testConfig(capture.host());
    config.apiKey = "phc_Qm4Ld8Rt2Vx6Nz0Kc5Jw9Hp3Fb7Gs1Ty4Ue8Ia2Oo6P";
    config.appName = "zrvk-installer";
    config.appVersion = "3.5.3";
    config.distinctId = "unknown-1700000000";
    PostHog::Client client(config);
    ASSERT_TRUE(client.initialize());
    client.track("installation_completed", {{"duration_seconds", "42"}, {"plugin_count", "2"}});
    client.shutdown();

    auto posts = capture.posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].body,
              "{\"api_key\":\"phc_Qm4Ld8Rt2Vx6Nz0Kc5Jw9Hp3Fb7Gs1Ty4Ue8Ia2Oo6P\",\"distinct_id\":\"unknown-1700000000\","
              "\"event\":\"installation_completed\",\"properties\":{\"$lib\":\"zrvk-installer\",\"$lib_version\":"
              "\"3.5.3\",\"$os\":\"" +
                  platformText() +
                  "\",\"duration_seconds\":\"42\",\"plugin_count\":\"2\",\"posthog_cpp_version\":\"1.5.0\"}}");
    EXPECT_EQ(posts[0].header("Content-Type"), "application/json");
}

TEST(PostHogClient, CallerPairsReplaceFixedPropertiesAndPersonProperties) {
    Capture capture;
    PostHog::Client client(testConfig(capture.host()));
    client.initialize();
    client.track("e1", {{"$lib", "caller"}, {"text", "caf\xc3\xa9"}});
    client.trackException("T", "m", "", {{"$exception_list", "caller"}});
    client.setPersonProperties({}, false);  // nothing to set: nothing queued
    client.setPersonProperties({{"plan", "pro"}}, true);
    client.setPersonProperties({{"plan", "free"}}, false);
    client.shutdown();

    auto docs = capture.documents();
    ASSERT_EQ(docs.size(), 4u);
    EXPECT_EQ(docs[0]["properties"]["$lib"], "caller");
    EXPECT_EQ(docs[0]["properties"]["text"], "caf\xc3\xa9");
    EXPECT_NE(capture.posts()[0].body.find("caf\xc3\xa9"), std::string::npos) << "raw UTF-8, not an escape";
    EXPECT_TRUE(docs[1]["properties"]["$exception_list"].is_array());
    EXPECT_FALSE(docs[1]["properties"].contains("component")) << "empty component is left out";
    EXPECT_EQ(docs[2]["event"], "$set");
    EXPECT_EQ(docs[2]["properties"]["$set_once"], json({{"plan", "pro"}}));
    EXPECT_EQ(docs[3]["properties"]["$set"], json({{"plan", "free"}}));
    EXPECT_FALSE(docs[3]["properties"].contains("$set_once"));
}

TEST(PostHogClient, ExceptionCarriesTheCutMessageAndTheReportingStack) {
    Capture capture;
    PostHog::Client client(testConfig(capture.host()));
    client.initialize();
    client.trackException("InstallationError", std::string(600, 'x'), "Render", {{"phase", "render_engine"}});
    client.trackException("Short", "ten bytes!", "", {});
    client.shutdown();

    auto docs = capture.documents();
    ASSERT_EQ(docs.size(), 2u);
    const json& props = docs[0]["properties"];
    EXPECT_EQ(docs[0]["event"], "$exception");
    EXPECT_EQ(props["component"], "Render");
    EXPECT_EQ(props["phase"], "render_engine");
    EXPECT_EQ(props["$lib"], "zrvk_analytics");
    ASSERT_EQ(props["$exception_list"].size(), 1u);
    const json& exception = props["$exception_list"][0];
    EXPECT_EQ(exception["type"], "InstallationError");
    EXPECT_EQ(exception["value"], std::string(500, 'x'));
    EXPECT_EQ(exception["mechanism"], json({{"handled", true}, {"synthetic", false}}));
    EXPECT_EQ(exception["stacktrace"]["type"], "raw");
    const json& frames = exception["stacktrace"]["frames"];
    ASSERT_TRUE(frames.is_array());
    ASSERT_FALSE(frames.empty());
    EXPECT_LE(frames.size(), 15u);
    bool sawTestBody = false;
    bool sawOutsideApp = false;
    for (const json& frame : frames) {
        EXPECT_EQ(frame["platform"], "custom");
        EXPECT_EQ(frame["lang"], "cpp");
        EXPECT_TRUE(frame["function"].is_string());
        EXPECT_TRUE(frame["in_app"].is_boolean());
        EXPECT_EQ(frame["resolved"], true);
        EXPECT_FALSE(frame.contains("lineno")) << "no line numbers from this capture";
        if (frame.contains("filename")) {
            EXPECT_FALSE(frame["filename"].get<std::string>().empty());
        }
        if (frame.contains("module")) {
            EXPECT_FALSE(frame["module"].get<std::string>().empty());
        }
        const std::string function = frame["function"];
        EXPECT_EQ(function.find("captureStructured"), std::string::npos) << "capture frames are skipped";
        if (function.find("ExceptionCarriesTheCutMessage") != std::string::npos) {
            sawTestBody = true;
            EXPECT_EQ(frame["in_app"], true);
        }
        if (frame["in_app"] == false) sawOutsideApp = true;
    }
    EXPECT_TRUE(sawTestBody) << frames.dump(1);
    EXPECT_TRUE(sawOutsideApp) << "frames of the C library are not in the app: " << frames.dump(1);
    EXPECT_EQ(docs[1]["properties"]["$exception_list"][0]["value"], "ten bytes!");
}

TEST(PostHogClient, InvalidUtf8IsSentWithReplacementCharacters) {
    Capture capture;
    PostHog::Config config = testConfig(capture.host());
    config.distinctId = "id-\xff";
    PostHog::Client client(config);
    client.initialize();
    std::string message = "a";
    for (int i = 0; i < 300; ++i) message += "\xc3\xa9";  // the 500-byte cut falls inside a character
    testing::internal::CaptureStderr();
    client.trackException("Cut", message, "", {});
    client.track("bad_bytes", {{"value", "x\xff\xfey"}});
    client.track("after", {});
    client.shutdown();
    std::string errors = testing::internal::GetCapturedStderr();

    auto docs = capture.documents();
    ASSERT_EQ(docs.size(), 3u) << errors;
    const std::string value = docs[0]["properties"]["$exception_list"][0]["value"];
    EXPECT_EQ(value.substr(value.size() - 3), "\xef\xbf\xbd");
    EXPECT_EQ(value.size(), 1 + 249 * 2 + 3u);
    EXPECT_EQ(docs[1]["properties"]["value"], "x\xef\xbf\xbd\xef\xbf\xbdy");
    EXPECT_EQ(docs[1]["distinct_id"], "id-\xef\xbf\xbd");
    EXPECT_EQ(docs[2]["event"], "after");
}

// Keys are repaired before the document is written: written as they were,
// both keys below became the same text twice, and the repaired key landed
// after the emoji although it sorts before it.
TEST(PostHogClient, KeysWithInvalidUtf8StayUniqueAndSorted) {
    Capture capture;
    PostHog::Client client(testConfig(capture.host()));
    client.initialize();
    client.track("keys", {{"k\xfe", "first"}, {"k\xff", "second"}, {"\xf0\x9f\x98\x80", "emoji"}, {"\xff", "bad"}});
    client.setPersonProperties({{"p\xfe", "1"}, {"p\xff", "2"}}, false);
    client.shutdown();

    const auto posts = capture.posts();
    ASSERT_EQ(posts.size(), 2u);
    for (const Request& post : posts) {
        EXPECT_EQ(json::parse(post.body).dump(), post.body) << "not in sorted compact form: " << post.body;
    }
    EXPECT_EQ(count(posts[0].body, "\"k\xef\xbf\xbd\""), 1u) << posts[0].body;
    EXPECT_EQ(json::parse(posts[0].body)["properties"]["k\xef\xbf\xbd"], "second");
    EXPECT_EQ(count(posts[1].body, "\"p\xef\xbf\xbd\""), 1u) << posts[1].body;
}

TEST(PostHogClient, DrainAtShutdownSendsEveryQueuedEventInOrder) {
    Capture capture;
    Response slow = Response::text(200, "ok");
    slow.stallBeforeHeaders = true;
    slow.stallFor = 40ms;
    capture.server.route("POST", capture.path, slow);
    PostHog::Client client(testConfig(capture.host()));
    client.initialize();
    for (int i = 0; i < 10; ++i) client.track("event_" + std::to_string(i), {{"n", std::to_string(i)}});
    client.shutdown();  // must wait for all ten

    auto docs = capture.documents();
    ASSERT_EQ(docs.size(), 10u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(docs[i]["event"], "event_" + std::to_string(i));
        EXPECT_EQ(docs[i]["properties"]["n"], std::to_string(i));
    }
    client.track("after_shutdown", {});
    EXPECT_EQ(capture.posts().size(), 10u);
}

TEST(PostHogClient, ErrorAnswersAndDroppedConnectionsGoOnWithTheNextEvent) {
    Capture capture;
    std::atomic<int> seen{0};
    capture.server.route("POST", capture.path, [&seen](const Request&) {
        int n = seen++;
        if (n == 0) return Response::text(500, "broken");
        Response r = Response::text(200, "ok");
        if (n == 1) r.closeWithoutAnswer = true;
        return r;
    });
    PostHog::Client client(testConfig(capture.host()));
    client.initialize();
    testing::internal::CaptureStderr();
    client.track("first", {});
    client.track("second", {});
    client.track("third", {});
    client.shutdown();
    std::string errors = testing::internal::GetCapturedStderr();

    auto docs = capture.documents();
    ASSERT_EQ(docs.size(), 3u) << "one attempt per event, no retry";
    EXPECT_EQ(docs[0]["event"], "first");
    EXPECT_EQ(docs[1]["event"], "second");
    EXPECT_EQ(docs[2]["event"], "third");
    EXPECT_EQ(count(errors, "[PostHog] Send failed: "), 1u) << "a 500 is not a transfer error: " << errors;
}

TEST(PostHogClient, ClosedPortFailsEachEventOnceAndShutdownReturns) {
    std::string host;
    {
        Capture gone;
        host = gone.host();
    }  // nothing listens there any more
    PostHog::Client client(testConfig(host));
    client.initialize();
    testing::internal::CaptureStderr();
    client.track("a", {});
    client.track("b", {});
    auto start = std::chrono::steady_clock::now();
    client.shutdown();
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(count(errors, "[PostHog] Send failed: "), 2u) << errors;
}

TEST(PostHogClient, RequestTimeOutKeepsShutdownShort) {
    SeamReset reset;
    Capture capture;
    Response stall = Response::text(200, "ok");
    stall.stallBeforeHeaders = true;  // until the server stops
    capture.server.route("POST", capture.path, stall);
    // Long enough for a post to reach the server on a loaded machine, a
    // tenth of the ten seconds the client waits without the override.
    PostHog::Testing::setRequestTimeoutMs(1000);
    PostHog::Client client(testConfig(capture.host()));
    client.initialize();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) client.track("stalled", {});
    auto start = std::chrono::steady_clock::now();
    client.shutdown();
    auto elapsed = std::chrono::steady_clock::now() - start;
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_LT(elapsed, 10s) << "three stalled posts take less than one at the default time-out";
    EXPECT_EQ(count(errors, "[PostHog] Send failed: Timeout"), 3u) << errors;
    // The server may read the last post after the client has given up on it.
    EXPECT_TRUE(capture.server.waitForRequests(3, 30s));
    EXPECT_EQ(capture.posts().size(), 3u);
}

TEST(PostHogClient, ReplyBodyNeverReachesStandardOutput) {
    Capture capture;
    PostHog::Client client(testConfig(capture.host()));
    testing::internal::CaptureStdout();
    client.initialize();
    client.track("quiet", {});
    client.shutdown();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(capture.posts().size(), 1u);
    EXPECT_EQ(out.find("REPLY-BODY-MARKER"), std::string::npos) << out;
}

TEST(PostHogClient, LifecycleAndFlush) {
    Capture capture;
    PostHog::Client client(testConfig(capture.host()));
    client.track("before_initialize", {});
    EXPECT_FALSE(client.isEnabled());
    EXPECT_EQ(client.getDistinctId(), "");

    testing::internal::CaptureStdout();
    EXPECT_TRUE(client.initialize());
    EXPECT_TRUE(client.initialize());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count(out, "[PostHog] Initialized, distinct_id: id-12345..."), 1u) << out;
    EXPECT_EQ(client.getDistinctId(), "id-1234567890");

    client.setEnabled(false);
    EXPECT_FALSE(client.isEnabled());
    client.track("while_disabled", {});
    client.trackException("T", "while disabled", "", {});
    client.setEnabled(true);

    testing::internal::CaptureStderr();
    client.flush(0);  // empty queue: silent
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    client.track("kept", {});
    client.flush(5000);
    client.shutdown();
    client.shutdown();
    auto docs = capture.documents();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0]["event"], "kept");
}

TEST(PostHogClient, FlushTimesOutOnAQueueThatCannotEmpty) {
    SeamReset reset;
    Capture capture;
    Response stall = Response::text(200, "ok");
    stall.stallBeforeHeaders = true;
    // Only the first post stalls, until released: the queue behind it cannot empty meanwhile.
    capture.server.route("POST", capture.path, zrvk::test::inTurn({stall, Response::text(200, "ok")}));
    PostHog::Client client(testConfig(capture.host()));
    client.initialize();
    client.track("held", {});
    ASSERT_TRUE(capture.server.waitForRequests(1, 30s));  // the sender is stuck on it
    client.track("waiting", {});
    testing::internal::CaptureStderr();
    client.flush(0);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("[PostHog] Flush timeout"), std::string::npos) << errors;
    capture.server.releaseStalls();
    client.shutdown();
}

TEST(PostHogClient, WithoutPresetIdTheMachineIdOrTheTimeFormIsUsed) {
    Capture capture;
    PostHog::Config config = testConfig(capture.host());
    config.distinctId.clear();
    PostHog::Client client(config);
    client.initialize();
    std::string id = client.getDistinctId();
    std::string machine = PostHog::MachineID::getHashedMacId();
    if (machine.empty()) {
        EXPECT_EQ(id.rfind("unknown-", 0), 0u) << id;
    } else {
        EXPECT_EQ(id, machine);
    }
    client.shutdown();
}

// Many threads queue while the client shuts down; run under ThreadSanitizer.
TEST(PostHogClientConcurrency, TrackersRacingShutdownLoseNothingQueuedBeforeIt) {
    Capture capture;
    PostHog::Client client(testConfig(capture.host()));
    client.initialize();
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&client, &go, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 25; ++i) {
                client.track("t" + std::to_string(t), {{"i", std::to_string(i)}});
                if (i % 10 == 0) client.trackException("E", "m", "c", {});
            }
        });
    }
    go.store(true);
    for (auto& thread : threads) thread.join();
    client.shutdown();
    auto docs = capture.documents();
    EXPECT_EQ(docs.size(), 4u * 25u + 4u * 3u);
    // Each thread's events arrive in its own order.
    for (int t = 0; t < 4; ++t) {
        int next = 0;
        for (const json& doc : docs) {
            if (doc["event"] == "t" + std::to_string(t)) {
                EXPECT_EQ(doc["properties"]["i"], std::to_string(next++));
            }
        }
        EXPECT_EQ(next, 25);
    }
}
