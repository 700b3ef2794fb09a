// HTTP transfers, source selection with proxies and mirrors, and multi-part
// archives, against a loopback server whose request log is the behaviour.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "installer_download.h"
#include "installer_download_internal.h"
#include "loopback_server.h"
#include "support/delivery_helpers.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;
using zrvk_test::LogCapture;
using zrvk_test::Recorder;
using zrvk_test::ZipEntry;

namespace {

using Log = std::vector<std::string>;

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ".000", ".001", ...
std::string partSuffix(size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, ".%03zu", i);
    return buf;
}

class DeliveryTest : public ::testing::Test {
protected:
    LoopbackServer server;
    zrvk_test::TempDir tmp;
    std::string dest = tmp / "dest";
    std::string work = tmp / "work";

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        DeliveryTesting::setTempDirectory(work);
        DeliveryTesting::setGitHubProxyPrefixes({"", server.url("/proxy1/"), server.url("/proxy2/")});
        DeliveryTesting::setHuggingFaceMirrorHost("hf-mirror.com");
        DeliveryTesting::setStallSeconds(1);
        DeliveryTesting::setProbeTimeouts(2, 3, 3);
    }
    void TearDown() override { DeliveryTesting::reset(); }

    // "METHOD target" of every request, in arrival order.
    Log requestLog() {
        Log out;
        for (const Request& r : server.requests()) out.push_back(r.method + " " + r.target);
        return out;
    }

    std::string zipBytes(const std::vector<ZipEntry>& entries) {
        std::string path = tmp / "fixture.zip";
        EXPECT_EQ(zrvk_test::buildZip(path, entries), "");
        std::string bytes = zrvk_test::readFile(path);
        std::remove(path.c_str());
        return bytes;
    }

    // An archive of ten files, one of them large enough for progress reports.
    std::string sampleZip(size_t bigSize = 60000) {
        std::vector<ZipEntry> entries;
        entries.push_back(ZipEntry::file("payload.bin", zrvk::test::patternBytes(0, bigSize), true));
        for (int i = 1; i < 10; ++i) entries.push_back(ZipEntry::file("lib/f" + std::to_string(i) + ".py", "x"));
        return zipBytes(entries);
    }

    void serveZip(const std::string& target, const std::string& bytes) {
        server.route("GET", target, Response::text(200, bytes, "application/zip"));
    }

    bool downloadLeftoversGone() { return !exists(getRunTempDirectory() + "/zorvik_installer_download.zip"); }
};

// ---------------------------------------------------------------------------
// Callbacks.

TEST(DeliveryCallbacks, ProgressCallbackThinsLogsButNotStatus) {
    DownloadContext ctx;
    ctx.label = "MRV Server";
    Recorder rec;
    ctx.progress = rec.progressFn();
    ctx.status = rec.statusFn();
    const curl_off_t total = 10 * 1048576;
    LogCapture cap;
    progressCallback(&ctx, 10240, 5000, 0, 0);  // too small to count
    progressCallback(&ctx, 0, 5000, 0, 0);      // unknown length
    progressCallback(&ctx, total, 1572864, 0, 0);
    progressCallback(&ctx, total, total * 24 / 100, 0, 0);
    progressCallback(&ctx, total, total * 25 / 100, 0, 0);
    progressCallback(&ctx, total, total, 0, 0);
    auto logs = cap.finish();
    EXPECT_EQ(zrvk_test::linesStartingWith(logs.out, "[download]"),
              (Log{"[download] MRV Server: 15% (1.5/10.0 MB)", "[download] MRV Server: 25% (2.5/10.0 MB)",
                   "[download] MRV Server: 100% (10.0/10.0 MB)"}));
    ASSERT_EQ(rec.status.size(), 4u);
    EXPECT_EQ(rec.status[0], "MRV Server: Downloading 1.5 / 10.0 MB");
    EXPECT_EQ(rec.progress.front(), (std::pair<uint64_t, uint64_t>(1572864, total)));
    EXPECT_EQ(rec.progress.size(), 4u);

    DownloadContext plain;
    Recorder rec2;
    plain.status = rec2.statusFn();
    LogCapture cap2;
    progressCallback(&plain, total, 0, 0, 0);
    EXPECT_EQ(zrvk_test::linesStartingWith(cap2.finish().out, "[download]"), (Log{"[download] 0% (0.0/10.0 MB)"}));
    EXPECT_EQ(rec2.status, (Log{"Downloading 0.0 / 10.0 MB"}));
}

