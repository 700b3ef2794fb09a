// The installation flow's fixture: the real installers run against files
// and an analytics capture served on 127.0.0.1, into the sandbox root; what
// the page, the log and the capture got is collected for the checks.
#pragma once

#include "installation.h"
#include "manifest.h"

#include "installer_analytics.h"
#include "installer_auth.h"
#include "installer_config.h"
#include "installer_download.h"
#include "posthog.h"
#include "bridge_capture.h"
#include "test_paths.h"
#include "whole_lines.h"
#include "zip_fixtures.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace zrvk_test {

inline const std::string kCompletion = "if (window.onInstallationComplete) { window.onInstallationComplete(";

inline std::string completionScript(const std::string& argument) { return kCompletion + argument + "); }"; }
inline std::string failureScript(const std::string& error) {
    return completionScript("{success: false, error: '" + error + "'}");
}
inline const std::string kSuccessScript = completionScript("{success: true}");

inline bool isCompletion(const std::string& script) { return script.rfind(kCompletion, 0) == 0; }

// What the page sees of the installation's scripts.
inline std::vector<nlohmann::json> pageCalls(const std::vector<std::string>& scripts) {
    return zrvk_test::pageCalls(scripts, {{"onInstallProgress", "progress"}, {"onInstallationComplete", "complete"}});
}

inline std::vector<nlohmann::json> progressOf(const std::vector<nlohmann::json>& calls) {
    std::vector<nlohmann::json> out;
    for (const auto& c : calls)
        if (c["cb"] == "progress") out.push_back(c["arg"]);
    return out;
}

// An engine whose server program records the arguments it was started with.
inline Entries engineEntries() {
    namespace P = InstallerConfig::Paths;
    return {{"bin/", ""},
            {"bin/python3", "engine"},
            {"bin/MORVANE Server", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + P::RENDER_ENGINE_DIR + "/launch-args.txt'\n"},
            {"lib/os.py", "os"}};
}

// Nothing to install: no render-engine URL, a server template without placeholder.
inline nlohmann::json quietManifest() {
    return {{"latest_render_engine_mac_x64_version", 3},
            {"latest_mrv_server_version_mac", "5.1"},
            {"mrv_server_mac_url", "none"},
            {"plugins", nlohmann::json::array()}};
}

class Flow : public ::testing::Test {
protected:
    zrvk_test::WholeLines wholeLines;  // the worker writes while the test reads

    struct Outcome {
        std::vector<std::string> scripts;
        std::vector<nlohmann::json> calls;     // as the page saw them
        std::vector<nlohmann::json> progress;  // the onInstallProgress arguments
        std::string out, err;
        std::vector<nlohmann::json> events;    // as the capture server received them, in order
        std::vector<std::string> eventNames;

        std::vector<std::string> completions() const {
            std::vector<std::string> out;
            for (const auto& s : scripts)
                if (isCompletion(s)) out.push_back(s);
            return out;
        }
        const nlohmann::json* event(const std::string& name) const {
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
        server->loopback().route("POST", "/i/v0/e/",
                                 zrvk::test::Response::text(200, "{\"status\":1}", "application/json"));
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
        namespace P = InstallerConfig::Paths;
        for (const std::string& d : {P::RENDER_ENGINE_DIR, P::MRV_BASE_DIR, P::MEDIACORE_DIR}) {
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
            o.events.push_back(nlohmann::json::parse(r.body));
            o.eventNames.push_back(o.events.back()["event"]);
        }
        return o;
    }

    Outcome run(const std::string& manifest, const std::vector<std::string>& ids = {}, bool force = false) {
        return observe([&] { installationThreadFunc(newContext(manifest, ids, force)); });
    }
    Outcome run(const nlohmann::json& manifest, const std::vector<std::string>& ids = {}, bool force = false) {
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
        const nlohmann::json& failure = o.events.back()["properties"];
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

    inline static FileServer* server = nullptr;
    inline static TempDir* idFolder = nullptr;
    ScriptLog log;
};

}  // namespace zrvk_test
