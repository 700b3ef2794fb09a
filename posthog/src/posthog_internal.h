// What the analytics library's units share: the client's inner state (crash
// reports are queued through it as well) and the bodies that each platform
// gives in a file of its own.
#pragma once

#include "posthog.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace PostHog {

// ---------------------------------------------------------------------------
// The client

class Client::Impl {
public:
    explicit Impl(const Config& settings) : config(settings) {}
    ~Impl() { shutdown(); }

    bool initialize();
    void shutdown();
    void track(const std::string& event, const std::map<std::string, std::string>& props);
    void trackException(const std::string& type, const std::string& message, const std::string& component,
                        const std::map<std::string, std::string>& props);
    void setPersonProperties(const std::map<std::string, std::string>& props, bool once);
    void flush(int timeoutMs);
    bool trackCrashReport(const CrashHandler::Report& report);

    // Nothing new is taken once shutdown has begun: callers that keep
    // tracking would otherwise keep the drain (and shutdown) going forever.
    bool accepting() const { return enabled.load() && initialized.load() && !shuttingDown.load(); }

    Config config;
    std::string activeDistinctId;
    std::string os;
    std::atomic<bool> enabled{true};
    std::atomic<bool> initialized{false};
    std::atomic<bool> shuttingDown{false};
    std::deque<std::string> queue;
    mutable std::mutex queueMutex;
    std::condition_variable queueCondition;
    std::thread worker;
    // Keeps initialize and shutdown from overlapping (e.g. an explicit
    // shutdown racing the destructor).
    std::mutex lifecycleMutex;

private:
    nlohmann::json baseDocument(const std::string& event) const;
    bool enqueue(const nlohmann::json& doc);
    void workerLoop();
    void sendEvent(const std::string& text);
};

// The "$exception_list" property of an event: one exception and its frames.
nlohmann::json exceptionList(const std::string& type, const std::string& value, bool handled,
                             const nlohmann::json& frames);

// The events' "$os" text: the system's name, architecture and version.
std::string detectPlatform();

// ---------------------------------------------------------------------------
// Stack traces

namespace Stacktrace {

inline std::string toHex(unsigned long long value) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%llx", value);
    return buf;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace Stacktrace

// ---------------------------------------------------------------------------
// Machine identity

namespace MachineID {

// The node of a 6-byte address; 0 when every byte is zero.
unsigned long long nodeFromBytes(const unsigned char* bytes);
// The node of the machine's first usable adapter; 0 when there is none.
unsigned long long systemNode();
// What the id file's own open handle tells of it.
struct IdFileFacts {
    bool regular = false;          // a plain file: no folder, device, pipe, link or reparse point
    unsigned long long links = 0;  // the names it has on its volume
    bool ownedByCurrentUser = false;
};
// The id file lies in a folder where every user may create entries: a second
// name of another file (whose first line would leave the machine as the id,
// and which a blank line would have rewritten), or a file of another user,
// is neither read nor written; the computed id is used instead.
bool isOwnIdFile(const IdFileFacts& facts);
// Adds a chunk of the file to its first line; true once the line is complete.
bool appendToFirstLine(std::string& line, const char* chunk, std::size_t size);
// The first line of the id file; false when it cannot be read as ours.
bool readFirstLine(const std::string& path, std::string& line);
// Makes the id the file's whole content, never through a planted link.
void writeId(const std::string& path, const std::string& id);

}  // namespace MachineID

// ---------------------------------------------------------------------------
// Crash reports

namespace CrashHandler {

namespace Internal {
extern bool g_installed;
extern char g_crashFilePath[512];
}  // namespace Internal

// How far the image loaded at base reaches; 0 when it cannot be told.
uint64_t imageSize(const void* base);

}  // namespace CrashHandler

}  // namespace PostHog
