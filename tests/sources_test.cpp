// Source selection: the host rules, the proxies and the mirror, each tried
// in order against a loopback server whose request log is the behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "installer_download.h"
#include "installer_multipart.h"
#include "installer_sources.h"
#include "loopback_server.h"
#include "support/delivery_fixture.h"
#include "support/delivery_helpers.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"
#include "zrvk_build_config.h"

using namespace zrvk_test;
using namespace zrvk::test;

namespace {

TEST(DeliveryUrls, HostRulesAndMirror) {
    EXPECT_TRUE(isGitHubUrl("https://github.com/o/r/releases/download/v1/a.zip"));
    EXPECT_TRUE(isGitHubUrl("https://raw.githubusercontent.com/o/r/main/a.zip"));
    EXPECT_TRUE(isGitHubUrl("https://short.example/x?from=github.com"));
    EXPECT_FALSE(isGitHubUrl("https://GitHub.com/o/r/a.zip"));
    EXPECT_FALSE(isGitHubUrl("https://gitlab.com/o/r/a.zip"));
    EXPECT_TRUE(isHuggingFaceUrl("https://huggingface.co/org/m/resolve/main/a.zip"));
    EXPECT_FALSE(isHuggingFaceUrl("https://hf.co/org/m"));
    DeliveryTesting::setHuggingFaceMirrorHost("hf-mirror.com");
    EXPECT_EQ(applyHuggingFaceMirror("https://huggingface.co/org/huggingface.co/a.zip?x=huggingface.co"),
              "https://hf-mirror.com/org/huggingface.co/a.zip?x=huggingface.co");
    EXPECT_EQ(applyHuggingFaceMirror("https://example.com/a.zip"), "https://example.com/a.zip");
    EXPECT_EQ(appendPartSuffix("https://h/a.zip", ".000"), "https://h/a.zip.000");
    EXPECT_EQ(appendPartSuffix("https://h/a.zip?download=1", ".000"), "https://h/a.zip.000?download=1");
    EXPECT_EQ(appendPartSuffix("https://h/a.zip#frag?x", ".007"), "https://h/a.zip.007#frag?x");
    DeliveryTesting::reset();
}

// The hosts as the build wrote them (comma-separated), read apart from the
// program's own parsing.
std::vector<std::string> configuredProxyHosts() {
    std::vector<std::string> hosts;
    const std::string text = ZRVK_GITHUB_PROXY_HOSTS;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        hosts.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return hosts;
}

TEST(DeliveryUrls, ProductProxyListIsDirectThenConfiguredHosts) {
    DeliveryTesting::reset();
    const std::vector<std::string> hosts = configuredProxyHosts();
    ASSERT_FALSE(hosts.empty()) << "the test build configures proxy hosts";
    std::vector<std::string> expected{""};
    for (const std::string& host : hosts) expected.push_back("https://" + host + "/");
    EXPECT_EQ(GITHUB_PROXY_PREFIXES.list(), expected);
}

// ---------------------------------------------------------------------------
// downloadAndExtractZip.

const char* const kGhPath = "/github.com/zorvik/engine/releases/download/v1/engine.zip";

TEST_F(DeliveryTest, GitHubDirectSuccessReportsTheWholeScale) {
    serveZip(kGhPath, sampleZip());
    Recorder rec;
    LogCapture cap;
    ASSERT_TRUE(downloadAndExtractZip(server.url(kGhPath), dest, "Render Engine", rec.progressFn(), rec.statusFn()));
    cap.finish();
    EXPECT_EQ(requestLog(), (Log{std::string("GET ") + kGhPath}));
    EXPECT_EQ(zrvk_test::readFile(dest + "/payload.bin"), zrvk::test::patternBytes(0, 60000));
    EXPECT_TRUE(exists(dest + "/lib/f9.py"));
    EXPECT_TRUE(downloadLeftoversGone());

    ASSERT_GE(rec.status.size(), 4u);
    EXPECT_EQ(rec.status.front(), "Render Engine: Connecting...");
    EXPECT_EQ(rec.status[1].rfind("Render Engine: Downloading ", 0), 0u);
    auto extracting = std::find(rec.status.begin(), rec.status.end(), "Render Engine: Extracting...");
    ASSERT_NE(extracting, rec.status.end());
    EXPECT_EQ(*(extracting + 1), "Extracting 10/10 files");
    EXPECT_EQ(rec.status.back(), "Render Engine: Complete");

    ASSERT_FALSE(rec.progress.empty());
    uint64_t last = 0;
    bool sawExtraction = false;
    for (auto [v, total] : rec.progress) {
        EXPECT_EQ(total, 1000u);
        EXPECT_GE(v, last);
        if (v > 700) sawExtraction = true;
        if (!sawExtraction) {
            EXPECT_LE(v, 700u);
        }
        last = v;
    }
    EXPECT_EQ(rec.progress.back().first, 1000u);
}

TEST_F(DeliveryTest, GitHubFallsBackThroughBothProxiesInOrder) {
    const std::string url = server.url(kGhPath);
    server.route("GET", kGhPath, Response::text(404, "gone"));
    server.route("GET", "/proxy1/" + url, Response::text(503, "busy"));
    serveZip("/proxy2/" + url, sampleZip());
    LogCapture cap;
    ASSERT_TRUE(downloadAndExtractZip(url, dest, "Render Engine", nullptr, nullptr));
    auto logs = cap.finish();
    // The proxies get the whole URL behind their prefix, verbatim.
    EXPECT_EQ(requestLog(), (Log{std::string("GET ") + kGhPath, "GET /proxy1/" + url, "GET /proxy2/" + url}));
    Log attempts;
    for (const std::string& l : zrvk_test::lines(logs.out))
        if (l.rfind("[download] Trying", 0) == 0 || l.rfind("[download] Failed", 0) == 0 ||
            l.rfind("[download] Success", 0) == 0)
            attempts.push_back(l);
    EXPECT_EQ(attempts, (Log{"[download] Trying direct connection...", "[download] Failed, trying next mirror...",
                             "[download] Trying proxy: " + server.url("/proxy1/"),
                             "[download] Failed, trying next mirror...",
                             "[download] Trying proxy: " + server.url("/proxy2/"),
                             "[download] Success via proxy: " + server.url("/proxy2/")}));
}

TEST_F(DeliveryTest, AnErrorPageAnsweredWithOkMovesOnToTheNextSource) {
    const std::string url = server.url(kGhPath);
    server.route("GET", kGhPath, Response::text(200, "<!DOCTYPE html><html>rate limited</html>", "text/html"));
    serveZip("/proxy1/" + url, sampleZip());
    LogCapture cap;
    ASSERT_TRUE(downloadAndExtractZip(url, dest, "", nullptr, nullptr));
    EXPECT_TRUE(contains(cap.finish().err, "[download] Not a ZIP archive: " + url));
    EXPECT_EQ(requestLog(), (Log{std::string("GET ") + kGhPath, "GET /proxy1/" + url}));
}

TEST_F(DeliveryTest, GitHubAllSourcesFailing) {
    const std::string url = server.url(kGhPath);
    LogCapture cap;
    EXPECT_FALSE(downloadAndExtractZip(url, dest, "Render Engine", nullptr, nullptr));
    EXPECT_TRUE(contains(cap.finish().err, "[downloadAndExtractZip] All download attempts failed"));
    EXPECT_EQ(requestLog(), (Log{std::string("GET ") + kGhPath, "GET /proxy1/" + url, "GET /proxy2/" + url}));
    EXPECT_TRUE(downloadLeftoversGone());
    EXPECT_FALSE(exists(dest));
}

TEST_F(DeliveryTest, HuggingFaceFallsBackToTheMirrorOnce) {
    const std::string path = "/huggingface.co/org/huggingface.co/resolve/main/m.zip";
    serveZip("/hf-mirror.com/org/huggingface.co/resolve/main/m.zip", sampleZip());
    LogCapture cap;
    ASSERT_TRUE(downloadAndExtractZip(server.url(path), dest, "", nullptr, nullptr));
    auto logs = cap.finish();
    EXPECT_EQ(requestLog(), (Log{"GET " + path, "GET /hf-mirror.com/org/huggingface.co/resolve/main/m.zip"}));
    EXPECT_TRUE(contains(logs.out, "[download] Trying direct HuggingFace connection...\n"));
    EXPECT_TRUE(contains(logs.out, "[download] Trying HuggingFace mirror: hf-mirror.com\n"));
    EXPECT_TRUE(contains(logs.out, "[download] Success via HuggingFace mirror\n"));

    server.clearRequests();
    LogCapture cap2;
    EXPECT_FALSE(downloadAndExtractZip(server.url("/huggingface.co/none.zip"), dest, "", nullptr, nullptr));
    EXPECT_TRUE(contains(cap2.finish().err, "[downloadAndExtractZip] All HuggingFace download attempts failed"));
    EXPECT_EQ(requestLog(), (Log{"GET /huggingface.co/none.zip", "GET /hf-mirror.com/none.zip"}));
}

TEST_F(DeliveryTest, ShortLinkToHuggingFaceTriesTheLinkThenTheMirroredTarget) {
    server.route("*", "/s/hf", Response::redirect(302, "/huggingface.co/org/m.zip"));
    server.route("GET", "/huggingface.co/org/m.zip", Response::text(500, "down"));
    serveZip("/hf-mirror.com/org/m.zip", sampleZip());
    LogCapture cap;
    ASSERT_TRUE(downloadAndExtractZip(server.url("/s/hf"), dest, "", nullptr, nullptr));
    auto logs = cap.finish();
    EXPECT_EQ(requestLog(),
              (Log{"HEAD /s/hf", "GET /s/hf", "GET /huggingface.co/org/m.zip", "GET /hf-mirror.com/org/m.zip"}));
    EXPECT_TRUE(contains(logs.out, "[download] Detected HuggingFace redirect, trying direct first..."));
    EXPECT_TRUE(contains(logs.out, "[download] Trying HuggingFace mirror: " + server.url("/hf-mirror.com/org/m.zip")));
}

TEST_F(DeliveryTest, ShortLinkToGitHubTriesTheLinkThenTheProxiedTarget) {
    const std::string target = server.url("/github.com/o/r/a.zip");
    server.route("*", "/s/gh", Response::redirect(302, "/github.com/o/r/a.zip"));
    server.route("GET", "/github.com/o/r/a.zip", Response::text(500, "down"));
    serveZip("/proxy2/" + target, sampleZip());
    Recorder rec;
    LogCapture cap;
    ASSERT_TRUE(downloadAndExtractZip(server.url("/s/gh"), dest, "MRV Server", nullptr, rec.statusFn()));
    auto logs = cap.finish();
    EXPECT_EQ(requestLog(), (Log{"HEAD /s/gh", "GET /s/gh", "GET /github.com/o/r/a.zip", "GET /proxy1/" + target,
                                 "GET /proxy2/" + target}));
    EXPECT_TRUE(contains(logs.out, "[download] Detected GitHub redirect\n"));
    EXPECT_TRUE(contains(logs.out, "[download] Trying GitHub proxy: " + server.url("/proxy1/")));
    EXPECT_TRUE(contains(logs.out, "[download] Success via GitHub proxy\n"));
    EXPECT_EQ(rec.status.front(), "MRV Server: Connecting...");
    EXPECT_EQ(std::count(rec.status.begin(), rec.status.end(), "MRV Server: Trying mirror..."), 2);
}

// A short link's target is a server's text, and so is every address built
// on it: the proxied and mirrored attempts are logged with control bytes
// escaped and a backslash doubled.
TEST_F(DeliveryTest, AddressesBuiltOnARedirectAreLoggedEscaped) {
    const std::string gitHub = server.url("/github.com/o/r/a\\b.zip");
    server.route("*", "/s/gh", Response::redirect(302, "/github.com/o/r/a\\b.zip"));
    server.route("GET", "/github.com/o/r/a\\b.zip", Response::text(500, "down"));
    server.route("GET", "/proxy1/" + gitHub, Response::text(200, "<html>busy</html>", "text/html"));
    serveZip("/proxy2/" + gitHub, sampleZip());
    server.route("*", "/s/hf", Response::redirect(302, "/huggingface.co/o/\\m.zip"));
    server.route("GET", "/huggingface.co/o/\\m.zip", Response::text(500, "down"));
    serveZip("/hf-mirror.com/o/\\m.zip", sampleZip());
    LogCapture cap;
    EXPECT_TRUE(downloadAndExtractZip(server.url("/s/gh"), dest, "", nullptr, nullptr));
    EXPECT_TRUE(downloadAndExtractZip(server.url("/s/hf"), tmp / "dest2", "", nullptr, nullptr));
    const auto logs = cap.finish();
    EXPECT_TRUE(contains(logs.out, "[download] First redirect: " + server.url("/github.com/o/r/a\\\\b.zip") + "\n"));
    EXPECT_TRUE(contains(logs.err, "[download] Not a ZIP archive: " + server.url("/proxy1/") +
                                       server.url("/github.com/o/r/a\\\\b.zip") + "\n"))
        << logs.err;
    EXPECT_TRUE(contains(logs.out, "[download] Trying HuggingFace mirror: " + server.url("/hf-mirror.com/o/\\\\m.zip") +
                                       "\n"))
        << logs.out;
    EXPECT_FALSE(hasControlBytes(logs.out + logs.err));
    EXPECT_TRUE(exists(tmp / "dest2/payload.bin"));
}

TEST_F(DeliveryTest, OtherUrlIsFetchedExactlyOnce) {
    LogCapture cap;
    EXPECT_FALSE(downloadAndExtractZip(server.url("/plain/a.zip"), dest, "", nullptr, nullptr));
    cap.finish();
    EXPECT_EQ(requestLog(), (Log{"HEAD /plain/a.zip", "GET /plain/a.zip"}));
}

TEST_F(DeliveryTest, ProgressStartsAgainWithTheNextSource) {
    const std::string url = server.url(kGhPath);
    const std::string bytes = sampleZip(2 * 1024 * 1024);
    Response dropped = Response::text(200, bytes, "application/zip");
    dropped.dropAfterBytes = bytes.size() * 6 / 10;
    server.route("GET", kGhPath, dropped);
    // The proxy holds its body back a moment, so the new attempt reports from 0.
    Response slow = Response::text(200, bytes, "application/zip");
    slow.stallAfterBytes = 0;
    slow.stallFor = std::chrono::milliseconds(1300);
    server.route("GET", "/proxy1/" + url, slow);
    DeliveryTesting::setStallSeconds(5);
    Recorder rec;
    LogCapture cap;
    ASSERT_TRUE(downloadAndExtractZip(url, dest, "", rec.progressFn(), nullptr));
    cap.finish();
    uint64_t peak = 0;
    bool fellBack = false;
    std::string seen;
    for (auto [v, total] : rec.progress) {
        // The dropped attempt never passes 60 % of 700; the next begins at 0.
        if (!fellBack && peak > 0 && peak <= 420 && v == 0) fellBack = true;
        peak = std::max(peak, v);
        seen += std::to_string(v) + " ";
    }
    EXPECT_TRUE(fellBack) << seen;
    EXPECT_EQ(rec.progress.back().first, 1000u);
}

TEST_F(DeliveryTest, EmptyLabelAndEmptyCallbacks) {
    serveZip(kGhPath, sampleZip());
    Recorder rec;
    LogCapture cap;
    ASSERT_TRUE(downloadAndExtractZip(server.url(kGhPath), dest, "", nullptr, rec.statusFn()));
    ASSERT_TRUE(downloadAndExtractZip(server.url(kGhPath), tmp / "dest2", "", nullptr, nullptr));
    cap.finish();
    EXPECT_EQ(rec.status.front(), "Connecting...");
    EXPECT_NE(std::find(rec.status.begin(), rec.status.end(), "Extracting..."), rec.status.end());
    EXPECT_EQ(rec.status.back(), "Complete");
    EXPECT_TRUE(exists(tmp / "dest2/payload.bin"));
}

TEST_F(DeliveryTest, FailedExtractionRemovesTheArchive) {
    const std::string marker = "CORRUPT-" + std::string(300, 'c');
    std::string path = tmp / "bad.zip";
    ASSERT_EQ(zrvk_test::buildZip(path, {ZipEntry::file("bad.bin", marker, true)}), "");
    ASSERT_TRUE(zrvk_test::corruptMarker(path, marker));
    serveZip(kGhPath, zrvk_test::readFile(path));
    Recorder rec;
    LogCapture cap;
    EXPECT_FALSE(downloadAndExtractZip(server.url(kGhPath), dest, "X", nullptr, rec.statusFn()));
    cap.finish();
    EXPECT_TRUE(downloadLeftoversGone());
    EXPECT_EQ(requestLog().size(), 1u);
    EXPECT_NE(rec.status.back(), "X: Complete");
}

}  // namespace
