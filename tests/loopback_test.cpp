// The loopback server as libcurl sees it: every answer and fault that the
// installer's tests rely on, and the zrvk-serve program.
#include "loopback_server.h"
#include "test_paths.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

extern char** environ;

using namespace std::chrono_literals;
using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;

namespace {

struct Fetch {
    CURLcode code = CURLE_OK;
    long status = 0;
    long redirects = 0;
    std::string headers;  // every header block received
    std::string body;
};

struct FetchOptions {
    std::string method = "GET";
    std::string body = "";  // sent with POST
    bool follow = false;
    long timeoutMs = 5000;
    std::string caPem = "";
    std::atomic<std::size_t>* bodyBytes = nullptr;  // counts the body as it arrives, when given
};

std::size_t appendTo(char* p, std::size_t size, std::size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, size * n);
    return size * n;
}

struct BodySink {
    std::string* body;
    std::atomic<std::size_t>* count;
};

std::size_t appendBody(char* p, std::size_t size, std::size_t n, void* out) {
    BodySink* sink = static_cast<BodySink*>(out);
    if (sink->count) *sink->count += size * n;
    return appendTo(p, size, n, sink->body);
}

Fetch fetch(CURL* curl, const std::string& url, const FetchOptions& o = {}) {
    Fetch f;
    BodySink sink{&f.body, o.bodyBytes};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, appendTo);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &f.headers);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, o.follow ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 30L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, o.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOBODY, o.method == "HEAD" ? 1L : 0L);
    if (o.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, o.body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(o.body.size()));
    } else if (o.method != "GET" && o.method != "HEAD") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, o.method.c_str());
    }
    if (!o.caPem.empty()) {
        curl_blob blob{const_cast<char*>(o.caPem.data()), o.caPem.size(), CURL_BLOB_COPY};
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
    f.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &f.status);
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &f.redirects);
    return f;
}

Fetch fetch(const std::string& url, const FetchOptions& o = {}) {
    CURL* curl = curl_easy_init();
    Fetch f = fetch(curl, url, o);
    curl_easy_cleanup(curl);
    return f;
}

bool hasHeaderLine(const std::string& headers, const std::string& line) {
    return headers.find("\r\n" + line + "\r\n") != std::string::npos;
}

// One request against a server set up for it, and what curl must see.
struct Case {
    const char* name;
    std::function<void(LoopbackServer&)> setup;
    std::string target;
    FetchOptions request;
    CURLcode code;
    long status;
    std::string body;
    std::vector<std::string> headerLines;  // each must be present
    std::vector<std::string> absentHeaders;  // header names that must not be
    long redirects = 0;
};

// Test names print the case name, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> chunksOf(std::initializer_list<const char*> parts) { return {parts.begin(), parts.end()}; }

