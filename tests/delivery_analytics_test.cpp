// Failed archive downloads reach analytics once, with the reason of their
// URL class and HTTP code 0; a failed extraction reports nothing.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "installer_analytics.h"
#include "installer_download.h"
#include "loopback_server.h"
#include "posthog.h"
#include "support/delivery_helpers.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;

namespace {

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
    return n;
}

TEST(DeliveryAnalytics, EachUrlClassReportsItsReasonOnce) {
    LoopbackServer server;
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    std::mutex mutex;
    std::string posted;
    server.route("POST", "/i/v0/e/", [&](const Request& r) {
        std::lock_guard<std::mutex> lock(mutex);
        posted += r.body + "\n";
        return Response::text(200, "{\"status\":1}", "application/json");
    });
    server.route("*", "/s/hf", Response::redirect(302, "/huggingface.co/org/m.zip"));
    server.route("*", "/s/gh", Response::redirect(302, "/github.com/o/r/a.zip"));

    zrvk_test::TempDir tmp;
    const std::string marker = "BROKEN-" + std::string(300, 'b');
    ASSERT_EQ(zrvk_test::buildZip(tmp / "bad.zip", {zrvk_test::ZipEntry::file("bad.bin", marker, true)}), "");
    ASSERT_TRUE(zrvk_test::corruptMarker(tmp / "bad.zip", marker));
    server.route("GET", "/github.com/o/r/broken.zip", Response::text(200, zrvk_test::readFile(tmp / "bad.zip")));

    PostHog::Testing::setHostOverride(server.baseUrl());
    PostHog::Testing::setIdFilePathOverride(tmp / "id.txt");
    DeliveryTesting::setTempDirectory(tmp / "work");
    DeliveryTesting::setGitHubProxyPrefixes({"", server.url("/proxy1/"), server.url("/proxy2/")});
    DeliveryTesting::setHuggingFaceMirrorHost("hf-mirror.com");
    ASSERT_TRUE(InstallerAnalytics::initialize());

    const std::pair<std::string, std::string> cases[] = {
        {"/github.com/o/r/none.zip", "All mirrors failed"},
        {"/huggingface.co/org/none.zip", "All HuggingFace mirrors failed"},
        {"/s/hf", "HuggingFace redirect failed"},
        {"/s/gh", "GitHub redirect failed"},
        {"/plain/none.zip", "Download failed"},
    };
    {
        zrvk_test::LogCapture cap;
        for (const auto& [target, reason] : cases)
            EXPECT_FALSE(downloadAndExtractZip(server.url(target), tmp / "dest", "", nullptr, nullptr)) << target;
        EXPECT_FALSE(downloadAndExtractZip(server.url("/github.com/o/r/broken.zip"), tmp / "dest", "", nullptr, nullptr));
        // A disk without room for the first answer: no other source is asked.
        server.route("GET", "/github.com/o/r/huge.zip", Response::pattern(4 << 20));
        DeliveryTesting::setFreeSpace(1 << 20);
        EXPECT_FALSE(downloadAndExtractZip(server.url("/github.com/o/r/huge.zip"), tmp / "dest", "", nullptr, nullptr));
        DeliveryTesting::setFreeSpace(-1);
        InstallerAnalytics::shutdown();
    }
    PostHog::Testing::setHostOverride("");
    PostHog::Testing::setIdFilePathOverride("");
    DeliveryTesting::reset();

    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(count(posted, "\"download_error\""), 6u) << posted;
    for (const auto& [target, reason] : cases) {
        EXPECT_EQ(count(posted, "\"" + reason + "\""), 1u) << reason;
    }
    EXPECT_EQ(count(posted, "\"Not enough disk space\""), 1u) << posted;
    EXPECT_EQ(count(posted, "\"http_code\":\"0\""), 6u) << posted;
    EXPECT_EQ(count(posted, "broken.zip"), 0u);
}

}  // namespace
