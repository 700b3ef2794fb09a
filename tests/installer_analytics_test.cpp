// The installer's event vocabulary on top of the analytics client, against
// a capture server on loopback.
#include "installer_analytics.h"
#include "installer_config.h"
#include "installer_logging.h"
#include "posthog.h"
#include "support/analytics_capture.h"
#include "support/death_test.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using nlohmann::json;
// The capture server, the seams' reset and the temporary folders.
using namespace zrvk_test;

namespace {

// A death test's child posts to its parent's capture server and reads the parent's id file.
class InstallerEvents : public ::testing::Test {
protected:
    void SetUp() override {
        PostHog::Testing::setHostOverride(zrvk_test::parentValue("CAPTURE_HOST", capture.host("/analytics")));
        PostHog::Testing::setIdFilePathOverride(dir / "id.txt");
        writeFile(dir / "id.txt", "fixture-machine-id\n");
    }
    void TearDown() override { InstallerAnalytics::shutdown(); }

    std::vector<json> sent() {
        InstallerAnalytics::shutdown();
        return capture.documents();
    }

    SeamReset reset;
    Capture capture{"/analytics"};
    zrvk_test::SharedTempDir dir;
};

}  // namespace

TEST_F(InstallerEvents, InitializeUsesTheCompiledInSettingsAndTheIdFile) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(InstallerAnalytics::initialize());
    EXPECT_TRUE(InstallerAnalytics::initialize());
    std::string out = testing::internal::GetCapturedStdout();
    const std::string& key = InstallerConfig::ANALYTICS_API_KEY;
    EXPECT_EQ(count(out, "[ANALYTICS] Initializing PostHog analytics..."), 1u);
    EXPECT_NE(out.find("[ANALYTICS] API key: " + key.substr(0, 8) + "..." + key.substr(key.size() - 4)),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[ANALYTICS] Initialized successfully, distinct_id: fixture-..."), std::string::npos) << out;
    EXPECT_TRUE(InstallerAnalytics::isEnabled());
    EXPECT_EQ(InstallerAnalytics::getDistinctId(), "fixture-machine-id");

    InstallerAnalytics::trackManifestError("network", "Failed to fetch manifest from server");
    auto docs = sent();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0]["api_key"], key);
    EXPECT_EQ(docs[0]["distinct_id"], "fixture-machine-id");
    EXPECT_EQ(docs[0]["event"], "manifest_load_error");
    EXPECT_EQ(docs[0]["properties"],
              json({{"$lib", "zrvk-installer"},
                    {"$lib_version", "3.5.3"},
                    {"$os", platformText()},
                    {"posthog_cpp_version", "1.5.0"},
                    {"error_type", "network"},
                    {"error_message", "Failed to fetch manifest from server"}}));
    EXPECT_EQ(InstallerAnalytics::getDistinctId(), "");
    EXPECT_FALSE(InstallerAnalytics::isEnabled());
}