TEST(DeliveryCallbacks, WriteCallbackStopsTheTransferWhenTheFileFails) {
    std::ostringstream good;
    DownloadContext ctx;
    ctx.out = &good;
    char data[6] = "hello";
    EXPECT_EQ(writeCallback(data, 1, 5, &ctx), 5u);
    EXPECT_EQ(ctx.bytesWritten, 5u);
    good.setstate(std::ios::badbit);
    EXPECT_EQ(writeCallback(data, 1, 5, &ctx), 0u);
    EXPECT_EQ(ctx.bytesWritten, 5u);
}

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

TEST(DeliveryUrls, ProductProxyListIsDirectThenConfiguredHosts) {
    DeliveryTesting::reset();
    ASSERT_GE(GITHUB_PROXY_PREFIXES.size(), 1u);
    EXPECT_EQ(GITHUB_PROXY_PREFIXES[0], "");
    for (size_t i = 1; i < GITHUB_PROXY_PREFIXES.size(); ++i) {
        EXPECT_EQ(GITHUB_PROXY_PREFIXES[i].rfind("https://", 0), 0u);
        EXPECT_EQ(GITHUB_PROXY_PREFIXES[i].back(), '/');
    }
}

// ---------------------------------------------------------------------------
// downloadToFile.

TEST_F(DeliveryTest, DownloadToFileAnswersAndFaults) {
    struct Case {
        std::string name;
        Response response;
        bool ok;
        std::string errLine;  // expected in standard error ("" = none)
        bool expectProgress;
    };
    Response noLength = Response::pattern(50000);
    noLength.framing = Response::Framing::Close;
    Response chunked = Response::pattern(50000);
    chunked.framing = Response::Framing::Chunked;
    chunked.chunkSize = 7000;
    Response drop = Response::pattern(200000);
    drop.dropAfterBytes = 50000;
    Response closeNow = Response::pattern(100);
    closeNow.closeWithoutAnswer = true;
    Response stall = Response::pattern(200000);
    stall.stallAfterBytes = 0;
    const std::string bigPage = "<!DOCTYPE html><html>" + std::string(1 << 20, 'n') + "</html>";

    const Case cases[] = {
        {"length", Response::pattern(200000), true, "", true},
        {"small", Response::text(200, std::string(10240, 's')), true, "", false},
        {"nolength", noLength, true, "", false},
        {"chunked", chunked, true, "", false},
        {"relative", Response::redirect(302, "/f/length"), true, "", true},
        {"absolute", Response::redirect(301, server.url("/f/length")), true, "", true},
        {"loop", Response::redirect(302, "/f/loop"), false, "[download] Failed: Number of redirects hit maximum amount",
         false},
        {"notfound", Response::text(404, bigPage, "text/html"), false, "[download] HTTP error: 404", true},
        {"drop", drop, false, "[download] Failed: Transferred a partial file", true},
        {"nothing", closeNow, false, "[download] Failed: Server returned nothing", false},
        {"stall", stall, false, "[download] Failed: Timeout was reached", true},
    };
    for (const Case& c : cases) server.route("GET", "/f/" + c.name, c.response);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = tmp / ("out_" + c.name);
        Recorder rec;
        LogCapture cap;
        bool ok = downloadToFile(server.url("/f/" + c.name), path, "", rec.progressFn(), rec.statusFn());
        auto logs = cap.finish();
        EXPECT_EQ(ok, c.ok) << logs.err;
        EXPECT_EQ(exists(path), c.ok);
        if (!c.errLine.empty()) {
            EXPECT_TRUE(contains(logs.err, c.errLine)) << logs.err;
        }
        if (c.ok) {
            EXPECT_EQ(logs.err, "");
        }
        EXPECT_EQ(!rec.progress.empty(), c.expectProgress);
        EXPECT_EQ(rec.progress.size(), rec.status.size());
        if (c.ok && c.name != "small") {
            EXPECT_EQ(zrvk_test::readFile(path), zrvk::test::patternBytes(0, c.expectProgress ? 200000 : 50000));
        }
    }
    // Each follow of the loop is one request: the first plus 30 redirects.
    EXPECT_EQ(server.hits("/f/loop"), 31u);
}

