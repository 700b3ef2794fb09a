// HTTP transfers: the callbacks, downloads to a file, the two probes, and
// the certificate and protocol rules every transfer follows, against a
// loopback server whose request log is the behaviour.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "installer_download.h"
#include "installer_transfer.h"
#include "loopback_server.h"
#include "support/delivery_fixture.h"
#include "support/delivery_helpers.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

using namespace zrvk_test;
using namespace zrvk::test;

namespace {

// ---------------------------------------------------------------------------
// Callbacks.

TEST(DeliveryCallbacks, ProgressCallbackThinsLogsButNotStatus) {
    DownloadContext ctx;
    ctx.answerCode = 200;
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
    plain.answerCode = 200;
    Recorder rec2;
    plain.status = rec2.statusFn();
    LogCapture cap2;
    progressCallback(&plain, total, 0, 0, 0);
    EXPECT_EQ(zrvk_test::linesStartingWith(cap2.finish().out, "[download]"), (Log{"[download] 0% (0.0/10.0 MB)"}));
    EXPECT_EQ(rec2.status, (Log{"Downloading 0.0 / 10.0 MB"}));
}

// While an answer that is not kept is received (a redirect, an error page,
// or before any status line), nothing claims a download and nothing is
// stored: the body stops the transfer.
TEST(DeliveryCallbacks, AnAnswerThatIsNotKeptIsNeitherReportedNorStored) {
    for (int code : {0, 201, 206, 302, 404, 500}) {
        SCOPED_TRACE(code);
        std::ostringstream file;
        DownloadContext ctx;
        ctx.answerCode = code;
        ctx.out = &file;
        Recorder rec;
        ctx.progress = rec.progressFn();
        ctx.status = rec.statusFn();
        char data[6] = "hello";
        LogCapture cap;
        EXPECT_EQ(progressCallback(&ctx, 10 * 1048576, 1048576, 0, 0), 0);
        EXPECT_EQ(writeCallback(data, 1, 5, &ctx), 0u);
        EXPECT_EQ(cap.finish().out, "");
        EXPECT_TRUE(rec.progress.empty());
        EXPECT_TRUE(rec.status.empty());
        EXPECT_EQ(file.str(), "");
        EXPECT_EQ(ctx.bytesWritten, 0u);
        EXPECT_EQ(ctx.neededBytes, 0u);
    }
}

TEST(DeliveryCallbacks, WriteCallbackStopsTheTransferWhenTheFileFails) {
    std::ostringstream good;
    DownloadContext ctx;
    ctx.answerCode = 200;
    ctx.out = &good;
    char data[6] = "hello";
    EXPECT_EQ(writeCallback(data, 1, 5, &ctx), 5u);
    EXPECT_EQ(ctx.bytesWritten, 5u);
    good.setstate(std::ios::badbit);
    EXPECT_EQ(writeCallback(data, 1, 5, &ctx), 0u);
    EXPECT_EQ(ctx.bytesWritten, 5u);
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
        // An error page is no download: no progress is claimed for it.
        {"notfound", Response::text(404, bigPage, "text/html"), false, "[download] HTTP error: 404", false},
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

// A server that sends more than the length it announced gets no byte past
// that length stored, however the answer is framed.
TEST_F(DeliveryTest, NothingPastTheAnnouncedLengthIsStored) {
    Response closed = Response::pattern(50000);
    closed.framing = Response::Framing::Close;
    closed.withHeader("Content-Length", "20000");
    Response chunked = Response::pattern(50000);
    chunked.framing = Response::Framing::Chunked;
    chunked.chunkSize = 7000;
    chunked.withHeader("Transfer-Encoding", "chunked").withHeader("Content-Length", "20000");
    server.route("GET", "/closed", closed);
    server.route("GET", "/chunked", chunked);
    for (const char* route : {"/closed", "/chunked"}) {
        SCOPED_TRACE(route);
        const std::string path = tmp / "over";
        LogCapture cap;
        const bool ok = downloadToFile(server.url(route), path, "", nullptr, nullptr);
        cap.finish();
        if (ok) {
            const std::string stored = zrvk_test::readFile(path);
            EXPECT_EQ(stored.size(), 20000u);
            EXPECT_TRUE(stored == zrvk::test::patternBytes(0, 20000));
        } else {
            EXPECT_FALSE(exists(path));
        }
        std::remove(path.c_str());
    }
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

// A redirect target is a server's text: its log line shows every control
// byte escaped and a backslash doubled, while the probe returns the target
// unchanged. libcurl ends a header value at a CR or LF, so a Location cannot
// put a line of its own into the log.
TEST_F(DeliveryTest, TheFirstRedirectIsLoggedEscaped) {
    struct Case {
        std::string location;  // sent as it stands
        std::string returned;
        std::string logged;
    } cases[] = {
        {"/a\x1b[2K\x1b[31mred.zip", "/a\x1b[2K\x1b[31mred.zip", "/a\\x1B[2K\\x1B[31mred.zip"},
        {"http://x.invalid/\x01\tb\x7f.zip", "http://x.invalid/\x01\tb\x7f.zip", "http://x.invalid/\\x01\\x09b\\x7F.zip"},
        {"/a\\x1B.zip", server.url("/a\\x1B.zip"), server.url("/a\\\\x1B.zip")},
        {"/a\r\nX-Line: [download] A line of the server's", server.url("/a"), server.url("/a")},
        // A line that is no header fails the probe: the argument comes back.
        {"/a\n[download] A line of the server's", server.url("/r/escaped"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.location));
        server.route("HEAD", "/r/escaped", Response::redirect(302, c.location));
        LogCapture cap;
        const std::string returned = getFirstRedirectUrl(server.url("/r/escaped"));
        const std::string out = cap.finish().out;
        EXPECT_EQ(returned, c.returned);
        EXPECT_EQ(out, c.logged.empty() ? "" : "[download] First redirect: " + c.logged + "\n");
    }
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

}  // namespace