const std::vector<Case>& cases() {
    static const std::vector<Case> all = [] {
        std::vector<Case> c;
        c.push_back({"plain_body_with_length",
                     [](LoopbackServer& s) { s.route("GET", "/a.json", Response::text(200, "{\"x\":1}", "application/json")); },
                     "/a.json", {}, CURLE_OK, 200, "{\"x\":1}",
                     {"Content-Length: 7", "Content-Type: application/json"}, {}});
        c.push_back({"unmatched_is_404", [](LoopbackServer&) {}, "/nothing", {}, CURLE_OK, 404, "not found\n", {}, {}});
        c.push_back({"status_code_with_body",
                     [](LoopbackServer& s) { s.route("GET", "/busy", Response::text(503, "later")); }, "/busy", {},
                     CURLE_OK, 503, "later", {}, {}});
        c.push_back({"query_is_part_of_the_exact_target",
                     [](LoopbackServer& s) {
                         s.route("GET", "/q?v=1", Response::text(200, "one"));
                         s.route("GET", "/q", Response::text(200, "bare"));
                     },
                     "/q?v=1", {}, CURLE_OK, 200, "one", {}, {}});
        c.push_back({"relative_redirect_followed",
                     [](LoopbackServer& s) {
                         s.route("GET", "/dir/old", Response::redirect(302, "new"));
                         s.route("GET", "/dir/new", Response::text(200, "moved"));
                     },
                     "/dir/old", {"GET", "", true}, CURLE_OK, 200, "moved", {}, {}, 1});
        c.push_back({"absolute_redirect_followed",
                     [](LoopbackServer& s) {
                         s.route("GET", "/start", [&s](const Request&) { return Response::redirect(301, s.url("/mid")); });
                         s.route("GET", "/mid", Response::redirect(307, "/end"));
                         s.route("GET", "/end", Response::text(200, "end"));
                     },
                     "/start", {"GET", "", true}, CURLE_OK, 200, "end", {}, {}, 2});
        c.push_back({"redirect_not_followed",
                     [](LoopbackServer& s) { s.route("GET", "/r", Response::redirect(302, "https://elsewhere.invalid/x")); },
                     "/r", {}, CURLE_OK, 302, "", {"Location: https://elsewhere.invalid/x"}, {}});
        c.push_back({"close_delimited_body",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "until the end");
                         r.framing = Response::Framing::Close;
                         s.route("GET", "/close", r);
                     },
                     "/close", {}, CURLE_OK, 200, "until the end", {"Connection: close"}, {"Content-Length"}});
        c.push_back({"chunks_with_pauses",
                     [](LoopbackServer& s) {
                         Response r;
                         r.framing = Response::Framing::Chunked;
                         r.chunks = chunksOf({"ab", "cde", "f"});
                         r.chunkPause = 30ms;
                         s.route("GET", "/chunked", r);
                     },
                     "/chunked", {}, CURLE_OK, 200, "abcdef", {"Transfer-Encoding: chunked"}, {"Content-Length"}});
        c.push_back({"body_cut_into_chunks",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "0123456789");
                         r.framing = Response::Framing::Chunked;
                         r.chunkSize = 3;
                         s.route("GET", "/cut", r);
                     },
                     "/cut", {}, CURLE_OK, 200, "0123456789", {"Transfer-Encoding: chunked"}, {}});
        c.push_back({"drop_after_bytes_with_length",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "0123456789");
                         r.dropAfterBytes = 4;
                         s.route("GET", "/drop", r);
                     },
                     "/drop", {}, CURLE_PARTIAL_FILE, 200, "0123", {"Content-Length: 10"}, {}});
        c.push_back({"drop_inside_a_chunk",
                     [](LoopbackServer& s) {
                         Response r;
                         r.framing = Response::Framing::Chunked;
                         r.chunks = chunksOf({"abc", "defgh"});
                         r.dropAfterBytes = 5;
                         s.route("GET", "/dropchunk", r);
                     },
                     "/dropchunk", {}, CURLE_PARTIAL_FILE, 200, "abcde", {}, {}});
        c.push_back({"close_without_answer",
                     [](LoopbackServer& s) {
                         Response r;
                         r.closeWithoutAnswer = true;
                         s.route("GET", "/gone", r);
                     },
                     "/gone", {}, CURLE_GOT_NOTHING, 0, "", {}, {}});
        c.push_back({"timed_stall_then_rest",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "0123456789");
                         r.stallAfterBytes = 3;
                         r.stallFor = 100ms;
                         s.route("GET", "/slow", r);
                     },
                     "/slow", {}, CURLE_OK, 200, "0123456789", {}, {}});
        c.push_back({"stall_until_stopped_times_out",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "0123456789");
                         r.stallAfterBytes = 6;
                         s.route("GET", "/stall", r);
                     },
                     "/stall", {"GET", "", false, 600}, CURLE_OPERATION_TIMEDOUT, 200, "012345", {}, {}});
        c.push_back({"stall_before_headers_times_out",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "x");
                         r.stallBeforeHeaders = true;
                         s.route("GET", "/mute", r);
                     },
                     "/mute", {"GET", "", false, 600}, CURLE_OPERATION_TIMEDOUT, 0, "", {}, {}});
        c.push_back({"head_takes_get_headers_only",
                     [](LoopbackServer& s) { s.route("GET", "/h", Response::text(200, "twelve bytes")); }, "/h",
                     {"HEAD"}, CURLE_OK, 200, "", {"Content-Length: 12"}, {}});
        c.push_back({"head_own_answer",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "get body");
                         r.head = std::make_shared<Response>(Response::text(405, "never sent"));
                         r.head->headers.emplace_back("X-Head", "1");
                         s.route("GET", "/split", r);
                     },
                     "/split", {"HEAD"}, CURLE_OK, 405, "", {"X-Head: 1", "Content-Length: 10"}, {}});
        c.push_back({"get_ignores_head_answer",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "get body");
                         r.head = std::make_shared<Response>(Response::text(405, "never sent"));
                         s.route("GET", "/split", r);
                     },
                     "/split", {}, CURLE_OK, 200, "get body", {}, {}});
        c.push_back({"head_route_beats_get_route",
                     [](LoopbackServer& s) {
                         s.route("GET", "/hr", Response::text(200, "get"));
                         s.route("HEAD", "/hr", Response::text(204, ""));
                     },
                     "/hr", {"HEAD"}, CURLE_OK, 204, "", {}, {}});
        c.push_back({"longest_prefix_wins",
                     [](LoopbackServer& s) {
                         s.routePrefix("GET", "/files/", Response::text(200, "short"));
                         s.routePrefix("GET", "/files/big/", Response::text(200, "long"));
                         s.routePrefix("*", "/files/big/", Response::text(200, "any method"));
                     },
                     "/files/big/x.zip", {}, CURLE_OK, 200, "long", {}, {}});
        c.push_back({"exact_beats_prefix",
                     [](LoopbackServer& s) {
                         s.routePrefix("GET", "/", Response::text(200, "prefix"));
                         s.route("*", "/exact", Response::text(200, "exact"));
                     },
                     "/exact", {}, CURLE_OK, 200, "exact", {}, {}});
        c.push_back({"method_must_match",
                     [](LoopbackServer& s) { s.route("POST", "/only-post", Response::text(200, "posted")); },
                     "/only-post", {}, CURLE_OK, 404, "not found\n", {}, {}});
        c.push_back({"handler_sees_method_and_body",
                     [](LoopbackServer& s) {
                         s.route("POST", "/echo", [](const Request& r) {
                             return Response::text(201, r.method + ":" + r.body + ":" + r.header("content-type"));
                         });
                     },
                     "/echo", {"POST", "k=v"}, CURLE_OK, 201, "POST:k=v:application/x-www-form-urlencoded", {}, {}});
        c.push_back({"lying_length_header",
                     [](LoopbackServer& s) {
                         Response r = Response::text(200, "short");
                         r.headers.emplace_back("Content-Length", "50");
                         r.closeAfter = true;
                         s.route("GET", "/lie", r);
                     },
                     "/lie", {}, CURLE_PARTIAL_FILE, 200, "short", {"Content-Length: 50"}, {}});
        return c;
    }();
    return all;
}