TEST_F(DeliveryTest, StallLineNamesTheConfiguredStallTime) {
    Response stall = Response::pattern(100000);
    stall.stallAfterBytes = 30000;
    server.route("GET", "/stall", stall);
    LogCapture cap;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(downloadToFile(server.url("/stall"), tmp / "s", "", nullptr, nullptr));
    auto elapsed = std::chrono::steady_clock::now() - start;
    auto logs = cap.finish();
    std::regex line(
        R"(\[download\] Failed: Timeout was reached \(downloaded: 0\.0 MB, time: \d+s, speed: 0\.0 MB/s, stall_timeout: 1s\))");
    EXPECT_TRUE(std::regex_search(logs.err, line)) << logs.err;
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_FALSE(exists(tmp / "s"));
}

TEST_F(DeliveryTest, DownloadThatCannotBeStoredFails) {
    server.route("GET", "/big", Response::pattern(600000));
    std::string path = tmp / "big";
    bool ok;
    std::string err;
    {
        zrvk_test::FileSizeLimit limit(200000);
        LogCapture cap;
        ok = downloadToFile(server.url("/big"), path, "", nullptr, nullptr);
        err = cap.finish().err;
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(contains(err, "[download] Failed: Failed writing received data")) << err;
    EXPECT_FALSE(exists(path));

    LogCapture cap;
    EXPECT_FALSE(downloadToFile(server.url("/big"), tmp / "no/such/dir/f", "", nullptr, nullptr));
    EXPECT_TRUE(contains(cap.finish().err, "[download] Failed to create temp file: " + tmp / "no/such/dir/f"));
}

TEST_F(DeliveryTest, FirstRedirectProbeTakesOneHop) {
    server.route("*", "/r/rel", Response::redirect(302, "/r/next"));
    server.route("*", "/r/next", Response::redirect(302, "/r/final"));
    server.route("*", "/r/abs", Response::redirect(307, "http://example.invalid/x.zip"));
    server.route("*", "/r/ok", Response::text(200, "ok"));
    struct Case {
        std::string target;
        std::string expected;  // "" = the argument itself
    };
    const Case cases[] = {{"/r/rel", server.url("/r/next")},
                          {"/r/abs", "http://example.invalid/x.zip"},
                          {"/r/ok", ""},
                          {"/r/missing", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        server.clearRequests();
        std::string url = server.url(c.target);
        LogCapture cap;
        std::string got = getFirstRedirectUrl(url);
        auto logs = cap.finish();
        EXPECT_EQ(got, c.expected.empty() ? url : c.expected);
        EXPECT_EQ(requestLog(), (Log{"HEAD " + c.target}));
        EXPECT_EQ(contains(logs.out, "[download] First redirect: " + got), !c.expected.empty());
    }
    // Nobody listening: the argument comes back, silently.
    LogCapture cap;
    EXPECT_EQ(getFirstRedirectUrl("http://127.0.0.1:1/x"), "http://127.0.0.1:1/x");
    EXPECT_EQ(cap.finish().out, "");
}

TEST_F(DeliveryTest, CheckUrlExistsAsksForHeadersOnly) {
    server.route("*", "/c/redir", Response::redirect(302, "/c/ok"));
    server.route("*", "/c/ok", Response::text(200, "body"));
    server.route("*", "/c/403", Response::text(403, "no"));
    server.route("*", "/c/405", Response::text(405, "no head"));
    server.route("*", "/c/loop", Response::redirect(302, "/c/loop"));
    Response headDiffers = Response::text(200, "get works");
    headDiffers.head = std::make_shared<Response>(Response::text(404, ""));
    server.route("*", "/c/headdiffers", headDiffers);
    Response headOnly = Response::text(404, "get fails");
    headOnly.head = std::make_shared<Response>(Response::text(200, ""));
    server.route("*", "/c/headonly", headOnly);
    Response nothing = Response::text(200, "");
    nothing.closeWithoutAnswer = true;
    server.route("*", "/c/nothing", nothing);

    struct Case {
        std::string target;
        bool exists;
        std::string outLine;
    };
    const Case cases[] = {
        {"/c/redir", true, "[checkUrlExists] " + server.url("/c/redir") + " -> 200"},
        {"/c/403", false, " -> 403"},
        {"/c/missing", false, " -> 404"},
        {"/c/405", false, " -> 405"},
        {"/c/headdiffers", false, " -> 404"},
        {"/c/headonly", true, " -> 200"},
        {"/c/loop", false, "[checkUrlExists] Request failed: Number of redirects hit maximum amount"},
        {"/c/nothing", false, "[checkUrlExists] Request failed: Server returned nothing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        LogCapture cap;
        EXPECT_EQ(checkUrlExists(server.url(c.target)), c.exists);
        EXPECT_TRUE(contains(cap.finish().out, c.outLine));
    }
    for (const Request& r : server.requests()) EXPECT_EQ(r.method, "HEAD") << r.target;
}

TEST(DeliveryTls, CertificateChecksStayOn) {
    LoopbackServer tls;
    std::string error;
    LoopbackServer::Options options;
    options.tls = true;
    ASSERT_TRUE(tls.start(options, error)) << error;
    tls.route("*", "/a.zip", Response::text(200, "PK"));
    tls.route("*", "/short", Response::redirect(302, "/a.zip"));
    zrvk_test::TempDir tmp;
    LogCapture cap;
    EXPECT_FALSE(downloadToFile(tls.url("/a.zip"), tmp / "a.zip", "", nullptr, nullptr));
    EXPECT_FALSE(checkUrlExists(tls.url("/a.zip")));
    EXPECT_EQ(getFirstRedirectUrl(tls.url("/short")), tls.url("/short"));
    auto logs = cap.finish();
    EXPECT_TRUE(contains(logs.err, "[download] Failed: SSL peer certificate or SSH remote key was not OK") ||
                contains(logs.err, "[download] Failed: SSL certificate problem") ||
                contains(logs.err, "[download] Failed: Peer certificate"))
        << logs.err;
    EXPECT_FALSE(exists(tmp / "a.zip"));
    // The handshake fails before any request reaches the server.
    EXPECT_EQ(tls.requestCount(), 0u);
}

// Where plain http is not allowed, no transfer and no redirect ever uses it:
// not an http address, not an https address that redirects to http, and not
// the parts of a split archive whose first redirect leads to http.
TEST(DeliveryProtocols, HttpsOnlyRefusesPlainHttpAndRedirectsToIt) {
    LoopbackServer plain;
    LoopbackServer tls;
    std::string error;
    ASSERT_TRUE(plain.start(error)) << error;
    LoopbackServer::Options options;
    options.tls = true;
    ASSERT_TRUE(tls.start(options, error)) << error;
    const std::string zip = zrvk_test::makeZip({{"a.txt", "a"}});
    plain.route("*", "/a.zip", Response::text(200, zip, "application/zip"));
    plain.route("*", "/a.zip.000", Response::text(200, zip, "application/zip"));
    tls.route("*", "/a.zip", Response::text(200, zip, "application/zip"));
    tls.route("*", "/to-http.zip", Response::redirect(302, plain.url("/a.zip")));
    DeliveryTesting::setCertificateAuthority(tls.certificatePem());
    zrvk_test::TempDir tmp;
    DeliveryTesting::setTempDirectory(tmp / "tmp");

    DeliveryTesting::setTransferProtocols("https");
    {
        LogCapture cap;
        EXPECT_TRUE(downloadToFile(tls.url("/a.zip"), tmp / "direct.zip", "", nullptr, nullptr));
        EXPECT_FALSE(downloadToFile(plain.url("/a.zip"), tmp / "plain.zip", "", nullptr, nullptr));
        EXPECT_FALSE(downloadToFile(tls.url("/to-http.zip"), tmp / "redirected.zip", "", nullptr, nullptr));
        EXPECT_FALSE(checkUrlExists(plain.url("/a.zip")));
        EXPECT_FALSE(checkUrlExists(tls.url("/to-http.zip")));
        EXPECT_EQ(detectMultiPartUrls(tls.url("/to-http.zip"), nullptr),
                  std::vector<std::string>{tls.url("/to-http.zip")});
        EXPECT_FALSE(downloadMultiPartAndExtractZip({plain.url("/a.zip.000")}, tmp / "parts", "", nullptr, nullptr));
        EXPECT_FALSE(downloadAndExtractZip(tls.url("/to-http.zip"), tmp / "unpacked", "", nullptr, nullptr));
        EXPECT_TRUE(contains(cap.finish().err, "Unsupported protocol"));
    }
    EXPECT_EQ(plain.requestCount(), 0u) << "nothing went out over plain http";
    EXPECT_FALSE(exists(tmp / "redirected.zip"));

    // Where http is allowed (the loopback catalogues), the same redirect is followed.
    DeliveryTesting::setTransferProtocols("http,https");
    {
        LogCapture cap;
        EXPECT_TRUE(downloadToFile(tls.url("/to-http.zip"), tmp / "redirected.zip", "", nullptr, nullptr));
    }
    EXPECT_EQ(plain.requestCount(), 1u);
    DeliveryTesting::reset();
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

TEST_F(DeliveryTest, TemporaryWorkIsPrivateToTheRun) {
    std::string dir = getRunTempDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.rfind(work + "/zorvik_installer_", 0), 0u) << dir;
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(getRunTempDirectory(), dir);
}

// ---------------------------------------------------------------------------
// Multi-part archives.

void servePartsAt(LoopbackServer& server, const std::string& base, const std::vector<std::string>& parts,
                  const std::string& query = "") {
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string suffix = partSuffix(i);
        server.route("GET", base + suffix + query, Response::text(200, parts[i]));
    }
}

TEST_F(DeliveryTest, DetectsThreePartsOnTheRedirectTarget) {
    servePartsAt(server, "/mp/engine.zip", {"a", "b", "c"});
    server.route("*", "/s/parts", Response::redirect(302, "/mp/engine.zip"));
    for (const std::string& start : {std::string("/mp/engine.zip"), std::string("/s/parts")}) {
        SCOPED_TRACE(start);
        server.clearRequests();
        Recorder rec;
        LogCapture cap;
        auto urls = detectMultiPartUrls(server.url(start), rec.statusFn());
        auto logs = cap.finish();
        const std::string b = server.url("/mp/engine.zip");
        EXPECT_EQ(urls, (Log{b + ".000", b + ".001", b + ".002"}));
        EXPECT_EQ(requestLog(), (Log{"HEAD " + start, "HEAD /mp/engine.zip.000", "HEAD /mp/engine.zip.000",
                                     "HEAD /mp/engine.zip.001", "HEAD /mp/engine.zip.002", "HEAD /mp/engine.zip.003"}));
        EXPECT_TRUE(contains(logs.out, "[detectMultiPart] Part 3 not found, total parts: 3"));
        EXPECT_EQ(rec.status, (Log{"Detecting download format..."}));
    }
}

TEST_F(DeliveryTest, DetectsASingleFileEvenBehindARedirect) {
    server.route("*", "/s/single", Response::redirect(302, "/files/single.zip"));
    server.route("*", "/files/single.zip", Response::text(200, "PK"));
    LogCapture cap;
    auto urls = detectMultiPartUrls(server.url("/s/single"), nullptr);
    auto logs = cap.finish();
    EXPECT_EQ(urls, (Log{server.url("/s/single")}));
    EXPECT_TRUE(contains(logs.out, "[detectMultiPart] Resolved redirect: " + server.url("/files/single.zip")));
    EXPECT_TRUE(contains(logs.out, "[detectMultiPart] Single file detected"));
    EXPECT_EQ(requestLog(), (Log{"HEAD /s/single", "HEAD /files/single.zip.000"}));
}

TEST_F(DeliveryTest, PartSuffixGoesBeforeTheQuery) {
    servePartsAt(server, "/q/a.zip", {"a", "b"}, "?download=1");
    LogCapture cap;
    auto urls = detectMultiPartUrls(server.url("/q/a.zip?download=1"), nullptr);
    cap.finish();
    EXPECT_EQ(urls, (Log{server.url("/q/a.zip.000?download=1"), server.url("/q/a.zip.001?download=1")}));
}

TEST_F(DeliveryTest, FirstPartVanishingFallsBackToSingleFile) {
    int calls = 0;
    server.route("HEAD", "/v/a.zip.000", [&calls](const Request&) {
        return Response::text(++calls == 1 ? 200 : 404, "");
    });
    LogCapture cap;
    auto urls = detectMultiPartUrls(server.url("/v/a.zip"), nullptr);
    auto logs = cap.finish();
    EXPECT_EQ(urls, (Log{server.url("/v/a.zip")}));
    EXPECT_TRUE(contains(logs.err,
                         "[detectMultiPart] First part existed but no parts found, falling back to single file"));
}

TEST_F(DeliveryTest, PartLimitIsOneHundred) {
    // Parts are answered by number; the archive is real so the 101-part case
    // can be downloaded and shown to fail at extraction.
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 20; ++i)
        entries.push_back(ZipEntry::file("d/" + std::to_string(i), zrvk::test::patternBytes(i * 977, 3000), true));
    const std::string bytes = zipBytes(entries);
    for (size_t count : {size_t(100), size_t(101)}) {
        SCOPED_TRACE(count);
        server.clearRequests();
        const std::string base = "/n" + std::to_string(count) + "/a.zip";
        const size_t size = (bytes.size() + count - 1) / count;
        std::vector<std::string> parts;
        for (size_t i = 0; i < count; ++i) parts.push_back(bytes.substr(std::min(bytes.size(), i * size), size));
        servePartsAt(server, base, parts);
        LogCapture cap;
        auto urls = detectMultiPartUrls(server.url(base), nullptr);
        auto logs = cap.finish();
        ASSERT_EQ(urls.size(), 100u);
        EXPECT_EQ(urls.back(), server.url(base + ".099"));
        EXPECT_TRUE(contains(logs.err, "[detectMultiPart] Too many parts (>99), stopping"));
        EXPECT_EQ(server.hits(base + ".100"), 0u);
        EXPECT_EQ(server.requestCount(), 102u);  // redirect probe, .000 twice, .001 to .099
        if (count == 101) {
            LogCapture cap2;
            EXPECT_FALSE(downloadMultiPartAndExtractZip(urls, dest, "", nullptr, nullptr));
            cap2.finish();
        } else {
            LogCapture cap2;
            EXPECT_TRUE(downloadMultiPartAndExtractZip(urls, tmp / "d100", "", nullptr, nullptr));
            cap2.finish();
            EXPECT_EQ(zrvk_test::readFile(tmp / "d100/d/19"), zrvk::test::patternBytes(19 * 977, 3000));
        }
    }
}

TEST_F(DeliveryTest, UnevenPartsJoinByteForByte) {
    std::string tricky = std::string("\x0d\x0a\x1a\x00", 4);
    std::string content;
    for (int i = 0; i < 5000; ++i) content += tricky + static_cast<char>(i & 0xff);
    const std::string bytes = zipBytes({ZipEntry::file("data/crlf.bin", content, true), ZipEntry::file("t.txt", "t")});
    const size_t at = bytes.find(tricky);
    ASSERT_NE(at, std::string::npos);
    // Boundaries fall inside the CR LF SUB NUL run; one part is a single byte.
    auto parts = zrvk_test::splitBytes(bytes, {at + 1, 1, 2, 7, 9000, 1});
    ASSERT_EQ(parts.size(), 7u);
    servePartsAt(server, "/mp/e.zip", parts);
    std::vector<std::string> urls;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string suffix = partSuffix(i);
        urls.push_back(server.url(std::string("/mp/e.zip") + suffix));
    }
    Recorder rec;
    LogCapture cap;
    ASSERT_TRUE(downloadMultiPartAndExtractZip(urls, dest, "Render Engine", rec.progressFn(), rec.statusFn()));
    auto logs = cap.finish();
    EXPECT_EQ(zrvk_test::readFile(dest + "/data/crlf.bin"), content);
    Log expected;
    for (const std::string& u : urls) expected.push_back("GET " + u.substr(server.baseUrl().size()));
    EXPECT_EQ(requestLog(), expected);

    EXPECT_EQ(rec.status.front(), "Render Engine: Downloading part 1/7...");
    EXPECT_NE(std::find(rec.status.begin(), rec.status.end(), "Render Engine: Combining parts..."), rec.status.end());
    EXPECT_EQ(rec.status.back(), "Render Engine: Complete");
    // 0-600 downloads, 600 and 700 around the join, 1000 at the end.
    auto at700 = std::find(rec.progress.begin(), rec.progress.end(), std::pair<uint64_t, uint64_t>(700, 1000));
    ASSERT_NE(at700, rec.progress.begin());
    ASSERT_NE(at700, rec.progress.end());
    auto at600 = at700 - 1;
    EXPECT_EQ(*at600, (std::pair<uint64_t, uint64_t>(600, 1000)));
    for (auto it = rec.progress.begin(); it != at600; ++it) EXPECT_LE(it->first, 600u);
    EXPECT_EQ(rec.progress.back(), (std::pair<uint64_t, uint64_t>(1000, 1000)));
    EXPECT_TRUE(contains(logs.out, "[concatenate] Combining 7 parts into "));

    // Nothing is left but the empty folder.
    const std::string folder = getRunTempDirectory() + "/zorvik_multipart";
    EXPECT_TRUE(exists(folder));
    EXPECT_TRUE(listDir(folder).empty());
}

