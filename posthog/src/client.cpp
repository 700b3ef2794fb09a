// The analytics client: events become documents, wait in a queue and are
// posted one by one by a background sender.
#include "posthog_internal.h"

#include "system.h"

#include <curl/curl.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <ctime>
#include <functional>
#include <iostream>
#include <utility>

namespace PostHog {

namespace {

const char* const LIB_VERSION = "1.5.0";
const char* const CAPTURE_PATH = "/i/v0/e/";
const long REQUEST_TIMEOUT_MS = 10000;

// The tests' seams (see Testing in posthog.h); unset, they change nothing.
std::mutex g_seamMutex;
std::string g_hostOverride;
std::string g_idPathOverride;
std::atomic<long> g_timeoutOverrideMs{0};
std::function<void(const std::string&)> g_sendSink;

std::string captureHost(const std::string& configured) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    if (!g_hostOverride.empty()) return g_hostOverride;
    return configured;
}

// True when a test took the request body instead of the network.
bool deliveredToSink(const std::string& body) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> lock(g_seamMutex);
        sink = g_sendSink;
    }
    if (!sink) return false;
    sink(body);
    return true;
}

long requestTimeoutMs() {
    long ms = g_timeoutOverrideMs.load();
    if (ms > 0) return ms;
    return REQUEST_TIMEOUT_MS;
}

// The document with valid UTF-8 in every key and string. Keys are repaired
// before the document is written, not while: written as they are, two keys
// that differ only in invalid bytes would appear twice, and out of order.
nlohmann::json withValidText(const nlohmann::json& value) {
    if (value.is_string()) return System::withValidUtf8(value.get_ref<const std::string&>());
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& element : value) out.push_back(withValidText(element));
        return out;
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& item : value.items()) out[System::withValidUtf8(item.key())] = withValidText(item.value());
        return out;
    }
    return value;
}

// Text that is not valid UTF-8 (a character cut by a length limit, a stray
// byte from a file) is sent with replacement characters instead of throwing.
bool serialise(const nlohmann::json& doc, std::string& out) {
    try {
        out = doc.dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        // invalid UTF-8 somewhere: repaired below
    }
    try {
        out = withValidText(doc).dump();
        return true;
    } catch (...) {
        return false;
    }
}

// libcurl writes a reply body to stdout without a callback; the capture
// endpoint's answer is of no use to us.
size_t discardBody(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

nlohmann::json exceptionList(const std::string& type, const std::string& value, bool handled,
                             const nlohmann::json& frames) {
    nlohmann::json exception;
    exception["type"] = type;
    exception["value"] = value;
    exception["mechanism"] = {{"handled", handled}, {"synthetic", false}};
    exception["stacktrace"] = {{"type", "raw"}, {"frames", frames}};
    return nlohmann::json::array({exception});
}

bool Client::Impl::initialize() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (initialized.load()) return true;
    if (!config.distinctId.empty()) {
        activeDistinctId = config.distinctId;
    } else {
        activeDistinctId = MachineID::getHashedMacId();
        if (activeDistinctId.empty()) activeDistinctId = "unknown-" + std::to_string(std::time(nullptr));
    }
    os = detectPlatform();
    worker = std::thread(&Impl::workerLoop, this);
    initialized.store(true);
    std::cout << "[PostHog] Initialized, distinct_id: " << activeDistinctId.substr(0, 8) << "..." << std::endl;
    return true;
}

void Client::Impl::shutdown() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (!initialized.load()) return;
    {
        // Set under the lock so that the sender cannot check the flag, miss
        // the notification and then sleep a whole interval.
        std::lock_guard<std::mutex> lock(queueMutex);
        shuttingDown.store(true);
    }
    queueCondition.notify_all();
    if (worker.joinable()) worker.join();
    initialized.store(false);
    std::cout << "[PostHog] Shutdown complete" << std::endl;
}

nlohmann::json Client::Impl::baseDocument(const std::string& event) const {
    nlohmann::json doc;
    doc["api_key"] = config.apiKey;
    doc["event"] = event;
    doc["distinct_id"] = activeDistinctId;
    nlohmann::json properties = nlohmann::json::object();
    properties["$lib"] = config.appName;
    properties["$lib_version"] = config.appVersion;
    properties["$os"] = os;
    properties["posthog_cpp_version"] = LIB_VERSION;
    doc["properties"] = properties;
    return doc;
}

bool Client::Impl::enqueue(const nlohmann::json& doc) {
    std::string text;
    if (!serialise(doc, text)) {
        std::cerr << "[PostHog] Failed to serialise event" << std::endl;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        queue.push_back(std::move(text));
    }
    queueCondition.notify_one();
    return true;
}

void Client::Impl::track(const std::string& event, const std::map<std::string, std::string>& props) {
    if (!accepting()) return;
    bool queued = false;
    try {
        nlohmann::json doc = baseDocument(event);
        for (const auto& pair : props) doc["properties"][pair.first] = pair.second;
        queued = enqueue(doc);
    } catch (...) {
        queued = false;
    }
    if (queued) std::cout << "[PostHog] Queued event: " << event << std::endl;
}