class LoopbackCase : public ::testing::TestWithParam<Case> {};

TEST_P(LoopbackCase, CurlSeesTheAnswer) {
    const Case& c = GetParam();
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        LoopbackServer server;
        std::string error;
        c.setup(server);
        LoopbackServer::Options options;
        options.tls = tls;
        ASSERT_TRUE(server.start(options, error)) << error;
        FetchOptions request = c.request;
        request.caPem = server.certificatePem();
        Fetch f = fetch(server.url(c.target), request);
        EXPECT_EQ(f.code, c.code) << curl_easy_strerror(f.code);
        EXPECT_EQ(f.status, c.status);
        EXPECT_EQ(f.body, c.body);
        EXPECT_EQ(f.redirects, c.redirects);
        for (const auto& line : c.headerLines) EXPECT_TRUE(hasHeaderLine(f.headers, line)) << line << "\n" << f.headers;
        for (const auto& name : c.absentHeaders) {
            EXPECT_EQ(f.headers.find("\r\n" + name + ":"), std::string::npos) << name << "\n" << f.headers;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, LoopbackCase, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(LoopbackServer, LogsRequestsAndCountsHitsPerRoute) {
    LoopbackServer server;
    std::string error;
    server.route("GET", "/m", Response::text(200, "m"));
    server.routePrefix("*", "/p/", Response::text(200, "p"));
    server.route("GET", "/turns", zrvk::test::inTurn({Response::text(503, "busy"), Response::text(200, "ready")}));
    ASSERT_TRUE(server.start(error)) << error;

    CURL* curl = curl_easy_init();
    struct curl_slist* extra = curl_slist_append(nullptr, "X-Probe: yes");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, extra);
    EXPECT_EQ(fetch(curl, server.url("/m")).status, 200);
    EXPECT_EQ(fetch(curl, server.url("/p/a%20b?x=1")).status, 200);
    EXPECT_EQ(fetch(curl, server.url("/p/c"), {"POST", "payload"}).status, 200);
    EXPECT_EQ(fetch(curl, server.url("/m"), {"HEAD"}).status, 200);
    EXPECT_EQ(fetch(curl, server.url("/none")).status, 404);
    long connects = -1;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    EXPECT_EQ(connects, 0) << "the connection is kept alive";
    curl_easy_cleanup(curl);
    curl_slist_free_all(extra);

    EXPECT_EQ(server.hits("/m"), 2u);
    EXPECT_EQ(server.hits("GET", "/m"), 2u);
    EXPECT_EQ(server.hits("/p/"), 2u);
    EXPECT_EQ(server.unmatchedHits(), 1u);

    std::vector<Request> log = server.requests();
    ASSERT_EQ(log.size(), 5u);
    const char* methods[] = {"GET", "GET", "POST", "HEAD", "GET"};
    const char* targets[] = {"/m", "/p/a%20b?x=1", "/p/c", "/m", "/none"};
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].method, methods[i]);
        EXPECT_EQ(log[i].target, targets[i]);
        EXPECT_EQ(log[i].header("x-probe"), "yes");
    }
    EXPECT_EQ(log[2].body, "payload");
    server.clearRequests();
    EXPECT_EQ(server.requestCount(), 0u);

    const long turns[] = {503, 200, 200};
    for (long status : turns) EXPECT_EQ(fetch(server.url("/turns")).status, status);
    EXPECT_EQ(server.hits("/turns"), 3u);
}