TEST_F(DeliveryTest, TwelvePartsAndPerPartProgress) {
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 12; ++i)
        entries.push_back(ZipEntry::file("p" + std::to_string(i), zrvk::test::patternBytes(i * 31, 40000), true));
    const std::string bytes = zipBytes(entries);
    const size_t size = (bytes.size() + 11) / 12;
    std::vector<std::string> parts;
    for (size_t i = 0; i < 12; ++i) parts.push_back(bytes.substr(i * size, size));
    servePartsAt(server, "/t/a.zip", parts);
    std::vector<std::string> urls;
    for (int i = 0; i < 12; ++i) {
        const std::string suffix = partSuffix(i);
        urls.push_back(server.url(std::string("/t/a.zip") + suffix));
    }
    // Progress of part i (0-based) must stay in [i, i + 1] * 600 / 12.
    std::vector<std::pair<int, uint64_t>> events;
    int part = -1;
    StatusFn status = [&](const std::string& text) {
        if (text.find("Downloading part ") != std::string::npos) ++part;
    };
    ProgressFn progress = [&](uint64_t v, uint64_t) { events.emplace_back(part, v); };
    LogCapture cap;
    ASSERT_TRUE(downloadMultiPartAndExtractZip(urls, dest, "", progress, status));
    cap.finish();
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(zrvk_test::readFile(dest + "/p" + std::to_string(i)), zrvk::test::patternBytes(i * 31, 40000));
    for (auto [p, v] : events) {
        if (v > 600) break;
        EXPECT_GE(v + 1, uint64_t(p) * 50);  // truncation of (p / 12) * 600
        EXPECT_LE(v, uint64_t(p + 1) * 50);
    }
}

