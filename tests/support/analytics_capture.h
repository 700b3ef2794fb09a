// A capture server on loopback and the seams' reset, for the tests of the
// analytics client and of the installer's events.
#pragma once

#include "posthog.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/utsname.h>

#include <cstddef>
#include <string>
#include <vector>

namespace zrvk_test {

// The "$os" text that the client sends from this machine.
inline std::string platformText() {
    struct utsname names;
    uname(&names);
    return std::string("Linux ") + names.machine + " " + names.release;
}

inline size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// A capture server that answers every POST to the capture path.
class Capture {
public:
    explicit Capture(const std::string& prefix = "") : path(prefix + "/i/v0/e/") {
        server.route("POST", path,
                     zrvk::test::Response::text(200, "{\"status\":\"REPLY-BODY-MARKER\"}", "application/json"));
        std::string error;
        started = server.start(error);
        EXPECT_TRUE(started) << error;
    }
    std::string host(const std::string& prefix = "") const { return server.baseUrl() + prefix; }
    std::vector<zrvk::test::Request> posts() const {
        std::vector<zrvk::test::Request> out;
        for (const zrvk::test::Request& r : server.requests()) {
            if (r.method == "POST" && r.target == path) out.push_back(r);
        }
        return out;
    }
    std::vector<nlohmann::json> documents() const {
        std::vector<nlohmann::json> out;
        for (const zrvk::test::Request& r : posts()) out.push_back(nlohmann::json::parse(r.body));
        return out;
    }

    zrvk::test::LoopbackServer server;
    std::string path;
    bool started = false;
};

struct SeamReset {
    ~SeamReset() {
        PostHog::Testing::setHostOverride("");
        PostHog::Testing::setRequestTimeoutMs(0);
        PostHog::Testing::setIdFilePathOverride("");
    }
};

}  // namespace zrvk_test