TEST(LoopbackServer, ChunkedAndLargeUploadsAreReadWhole) {
    LoopbackServer server;
    std::string error;
    server.route("PUT", "/up", Response::text(200, "ok"));
    ASSERT_TRUE(server.start(error)) << error;

    std::string payload = zrvk::test::patternBytes(7, 3 * 1024 * 1024 + 5);
    CURL* curl = curl_easy_init();
    struct curl_slist* extra = curl_slist_append(nullptr, "Transfer-Encoding: chunked");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, extra);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    struct Source {
        const std::string* data;
        std::size_t at = 0;
    } src{&payload};
    curl_easy_setopt(curl, CURLOPT_READDATA, &src);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, +[](char* out, std::size_t size, std::size_t n, void* p) {
        auto* s = static_cast<Source*>(p);
        std::size_t k = std::min(size * n, s->data->size() - s->at);
        std::memcpy(out, s->data->data() + s->at, k);
        s->at += k;
        return k;
    });
    EXPECT_EQ(fetch(curl, server.url("/up")).status, 200);
    curl_easy_cleanup(curl);
    curl_slist_free_all(extra);

    // A large POST goes through "Expect: 100-continue".
    EXPECT_EQ(fetch(server.url("/up"), {"POST", payload}).status, 404);
    std::vector<Request> log = server.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].body, payload);
    EXPECT_EQ(log[1].body, payload);
}