TEST_F(DeliveryTest, FailingPartStopsAtOnceAndCleansUp) {
    servePartsAt(server, "/f/a.zip", {"PKone", "two", "", "four"});
    server.route("GET", "/f/a.zip.002", Response::text(404, "missing"));
    std::vector<std::string> urls;
    for (const char* s : {".000", ".001", ".002", ".003"}) urls.push_back(server.url(std::string("/f/a.zip") + s));
    LogCapture cap;
    EXPECT_FALSE(downloadMultiPartAndExtractZip(urls, dest, "", nullptr, nullptr));
    EXPECT_TRUE(contains(cap.finish().err, "[downloadMultiPart] Failed to download part 3"));
    EXPECT_EQ(requestLog(), (Log{"GET /f/a.zip.000", "GET /f/a.zip.001", "GET /f/a.zip.002"}));
    EXPECT_TRUE(listDir(getRunTempDirectory() + "/zorvik_multipart").empty());
}

TEST_F(DeliveryTest, GitHubPartFallsBackToAProxyAndTheNextPartStartsDirect) {
    const std::string bytes = sampleZip();
    auto parts = zrvk_test::splitBytes(bytes, {bytes.size() / 3, bytes.size() / 3});
    ASSERT_EQ(parts.size(), 3u);
    const std::string base = "/github.com/o/r/releases/download/v1/e.zip";
    const std::string u0 = server.url(base + ".000"), u1 = server.url(base + ".001"), u2 = server.url(base + ".002");
    // The first part answers 200 with a page: not the start of an archive.
    server.route("GET", base + ".000", Response::text(200, "<html>busy</html>", "text/html"));
    server.route("GET", "/proxy1/" + u0, Response::text(200, parts[0]));
    server.route("GET", base + ".001", Response::text(404, "no"));
    server.route("GET", "/proxy1/" + u1, Response::text(502, "no"));
    server.route("GET", "/proxy2/" + u1, Response::text(200, parts[1]));
    server.route("GET", base + ".002", Response::text(200, parts[2]));
    LogCapture cap;
    ASSERT_TRUE(downloadMultiPartAndExtractZip({u0, u1, u2}, dest, "", nullptr, nullptr));
    auto logs = cap.finish();
    EXPECT_EQ(requestLog(), (Log{"GET " + base + ".000", "GET /proxy1/" + u0, "GET " + base + ".001",
                                 "GET /proxy1/" + u1, "GET /proxy2/" + u1, "GET " + base + ".002"}));
    EXPECT_TRUE(contains(logs.out, "[downloadMultiPart] Trying proxy: " + server.url("/proxy1/")));
    EXPECT_TRUE(exists(dest + "/payload.bin"));
}