TEST_F(InstallerEvents, EveryTrackingFunctionSendsItsNameAndProperties) {
    ASSERT_TRUE(InstallerAnalytics::initialize());
    std::vector<std::string> twelve;
    for (int i = 1; i <= 12; ++i) twelve.push_back("p" + std::to_string(i));
    InstallerAnalytics::trackInstallationStarted(twelve);
    InstallerAnalytics::trackInstallationStarted({});
    InstallerAnalytics::trackInstallationStarted({"", "b"});
    InstallerAnalytics::trackInstallationCompleted(59.9, 3);
    InstallerAnalytics::trackInstallationCompleted(-2.7, 0);
    InstallerAnalytics::trackInstallationDiagnostics(
        2, {{"Text Tool 2.0-beta", "2.0"}, {"A.B", "1"}, {"A-B", "2"}, {"count", "x"}});
    InstallerAnalytics::trackDownloadError("https://host.example:8443/path/file.zip", 0, std::string(300, 'e'));
    InstallerAnalytics::trackDownloadError("no-scheme/path", 0, "r");
    InstallerAnalytics::trackDownloadError("https://host-only", 0, "r");
    InstallerAnalytics::trackDownloadError("https:///path", 404, "r");
    InstallerAnalytics::trackAuthorizationError(-1, std::string(250, 'a'));
    InstallerAnalytics::trackManifestError("network", std::string(600, 'm'));
    InstallerAnalytics::trackComponentError("RenderEngine", "copy_failed", std::string(700, 'c'));
    InstallerAnalytics::track(static_cast<InstallerAnalytics::EventType>(42), {{"k", "v"}});
    auto docs = sent();

    using Props = std::map<std::string, std::string>;
    struct Expected {
        std::string event;
        Props props;
        std::vector<std::string> absent;
    };
    const std::vector<Expected> expected = {
        {"installation_started", {{"plugin_count", "12"}, {"plugins", "p1,p2,p3,p4,p5,p6,p7,p8,p9,p10"}}, {}},
        {"installation_started", {{"plugin_count", "0"}, {"plugins", ""}}, {}},
        {"installation_started", {{"plugin_count", "2"}, {"plugins", "b"}}, {}},
        {"installation_completed", {{"duration_seconds", "59"}, {"plugin_count", "3"}}, {}},
        {"installation_completed", {{"duration_seconds", "-2"}, {"plugin_count", "0"}}, {}},
        {"installation_diagnostics",
         {{"plugin_Text_Tool_2_0_beta", "2.0"}, {"plugin_A_B", "2"}, {"plugin_count", "x"}},
         {}},
        {"download_error",
         {{"domain", "host.example:8443"}, {"http_code", "0"}, {"curl_error", std::string(200, 'e')}},
         {}},
        {"download_error", {{"http_code", "0"}, {"curl_error", "r"}}, {"domain"}},
        {"download_error", {{"http_code", "0"}, {"curl_error", "r"}}, {"domain"}},
        {"download_error", {{"domain", ""}, {"http_code", "404"}, {"curl_error", "r"}}, {}},
        {"authorization_error", {{"error_code", "-1"}, {"error_message", std::string(200, 'a')}}, {}},
        {"manifest_load_error", {{"error_type", "network"}, {"error_message", std::string(500, 'm')}}, {}},
        {"component_error",
         {{"component", "RenderEngine"}, {"error_type", "copy_failed"}, {"error_message", std::string(700, 'c')}},
         {}},
        {"unknown_event", {{"k", "v"}}, {}},
    };
    ASSERT_EQ(docs.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const json& doc = docs[i];
        EXPECT_EQ(doc["event"], expected[i].event) << i;
        json props = {{"$lib", "zrvk-installer"},
                      {"$lib_version", "3.5.3"},
                      {"$os", platformText()},
                      {"posthog_cpp_version", "1.5.0"}};
        for (const auto& pair : expected[i].props) props[pair.first] = pair.second;
        EXPECT_EQ(doc["properties"], props) << i << ": " << doc.dump();
        for (const auto& key : expected[i].absent) EXPECT_FALSE(doc["properties"].contains(key)) << i;
    }
}

TEST_F(InstallerEvents, CutsInsideACharacterStillSend) {
    ASSERT_TRUE(InstallerAnalytics::initialize());
    std::string message = "x";
    for (int i = 0; i < 150; ++i) message += "\xe2\x82\xac";  // 3-byte characters; 200 cuts one
    InstallerAnalytics::trackAuthorizationError(-1, message);
    InstallerAnalytics::trackManifestError("network", "ok");
    auto docs = sent();
    ASSERT_EQ(docs.size(), 2u);
    const std::string text = docs[0]["properties"]["error_message"];
    EXPECT_EQ(text.substr(text.size() - 3), "\xef\xbf\xbd");
    EXPECT_EQ(docs[1]["event"], "manifest_load_error");
}

TEST_F(InstallerEvents, InstallationFailureIsAnExceptionUnlessItIsAUserError) {
    ASSERT_TRUE(InstallerAnalytics::initialize());
    testing::internal::CaptureStdout();
    InstallerAnalytics::trackInstallationFailed("Authorization", "Access denied by the user", "authorization");
    InstallerAnalytics::trackInstallationFailed("Authorization", "Administrator rights refused", "authorization");
    InstallerAnalytics::trackInstallationFailed("RenderEngine", "access denied while copying", "render_engine");
    InstallerAnalytics::trackInstallationFailed("", "no component", "plugins");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[ANALYTICS] Skipping user error (not a bug): Access denied by the user"), std::string::npos);
    EXPECT_NE(out.find("[ANALYTICS] Skipping user error (not a bug): Administrator rights refused"),
              std::string::npos);
    EXPECT_EQ(count(out, "[ANALYTICS] Queued exception: InstallationError"), 2u) << out;
    auto docs = sent();
    ASSERT_EQ(docs.size(), 2u);
    const json& props = docs[0]["properties"];
    EXPECT_EQ(docs[0]["event"], "$exception");
    EXPECT_EQ(props["component"], "RenderEngine");
    EXPECT_EQ(props["phase"], "render_engine");
    EXPECT_FALSE(props.contains("recent_logs")) << "the log is not open: no lines";
    EXPECT_EQ(props["$exception_list"][0]["type"], "InstallationError");
    EXPECT_EQ(props["$exception_list"][0]["value"], "access denied while copying");
    EXPECT_FALSE(docs[1]["properties"].contains("component"));
}