TEST(LoopbackServer, StreamsLargeFilesAndGeneratedBodies) {
    const std::uint64_t size = 9ull * 1024 * 1024 + 13;
    std::string path = ::testing::TempDir() + "zrvk_loopback_file_" + std::to_string(getpid());
    {
        std::ofstream out(path, std::ios::binary);
        out << zrvk::test::patternBytes(0, static_cast<std::size_t>(size));
    }
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        LoopbackServer server;
        std::string error;
        server.route("GET", "/file.zip", Response::file(path, "application/zip"));
        server.route("GET", "/gen.bin", Response::pattern(size));
        Response chunked = Response::pattern(size);
        chunked.framing = Response::Framing::Chunked;
        chunked.chunkSize = 1 << 20;
        server.route("GET", "/gen-chunked.bin", chunked);
        server.route("GET", "/missing", Response::file(path + ".missing"));
        LoopbackServer::Options options;
        options.tls = tls;
        ASSERT_TRUE(server.start(options, error)) << error;
        FetchOptions request;
        request.caPem = server.certificatePem();
        request.timeoutMs = 30000;
        for (const char* target : {"/file.zip", "/gen.bin", "/gen-chunked.bin"}) {
            Fetch f = fetch(server.url(target), request);
            EXPECT_EQ(f.code, CURLE_OK) << target << ": " << curl_easy_strerror(f.code);
            ASSERT_EQ(f.body.size(), size) << target;
            EXPECT_TRUE(f.body == zrvk::test::patternBytes(0, static_cast<std::size_t>(size))) << target;
        }
        EXPECT_EQ(fetch(server.url("/missing"), request).status, 500);
    }
    std::remove(path.c_str());
}

TEST(LoopbackServer, StopEndsStallsAndPauses) {
    for (bool chunkPause : {false, true}) {
        auto server = std::make_unique<LoopbackServer>();
        std::string error;
        Response r = Response::text(200, "0123456789");
        if (chunkPause) {
            r.framing = Response::Framing::Chunked;
            r.chunkSize = 1;
            r.chunkPause = 60s;
        } else {
            r.stallAfterBytes = 2;
        }
        server->route("GET", "/stuck", r);
        ASSERT_TRUE(server->start(error)) << error;
        std::string url = server->url("/stuck");
        std::atomic<std::size_t> received{0};
        auto client = std::async(std::launch::async, [url, &received] {
            FetchOptions o;
            o.timeoutMs = 60000;
            o.bodyBytes = &received;
            return fetch(url, o);
        });
        // The first bytes are in: the answer is held in its stall or pause.
        ASSERT_TRUE(zrvk_test::waitUntil([&] { return received.load() > 0; }));
        auto before = std::chrono::steady_clock::now();
        server.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
        ASSERT_EQ(client.wait_for(10s), std::future_status::ready);
        Fetch f = client.get();
        EXPECT_NE(f.code, CURLE_OK);
    }
}

TEST(LoopbackServer, ReleaseStallsLetsTheAnswerFinish) {
    LoopbackServer server;
    std::string error;
    Response r = Response::text(200, "0123456789");
    r.stallAfterBytes = 5;
    server.route("GET", "/held", r);
    ASSERT_TRUE(server.start(error)) << error;
    auto client = std::async(std::launch::async, [&] { return fetch(server.url("/held")); });
    ASSERT_TRUE(server.waitForRequests(1, 5s));
    // A release only ends stalls already in progress: repeat until it lands.
    for (int i = 0; i < 100 && client.wait_for(50ms) != std::future_status::ready; ++i) server.releaseStalls();
    Fetch f = client.get();
    EXPECT_EQ(f.code, CURLE_OK);
    EXPECT_EQ(f.body, "0123456789");
}

TEST(LoopbackServer, FixedPortInUseIsAnError) {
    LoopbackServer first, second;
    std::string error;
    ASSERT_TRUE(first.start(error)) << error;
    LoopbackServer::Options options;
    options.port = first.port();
    EXPECT_FALSE(second.start(options, error));
    EXPECT_NE(error.find(std::to_string(first.port())), std::string::npos) << error;
}