TEST_F(DeliveryTest, ALaterPartThatIsAWebPageMovesOnToTheNextProxy) {
    // A stored entry puts a "<" at a known offset, so one split starts a part with it.
    const std::string marker = std::string("<\x01\x02 not markup ", 16) + std::string(64, 'm');
    const std::string bytes = zipBytes({ZipEntry::file("payload.bin", marker, true), ZipEntry::file("b.txt", "b")});
    const size_t at = bytes.find(marker);
    ASSERT_NE(at, std::string::npos);
    auto parts = zrvk_test::splitBytes(bytes, {at});
    ASSERT_EQ(parts.size(), 2u);
    struct Case {
        const char* what;
        Response answer;  // of the second part's direct URL
        bool page;
    } cases[] = {
        {"declared as HTML", Response::text(200, "<p>busy</p>", "text/html; charset=utf-8"), true},
        {"markup sent as binary", Response::text(200, "<!DOCTYPE html><html>limit</html>", "application/octet-stream"), true},
        {"upper-case markup after blanks", Response::text(200, "\r\n  <HTML>limit</HTML>", "application/zip"), true},
        {"a slice that starts with <", Response::text(200, parts[1], "application/octet-stream"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearRoutes();
        server.clearRequests();
        zrvk_test::TempDir out;
        const std::string base = "/github.com/o/r/releases/download/v1/p.zip";
        const std::string u0 = server.url(base + ".000"), u1 = server.url(base + ".001");
        server.route("GET", base + ".000", Response::text(200, parts[0]));
        server.route("GET", base + ".001", c.answer);
        server.route("GET", "/proxy1/" + u1, Response::text(200, parts[1]));
        LogCapture cap;
        const bool ok = downloadMultiPartAndExtractZip({u0, u1}, out / "d", "", nullptr, nullptr);
        auto logs = cap.finish();
        const bool sliceServed = c.answer.body == parts[1];
        EXPECT_EQ(ok, c.page || sliceServed) << logs.err;
        EXPECT_EQ(contains(logs.err, "[download] Not a ZIP archive: " + u1), c.page) << logs.err;
        EXPECT_EQ(server.requestCount() == 3, c.page);
        if (ok) {
            EXPECT_EQ(zrvk_test::readFile(out / "d/payload.bin"), marker);
        }
    }
}

TEST_F(DeliveryTest, OneElementListAndEmptyList) {
    serveZip("/one/a.zip", sampleZip());
    LogCapture cap;
    EXPECT_TRUE(downloadMultiPartAndExtractZip({server.url("/one/a.zip")}, dest, "L", nullptr, nullptr));
    EXPECT_FALSE(downloadMultiPartAndExtractZip({}, dest, "L", nullptr, nullptr));
    auto logs = cap.finish();
    EXPECT_TRUE(contains(logs.out, "[concatenate] Combining 1 parts into " + getRunTempDirectory() +
                                       "/zorvik_multipart/combined.zip"));
    EXPECT_TRUE(contains(logs.out, "[downloadMultiPart] Multi-part download and extraction complete"));
    EXPECT_TRUE(contains(logs.err, "[downloadMultiPart] No URLs provided"));
    EXPECT_TRUE(exists(dest + "/payload.bin"));
    EXPECT_EQ(requestLog(), (Log{"GET /one/a.zip"}));
}

TEST_F(DeliveryTest, ConcatenateFailuresRemoveTheOutput) {
    zrvk_test::writeFile(tmp / "p0", std::string(300000, 'a'));
    zrvk_test::writeFile(tmp / "p1", std::string(300000, 'b'));
    const std::string out = tmp / "joined";
    {
        LogCapture cap;
        EXPECT_FALSE(concatenateParts({tmp / "p0", tmp / "missing"}, out));
        EXPECT_TRUE(contains(cap.finish().err, "[concatenate] Failed to open part file: " + tmp / "missing"));
        EXPECT_FALSE(exists(out));
    }
    {
        bool ok;
        std::string err;
        {
            zrvk_test::FileSizeLimit limit(400000);
            LogCapture cap;
            ok = concatenateParts({tmp / "p0", tmp / "p1"}, out);
            err = cap.finish().err;
        }
        EXPECT_FALSE(ok);
        EXPECT_TRUE(contains(err, "[concatenate] Failed to write output file: " + out)) << err;
        EXPECT_FALSE(exists(out));
    }
    {
        LogCapture cap;
        EXPECT_FALSE(concatenateParts({tmp / "p0"}, tmp / "no/dir/joined"));
        EXPECT_TRUE(contains(cap.finish().err, "[concatenate] Failed to create output file: " + tmp / "no/dir/joined"));
    }
    LogCapture cap;
    ASSERT_TRUE(concatenateParts({tmp / "p0", tmp / "p1"}, out));
    EXPECT_EQ(zrvk_test::readFile(out), std::string(300000, 'a') + std::string(300000, 'b'));
    EXPECT_TRUE(contains(cap.finish().out, "[concatenate] Total: 0 MB"));
}

}  // namespace