void Client::Impl::trackException(const std::string& type, const std::string& message,
                                  const std::string& component, const std::map<std::string, std::string>& props) {
    if (!accepting()) return;
    std::vector<Stacktrace::Frame> frames = Stacktrace::captureStructured(15, 2, config.appName);
    bool queued = false;
    try {
        nlohmann::json doc = baseDocument("$exception");
        nlohmann::json& properties = doc["properties"];
        if (!component.empty()) properties["component"] = component;
        for (const auto& pair : props) properties[pair.first] = pair.second;
        nlohmann::json frameList = nlohmann::json::array();
        for (const auto& frame : frames) {
            nlohmann::json f;
            f["platform"] = "custom";
            f["lang"] = "cpp";
            f["function"] = frame.function;
            if (!frame.filename.empty()) f["filename"] = frame.filename;
            if (frame.lineno > 0) f["lineno"] = frame.lineno;
            if (!frame.module.empty()) f["module"] = frame.module;
            f["in_app"] = frame.in_app;
            f["resolved"] = true;
            frameList.push_back(f);
        }
        properties["$exception_list"] = exceptionList(type, message.substr(0, 500), true, frameList);
        queued = enqueue(doc);
    } catch (...) {
        queued = false;
    }
    if (queued) std::cout << "[PostHog] Queued exception: " << type << std::endl;
}

void Client::Impl::setPersonProperties(const std::map<std::string, std::string>& props, bool once) {
    if (!accepting() || props.empty()) return;
    const char* key = once ? "$set_once" : "$set";
    bool queued = false;
    try {
        nlohmann::json doc = baseDocument("$set");
        nlohmann::json values = nlohmann::json::object();
        for (const auto& pair : props) values[pair.first] = pair.second;
        doc["properties"][key] = values;
        queued = enqueue(doc);
    } catch (...) {
        queued = false;
    }
    if (queued) std::cout << "[PostHog] Queued person properties (" << key << ")" << std::endl;
}

void Client::Impl::flush(int timeoutMs) {
    auto start = std::chrono::steady_clock::now();
    auto pending = [this] {
        std::lock_guard<std::mutex> lock(queueMutex);
        return queue.size();
    };
    if (pending() == 0) return;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(timeoutMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (pending() == 0) return;
    }
    std::cerr << "[PostHog] Flush timeout" << std::endl;
}

void Client::Impl::workerLoop() {
    for (;;) {
        if (shuttingDown.load()) break;
        std::unique_lock<std::mutex> lock(queueMutex);
        queueCondition.wait_until(lock,
                                  std::chrono::steady_clock::now() + std::chrono::milliseconds(config.flushIntervalMs),
                                  [this] { return !queue.empty() || shuttingDown.load(); });
        if (!queue.empty()) {
            std::string text = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            sendEvent(text);
            continue;
        }
        lock.unlock();
        if (shuttingDown.load()) break;
    }
    for (;;) {
        std::unique_lock<std::mutex> lock(queueMutex);
        if (queue.empty()) return;
        std::string text = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        sendEvent(text);
    }
}

void Client::Impl::sendEvent(const std::string& text) {
    if (deliveredToSink(text)) return;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        std::cerr << "[PostHog] Failed to init curl" << std::endl;
        return;
    }
    std::string url = captureHost(config.host) + CAPTURE_PATH;
    struct curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    // Only the configured host's own scheme: an https host is never left for http.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, url.compare(0, 7, "http://") == 0 ? "http" : "https");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, text.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(text.size()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, requestTimeoutMs());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discardBody);
    // The sender is one thread among others: time-outs must not use signals.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) std::cerr << "[PostHog] Send failed: " << curl_easy_strerror(result) << std::endl;
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
}

Client::Client(const Config& config) : impl(new Impl(config)) {}
Client::~Client() = default;

bool Client::initialize() { return impl->initialize(); }
bool Client::isEnabled() const { return impl->accepting(); }
void Client::setEnabled(bool enabled) { impl->enabled.store(enabled); }
std::string Client::getDistinctId() const { return impl->activeDistinctId; }

void Client::track(const std::string& event, const std::map<std::string, std::string>& props) {
    impl->track(event, props);
}

void Client::trackException(const std::string& type, const std::string& message, const std::string& component,
                            const std::map<std::string, std::string>& props) {
    impl->trackException(type, message, component, props);
}

void Client::setPersonProperties(const std::map<std::string, std::string>& props, bool once) {
    impl->setPersonProperties(props, once);
}

void Client::flush(int timeoutMs) { impl->flush(timeoutMs); }
void Client::shutdown() { impl->shutdown(); }

std::string Client::captureStacktrace(int maxFrames, int skip) { return Stacktrace::capture(maxFrames, skip + 1); }

std::vector<StackFrame> Client::captureStacktraceStructured(int maxFrames, int skip) {
    return Stacktrace::captureStructured(maxFrames, skip + 1, "");
}

std::string Client::generateMachineId() { return MachineID::getHashedMacId(); }

std::string Client::generateMachineId(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(g_seamMutex);
        if (!g_idPathOverride.empty()) return MachineID::getHashedMacIdWithFallback(g_idPathOverride);
    }
    return MachineID::getHashedMacIdWithFallback(path);
}

namespace Testing {

void setHostOverride(const std::string& host) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    g_hostOverride = host;
}

void setRequestTimeoutMs(long ms) { g_timeoutOverrideMs.store(ms); }

void setSendSink(std::function<void(const std::string& body)> sink) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    g_sendSink = std::move(sink);
}

void setIdFilePathOverride(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    g_idPathOverride = path;
}

}  // namespace Testing

}  // namespace PostHog
