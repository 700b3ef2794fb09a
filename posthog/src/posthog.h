// Client for the product-analytics capture endpoint: an event queue posted
// by one background sender, the anonymous machine identity, stack traces for
// exception events and the crash-report facility.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifndef _WIN32
struct ifaddrs;
#endif

namespace PostHog {

struct Config {
    std::string apiKey;
    std::string appName;
    std::string appVersion;
    std::string host = "https://eu.i.posthog.com";
    std::string distinctId;
    std::string reservedText;
    int32_t flushIntervalMs = 30000;
    int32_t reservedCount = 10;
    bool reservedFlag = true;
};

struct StackFrame {
    std::string function;
    std::string filename;
    std::string module;
    int32_t lineno = 0;
    int32_t reservedNumber = 0;
    bool in_app = true;
};

namespace Stacktrace {

// The capture's frames are the client's.
using Frame = StackFrame;

// Frames of the calling thread, innermost first, after dropping `skip`.
std::vector<Frame> captureStructured(int maxFrames, int skip, const std::string& filter);
// The same frames as numbered text lines.
std::string capture(int maxFrames, int skip);

}  // namespace Stacktrace

namespace MachineID {

std::string getHashedMacIdWithFallback(const std::string& path);
std::string getHashedMacId();
std::string getHashedMacIdFromNode(unsigned long long node);

#ifndef _WIN32
// The node of the first usable 6-byte link-layer address of a getifaddrs
// list, in list order; 0 when there is none. Takes any list so that it can
// be checked without the machine's own interfaces.
unsigned long long nodeFromInterfaceList(const struct ifaddrs* list);
#endif

}  // namespace MachineID

namespace CrashHandler {

struct Report {
    std::string signal;
    std::string timestamp;
    std::string stackTrace;
    std::string platform;
    std::string loadAddress;
    std::string moduleSize;
    std::string execPath;
};

struct Metadata {
    std::map<std::string, std::string> values;
};

struct LogFileConfig {
    std::string path;
    int maxLines = 50;
};

bool install(const std::string& folder);
std::string getDefaultCrashDir(const std::string& appName);
std::optional<Report> loadPendingReport();
bool hasAddressesFromOurModule(const Report& report);
bool saveMetadata(const Metadata& metadata);
Metadata loadMetadata();
bool saveLogFileConfig(const LogFileConfig& config);
LogFileConfig loadLogFileConfig();
std::string readLastLines(const std::string& path, int maxLines);
std::string getCrashFilePath();
std::string getMetadataFilePath();
std::string getLogFileConfigPath();
bool isInstalled();

namespace Internal {
void signalHandler(int sig);
}

}  // namespace CrashHandler

class Client {
public:
    explicit Client(const Config& config);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool initialize();
    bool isEnabled() const;
    void setEnabled(bool enabled);
    std::string getDistinctId() const;

    void track(const std::string& event, const std::map<std::string, std::string>& props = {});
    void trackException(const std::string& type, const std::string& message, const std::string& component = "",
                        const std::map<std::string, std::string>& props = {});
    void setPersonProperties(const std::map<std::string, std::string>& props, bool once = false);

    void flush(int timeoutMs);
    void shutdown();

    std::string captureStacktrace(int maxFrames, int skip);
    std::vector<StackFrame> captureStacktraceStructured(int maxFrames, int skip);

    static std::string generateMachineId();
    static std::string generateMachineId(const std::string& path);

    void installCrashHandler(const std::string& folder);
    void setCrashMetadata(const std::map<std::string, std::string>& metadata);
    void setLogFile(const std::string& path, int maxLines);
    static std::string getDefaultCrashDir(const std::string& appName);

    class Impl;

private:
    std::unique_ptr<Impl> impl;
};

// In-process seams for the tests; nothing reads them from outside the
// program, and unset they change nothing.
namespace Testing {
// Capture host used instead of the configured one when non-empty.
void setHostOverride(const std::string& host);
// Whole-request limit in milliseconds; 0 restores the 10-second default.
void setRequestTimeoutMs(long ms);
// While set, the sender hands each request body to the sink (on its own
// thread) instead of posting it.
void setSendSink(std::function<void(const std::string& body)> sink);
// Path used by Client::generateMachineId(path) instead of its argument when non-empty.
void setIdFilePathOverride(const std::string& path);
#ifndef _WIN32
// Interface list read by getHashedMacId instead of getifaddrs while set.
void setInterfaceList(const struct ifaddrs* list);
void clearInterfaceList();
// Points the crash-report files at `folder` as install would, without
// installing any handler; an empty folder forgets them again.
void setCrashFolder(const std::string& folder);
#endif
}  // namespace Testing

}  // namespace PostHog