TEST_F(InstallerEvents, NothingIsQueuedBeforeInitializeOrAfterShutdown) {
    auto everything = [] {
        InstallerAnalytics::trackInstallationStarted({"a"});
        InstallerAnalytics::trackInstallationCompleted(1, 1);
        InstallerAnalytics::trackInstallationFailed("c", "e", "p");
        InstallerAnalytics::trackInstallationDiagnostics(0, {});
        InstallerAnalytics::trackDownloadError("https://h/x", 0, "r");
        InstallerAnalytics::trackAuthorizationError(-1, "m");
        InstallerAnalytics::trackManifestError("network", "m");
        InstallerAnalytics::trackComponentError("c", "t", "m");
        InstallerAnalytics::flush(100);
    };
    testing::internal::CaptureStdout();
    everything();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[ANALYTICS] Queued diagnostics for 0 plugins\n");
    testing::internal::CaptureStderr();
    InstallerAnalytics::installCrashHandler("");
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "[ANALYTICS] Cannot install crash handler - not initialized"),
              std::string::npos);
    testing::internal::CaptureStdout();
    InstallerAnalytics::setEnabled(true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ANALYTICS] Analytics enabled\n");

    ASSERT_TRUE(InstallerAnalytics::initialize());
    InstallerAnalytics::setEnabled(false);
    everything();
    InstallerAnalytics::setEnabled(true);
    InstallerAnalytics::shutdown();
    everything();
    EXPECT_TRUE(capture.documents().empty());
}

TEST_F(InstallerEvents, ShutdownLogsAndAnotherInitializeBuildsANewClient) {
    ASSERT_TRUE(InstallerAnalytics::initialize());
    testing::internal::CaptureStdout();
    InstallerAnalytics::shutdown();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[ANALYTICS] Shutting down..."), std::string::npos);
    EXPECT_NE(out.find("[PostHog] Shutdown complete"), std::string::npos);
    EXPECT_NE(out.find("[ANALYTICS] Shutdown complete"), std::string::npos);
    EXPECT_EQ(InstallerAnalytics::g_client, nullptr);
    ASSERT_TRUE(InstallerAnalytics::initialize());
    InstallerAnalytics::trackManifestError("network", "again");
    EXPECT_EQ(sent().size(), 1u);
}

// Detached workers keep tracking while shutdown releases the client; run
// under ThreadSanitizer.
TEST_F(InstallerEvents, ConcurrencyWorkersTrackingDuringShutdown) {
    ASSERT_TRUE(InstallerAnalytics::initialize());
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            while (!stop.load()) {
                InstallerAnalytics::trackManifestError("network", "racing");
                InstallerAnalytics::trackInstallationFailed("c", "racing", "plugins");
                InstallerAnalytics::isEnabled();
                ++calls;
            }
        });
    }
    while (calls.load() < 30) std::this_thread::yield();
    InstallerAnalytics::shutdown();
    int afterShutdown = calls.load();
    while (calls.load() < afterShutdown + 30) std::this_thread::yield();
    stop.store(true);
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(InstallerAnalytics::g_client, nullptr);
    size_t posted = capture.posts().size();
    EXPECT_GE(posted, 30u);
    EXPECT_EQ(capture.posts().size(), posted) << "nothing is sent after shutdown";
}

// The process ends without shutdown: the client is released at exit, after
// the worker still tracking has left it, and what was queued is posted.
TEST_F(InstallerEvents, ExitWithoutShutdownStillPostsAndSurvivesAWorker) {
    EXPECT_EXIT(
        {
            if (!InstallerAnalytics::initialize()) std::_Exit(3);
            InstallerAnalytics::trackManifestError("network", "at exit");
            static std::atomic<bool> tracking{false};
            std::thread([] {
                for (;;) {
                    InstallerAnalytics::trackComponentError("c", "t", "worker at exit");
                    tracking = true;
                    std::this_thread::sleep_for(2ms);
                }
            }).detach();
            if (!zrvk_test::waitUntil([] { return tracking.load(); })) std::_Exit(5);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    bool found = false;
    for (const json& doc : capture.documents()) {
        if (doc["event"] == "manifest_load_error") found = true;
    }
    EXPECT_TRUE(found);
}

// The failure report carries the log's last lines; the logger writes into
// the sandbox, so this one runs in a child process under the sandbox lock.
TEST_F(InstallerEvents, SandboxFailureReportCarriesTheLastLogLines) {
    EXPECT_EXIT(
        {
            if (!InstallerLogging::FileLogger::getInstance().initialize()) std::_Exit(3);
            for (int i = 1; i <= 60; ++i) std::cout << "[TEST] line " << i << std::endl;
            if (!InstallerAnalytics::initialize()) std::_Exit(4);
            InstallerAnalytics::trackInstallationFailed("Plugins", "copy failed", "plugins");
            InstallerAnalytics::shutdown();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    auto docs = capture.documents();
    ASSERT_EQ(docs.size(), 1u);
    const std::string logs = docs[0]["properties"]["recent_logs"];
    size_t lines = count(logs, "\n") + 1;
    EXPECT_EQ(lines, 50u) << logs;
    EXPECT_NE(logs.find("[TEST] line 60"), std::string::npos);
    EXPECT_EQ(logs.find("[TEST] line 1\n"), std::string::npos);
}
