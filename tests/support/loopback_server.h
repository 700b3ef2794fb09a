// A small HTTP/1.1 server on 127.0.0.1 for tests, benchmarks and the demo.
//
// Routes match the request method and the raw request target (query string
// included, nothing decoded). A route answers with a fixed Response or with a
// Handler called for every request. Responses can misbehave on purpose:
// close-delimited or chunked bodies, pauses between chunks, stalls, drops
// after N body bytes, closing without an answer. Large bodies are streamed
// from a file or a generator, never held in memory.
//
//   zrvk::test::LoopbackServer server;
//   std::string error;
//   server.route("GET", "/manifest.json", Response::text(200, json, "application/json"));
//   server.route("GET", "/old", Response::redirect(302, "/manifest.json"));
//   server.routePrefix("GET", "/files/", [](const Request& r) { ... });
//   ASSERT_TRUE(server.start(error)) << error;
//   curl(server.url("/manifest.json"));
//   EXPECT_EQ(server.hits("/manifest.json"), 1u);
//
// Matching order: exact target before prefix routes, the longest prefix
// first, an exact method before the wildcard method "*". A HEAD request with
// no HEAD route takes the GET route and gets its headers only (with the
// Content-Length the GET answer would have); Response::head gives HEAD its
// own answer on the same route. Unmatched requests get 404.
//
// Handlers run on the connection's thread, several at once when clients
// connect in parallel. inTurn() answers differently per hit (fail first,
// then succeed).
//
// Connections are kept alive (HTTP/1.1) unless the request or the response
// asks for a close. Every request is logged in arrival order, matched or not.
// All methods are thread-safe; routes may change while the server runs.
// The destructor stops the server, ending stalls and pauses at once.
//
// With TLS the certificate is its own authority: give certificatePem() to
// CURLOPT_CAINFO_BLOB, or writeCertificate() a file for CURLOPT_CAINFO.
//
// Linux only (sendfile). The server ignores SIGPIPE process-wide (TLS
// writes would raise it).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zrvk::test {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string target;   // raw, as sent
    std::string version;  // "HTTP/1.1"
    Headers headers;      // in the order sent
    std::string body;     // de-chunked when sent chunked

    // Value of the first header with this name (case-insensitive), "" if absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

// Fills `count` bytes of a generated body starting at `offset`.
using BodyGenerator = std::function<void(std::uint64_t offset, char* out, std::size_t count)>;

struct Response {
    enum class Framing {
        ContentLength,  // Content-Length header
        Close,          // no length; the body ends when the connection closes
        Chunked,        // Transfer-Encoding: chunked
    };

    int status = 200;
    std::string reason;  // empty: the usual phrase for `status`
    Headers headers;     // sent as given; a Content-Length or Transfer-Encoding
                         // here replaces the one the framing would add

    // Body: exactly one of `body`, `filePath` or `generator` (with
    // `generatedSize`) is used, in that order of preference.
    std::string body;
    std::string filePath;  // streamed; a file that cannot be opened gives 500
    BodyGenerator generator;
    std::uint64_t generatedSize = 0;

    Framing framing = Framing::ContentLength;
    // Chunked framing: these chunks when given (the body fields are then
    // ignored), otherwise the body cut into pieces of `chunkSize`.
    std::vector<std::string> chunks;
    std::size_t chunkSize = 64 * 1024;
    std::chrono::milliseconds chunkPause{0};  // wait before every chunk but the first

    // Faults. Byte counts are body bytes, chunk framing not counted.
    bool closeWithoutAnswer = false;             // read the request, then close
    bool stallBeforeHeaders = false;             // stall before sending anything
    std::optional<std::uint64_t> stallAfterBytes;  // stall after headers + N body bytes
    // How long a stall lasts; zero: until the server stops or releaseStalls().
    // After a timed stall the rest of the answer follows.
    std::chrono::milliseconds stallFor{0};
    std::optional<std::uint64_t> dropAfterBytes;  // close after N body bytes
    bool closeAfter = false;                      // close after this answer

    // Own answer for HEAD on the same route (its body is never sent).
    std::shared_ptr<Response> head;

    static Response text(int status, std::string body, std::string contentType = "text/plain");
    // Location is sent as given: relative ("/x", "x") or absolute.
    static Response redirect(int status, std::string location);
    static Response file(std::string path, std::string contentType = "application/octet-stream");
    static Response generated(std::uint64_t size, BodyGenerator generator,
                              std::string contentType = "application/octet-stream");
    // A generated body of `size` bytes of patternByte(i).
    static Response pattern(std::uint64_t size);

    // Sets a header, replacing one of the same name; returns *this.
    Response& withHeader(std::string name, std::string value);
};

// Deterministic content for large bodies: byte i of Response::pattern().
char patternByte(std::uint64_t i);
std::string patternBytes(std::uint64_t offset, std::size_t count);

using Handler = std::function<Response(const Request&)>;

// A handler giving the answers in turn, one per request; the last repeats.
Handler inTurn(std::vector<Response> answers);

class LoopbackServer {
public:
    struct Options {
        std::uint16_t port = 0;  // 0: any free port
        bool tls = false;        // HTTPS with a self-signed certificate made at start
    };

    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool start(std::string& error) { return start(Options{}, error); }
    bool start(const Options& options, std::string& error);
    // Stops accepting, closes every connection, ends stalls, joins threads.
    void stop();

    std::uint16_t port() const;
    bool tls() const;
    std::string baseUrl() const;                        // "http://127.0.0.1:PORT"
    std::string url(const std::string& target) const;   // baseUrl() + target
    // The self-signed certificate (PEM) when TLS is on, for CURLOPT_CAINFO_BLOB.
    std::string certificatePem() const;
    bool writeCertificate(const std::string& path, std::string& error) const;

    // Routes; `method` "*" matches every method. Registering the same
    // method and target again replaces the answer and keeps the hit count.
    void route(const std::string& method, const std::string& target, Response response);
    void route(const std::string& method, const std::string& target, Handler handler);
    void routePrefix(const std::string& method, const std::string& prefix, Response response);
    void routePrefix(const std::string& method, const std::string& prefix, Handler handler);
    void clearRoutes();

    // Requests answered by the routes registered with this target or prefix
    // (all methods, or one method). A HEAD answered by a GET route counts
    // on that GET route.
    std::size_t hits(const std::string& target) const;
    std::size_t hits(const std::string& method, const std::string& target) const;
    std::size_t unmatchedHits() const;

    // The request log, in arrival order.
    std::vector<Request> requests() const;
    std::size_t requestCount() const;
    void clearRequests();
    // Waits until at least `count` requests are logged; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

    // Ends the stalls in progress (timed ones too).
    void releaseStalls();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zrvk::test