// zrvk-serve in a process of its own, as scripts start it.
class ServeProgram : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "zrvk_serve_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        root_ = dir_ + "/root";
        ASSERT_EQ(mkdir(root_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((root_ + "/sub").c_str(), 0700), 0);
        write(root_ + "/catalogue.json", "{\"plugins\":[]}");
        write(root_ + "/sub/a.txt", "text");
        write(root_ + "/sub/index.html", "<p>index</p>");
        write(root_ + "/data.bin", "bin");
        write(dir_ + "/secret.txt", "outside");
        ASSERT_EQ(symlink((dir_ + "/secret.txt").c_str(), (root_ + "/link.txt").c_str()), 0);
    }

    // Starts the program and waits for its ready line.
    void launch(const std::vector<std::string>& extra = {}) {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> args{ZRVK_SERVE_PATH, "--port", "0", "--root", root_, "--log", dir_ + "/capture.jsonl"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, ZRVK_SERVE_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        ASSERT_EQ(rc, 0);
        FILE* f = fdopen(out[0], "r");
        char line[256] = {};
        ASSERT_NE(fgets(line, sizeof line, f), nullptr);
        fclose(f);
        std::string text(line);
        const std::string lead = "listening on ";
        ASSERT_EQ(text.compare(0, lead.size(), lead), 0) << text;
        ASSERT_EQ(text.back(), '\n');
        base_ = text.substr(lead.size(), text.size() - lead.size() - 1);
        std::size_t colon = base_.rfind(':');
        ASSERT_GT(std::stoi(base_.substr(colon + 1)), 0) << text;
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    static void write(const std::string& path, const std::string& data) {
        std::ofstream(path, std::ios::binary) << data;
    }

    // Exit status after SIGTERM, -1 when it did not exit in time.
    int terminate() {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(50ms);
        }
        return -1;
    }

    std::string dir_, root_, base_;
    pid_t pid_ = -1;
};

TEST_F(ServeProgram, ServesFilesAndCapturesPosts) {
    launch();
    ASSERT_EQ(base_.rfind("http://127.0.0.1:", 0), 0u) << base_;
    struct FileCase {
        const char* method;
        const char* target;
        long status;
        const char* type;  // nullptr: not checked
        const char* body;
    };
    const FileCase files[] = {
        {"GET", "/catalogue.json", 200, "application/json", "{\"plugins\":[]}"},
        {"HEAD", "/catalogue.json", 200, "application/json", ""},
        {"GET", "/sub/a.txt?v=2", 200, "text/plain; charset=utf-8", "text"},
        {"GET", "/sub/", 200, "text/html; charset=utf-8", "<p>index</p>"},
        {"GET", "/data.bin", 200, "application/octet-stream", "bin"},
        {"GET", "/missing.json", 404, nullptr, nullptr},
        {"GET", "/sub/../catalogue.json", 403, nullptr, nullptr},
        {"GET", "/%2e%2e/secret.txt", 403, nullptr, nullptr},
        {"GET", "/link.txt", 404, nullptr, nullptr},
    };
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    for (const auto& c : files) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        FetchOptions o;
        o.method = c.method;
        Fetch f = fetch(curl, base_ + c.target, o);
        EXPECT_EQ(f.code, CURLE_OK);
        EXPECT_EQ(f.status, c.status);
        if (c.type) {
            EXPECT_TRUE(hasHeaderLine(f.headers, std::string("Content-Type: ") + c.type)) << f.headers;
        }
        if (c.body) {
            EXPECT_EQ(f.body, c.body);
        }
    }
    curl_easy_cleanup(curl);

    std::string odd = "{\"e\":\"\xff\"}";
    for (const std::string& body : {std::string("{\"event\":\"start\"}"), odd}) {
        Fetch f = fetch(base_ + "/batch/", {"POST", body});
        EXPECT_EQ(f.status, 200);
        EXPECT_EQ(f.body, "{\"status\":1}");
    }
    EXPECT_EQ(terminate(), 0);

    std::ifstream in(dir_ + "/capture.jsonl");
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], (nlohmann::json{{"method", "POST"}, {"target", "/batch/"}, {"body", "{\"event\":\"start\"}"}}));
    EXPECT_EQ(lines[1]["body"], "{\"e\":\"\xef\xbf\xbd\"}");
}

TEST_F(ServeProgram, ServesHttpsWithTheCertificateItWrote) {
    launch({"--tls", "--cert-out", dir_ + "/cert.pem"});
    ASSERT_EQ(base_.rfind("https://127.0.0.1:", 0), 0u) << base_;
    std::ifstream in(dir_ + "/cert.pem");
    FetchOptions o;
    o.caPem.assign(std::istreambuf_iterator<char>(in), {});
    Fetch f = fetch(base_ + "/catalogue.json", o);
    EXPECT_EQ(f.code, CURLE_OK) << curl_easy_strerror(f.code);
    EXPECT_EQ(f.body, "{\"plugins\":[]}");
    EXPECT_EQ(terminate(), 0);
}

}  // namespace
