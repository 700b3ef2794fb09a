// The fixture of the component installers' tests: archives built here with
// libzip and served on 127.0.0.1, installed into the sandbox root in the
// administrator session the installation flow would hold.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "installer_auth.h"
#include "installer_config.h"
#include "installer_download.h"
#include "zip_fixtures.h"

namespace zrvk_test {

inline void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

struct Recorder {
    std::vector<std::string> statuses;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    ProgressFn progressFn() {
        return [this](uint64_t d, uint64_t t) { progress.emplace_back(d, t); };
    }
    StatusFn statusFn() {
        return [this](const std::string& s) { statuses.push_back(s); };
    }
    bool saw(const std::string& s) const {
        for (const auto& x : statuses)
            if (x == s) return true;
        return false;
    }
    bool sawContaining(const std::string& s) const {
        for (const auto& x : statuses)
            if (x.find(s) != std::string::npos) return true;
        return false;
    }
};

class ComponentsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new FileServer; }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(server->ok()) << server->error();
        ASSERT_FALSE(InstallerConfig::ROOT_PREFIX.empty());
        server->clear();
        AuthTesting::reset();
        std::string error;
        ASSERT_TRUE(acquireAuthorizationSession(&error)) << error;  // the flow holds one
        wipe();
    }
    void TearDown() override {
        AuthTesting::reset();
        wipe();
    }
    void wipe() {
        using namespace InstallerConfig::Paths;
        for (const std::string& d : {RENDER_ENGINE_DIR, MRV_BASE_DIR, PLUGINS_DIR}) run("rm -rf \"" + d + "\"");
    }

    // Serves an archive and returns its URL.
    std::string archive(const std::string& path, const Entries& entries) {
        return server->serveZip(path, entries);
    }

    inline static FileServer* server = nullptr;
};

inline std::string manifestWith(const std::string& plugins) {
    return "{\"version\":\"1\",\"plugins\":[" + plugins + "]}";
}

inline std::string entry(const std::string& id, const std::string& adobe, const std::string& mrv, const std::string& extra,
                  const std::string& legacy = "") {
    nlohmann::json e = {{"id", id}, {"name", id + " name"}};
    if (!adobe.empty()) e["adobe_plugin_mac_url"] = adobe;
    if (!mrv.empty()) e["mrv_plugin_mac_url"] = mrv;
    if (!extra.empty()) e["additional_files_url"] = extra;
    if (!legacy.empty()) e["legacy_name"] = legacy;
    return e.dump();
}

}  // namespace zrvk_test
