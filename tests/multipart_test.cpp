// Multi-part archives: finding the parts, fetching them (with the proxies),
// joining them byte for byte and cleaning up, against a loopback server
// whose request log is the behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "installer_download.h"
#include "installer_multipart.h"
#include "loopback_server.h"
#include "support/delivery_fixture.h"
#include "support/delivery_helpers.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

using namespace zrvk_test;
using namespace zrvk::test;

namespace {

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

// The redirect target and the part addresses built on it are a server's
// text: logged with control bytes escaped and a backslash doubled, used as
// they stand. A target with control bytes is no address libcurl will ask.
TEST_F(DeliveryTest, PartAddressesFromARedirectAreLoggedEscaped) {
    const std::string bytes = sampleZip();
    servePartsAt(server, "/mp/a\\b.zip", zrvk_test::splitBytes(bytes, {bytes.size() / 2}));
    server.route("*", "/s/backslash", Response::redirect(302, "/mp/a\\b.zip"));
    LogCapture cap;
    const auto urls = detectMultiPartUrls(server.url("/s/backslash"), nullptr);
    const std::string base = server.url("/mp/a\\b.zip"), logged = server.url("/mp/a\\\\b.zip");
    ASSERT_EQ(urls, (Log{base + ".000", base + ".001"}));
    ASSERT_TRUE(downloadMultiPartAndExtractZip(urls, dest, "", nullptr, nullptr));
    server.route("*", "/s/control", Response::redirect(302, "/mp/\x1b]0;title\x07.zip"));
    EXPECT_EQ(detectMultiPartUrls(server.url("/s/control"), nullptr), (Log{server.url("/s/control")}));
    const auto logs = cap.finish();
    for (const std::string& line :
         {"[detectMultiPart] Resolved redirect: " + logged, "[checkUrlExists] " + logged + ".000 -> 200",
          "[detectMultiPart] Found part 1: " + logged + ".001", "[downloadMultiPart] Downloading part 2/2: " + logged +
          ".001", std::string("[detectMultiPart] Resolved redirect: /mp/\\x1B]0;title\\x07.zip")})
        EXPECT_TRUE(contains(logs.out, line + "\n")) << line << "\n" << logs.out;
    EXPECT_FALSE(hasControlBytes(logs.out + logs.err)) << logs.out << logs.err;
    EXPECT_TRUE(exists(dest + "/payload.bin"));
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
