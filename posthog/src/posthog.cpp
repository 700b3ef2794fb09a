#include "posthog.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <dbghelp.h>
#else
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>
#endif

#if defined(__linux__)
#include <link.h>
#include <linux/if_packet.h>
#elif defined(__APPLE__)
#include <mach-o/dyld.h>
#include <mach-o/loader.h>
#include <net/if_dl.h>
#endif

namespace PostHog {

namespace {

const char* const LIB_VERSION = "1.5.0";
const char* const CAPTURE_PATH = "/i/v0/e/";
const long REQUEST_TIMEOUT_MS = 10000;

#ifdef ZRVK_TESTING
std::mutex g_seamMutex;
std::string g_hostOverride;
std::string g_idPathOverride;
std::atomic<long> g_timeoutOverrideMs{0};
std::function<void(const std::string&)> g_sendSink;
#ifndef _WIN32
std::atomic<bool> g_useInterfaceList{false};
std::atomic<const struct ifaddrs*> g_interfaceList{nullptr};
#endif
#endif

std::string captureHost(const std::string& configured) {
#ifdef ZRVK_TESTING
    std::lock_guard<std::mutex> lock(g_seamMutex);
    if (!g_hostOverride.empty()) return g_hostOverride;
#endif
    return configured;
}

#ifdef ZRVK_TESTING
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
#endif

long requestTimeoutMs() {
#ifdef ZRVK_TESTING
    long ms = g_timeoutOverrideMs.load();
    if (ms > 0) return ms;
#endif
    return REQUEST_TIMEOUT_MS;
}

std::string toHex(unsigned long long value) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%llx", value);
    return buf;
}

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return "";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 0x0f];
    }
    return out;
}

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string validText(const std::string& text) {
    const std::string quoted = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

// The document with valid UTF-8 in every key and string. Keys are repaired
// before the document is written, not while: written as they are, two keys
// that differ only in invalid bytes would appear twice, and out of order.
nlohmann::json withValidText(const nlohmann::json& value) {
    if (value.is_string()) return validText(value.get_ref<const std::string&>());
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& element : value) out.push_back(withValidText(element));
        return out;
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& item : value.items()) out[validText(item.key())] = withValidText(item.value());
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

// ---------------------------------------------------------------------------
// Stack traces

namespace Stacktrace {

namespace {
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

#ifndef _WIN32
std::string demangle(const char* name) {
    int status = 0;
    char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || out == nullptr) {
        std::free(out);
        return name;
    }
    std::string result(out);
    std::free(out);
    return result;
}
#endif
}  // namespace

#ifdef _WIN32

std::vector<Frame> captureStructured(int maxFrames, int skip, const std::string& filter) {
    std::vector<Frame> frames;
    if (maxFrames < 1) return frames;
    HANDLE process = GetCurrentProcess();
    HANDLE thread = GetCurrentThread();
    if (!SymInitialize(process, nullptr, TRUE)) return frames;
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES);

    CONTEXT context;
    std::memset(&context, 0, sizeof(context));
    RtlCaptureContext(&context);
    STACKFRAME64 frame;
    std::memset(&frame, 0, sizeof(frame));
    frame.AddrPC.Offset = context.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;

    alignas(SYMBOL_INFO) char symbolBuffer[sizeof(SYMBOL_INFO) + 2000];
    int index = 0;
    while (static_cast<int>(frames.size()) < maxFrames &&
           StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, &context, nullptr,
                       SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
        if (index++ < skip) continue;
        Frame out;
        DWORD64 pc = frame.AddrPC.Offset;
        std::memset(symbolBuffer, 0, sizeof(symbolBuffer));
        SYMBOL_INFO* symbol = reinterpret_cast<SYMBOL_INFO*>(symbolBuffer);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
        symbol->MaxNameLen = 2000;
        DWORD64 displacement = 0;
        if (SymFromAddr(process, pc, &displacement, symbol)) {
            out.function = symbol->Name;
            IMAGEHLP_LINE64 line;
            std::memset(&line, 0, sizeof(line));
            line.SizeOfStruct = sizeof(line);
            DWORD lineDisplacement = 0;
            if (SymGetLineFromAddr64(process, pc, &lineDisplacement, &line)) {
                if (line.FileName) out.filename = line.FileName;
                out.lineno = static_cast<int32_t>(line.LineNumber);
            }
        } else {
            out.function = "0x" + toHex(pc);
        }
        if (!filter.empty()) out.in_app = contains(out.filename, filter) || contains(out.function, filter);
        frames.push_back(out);
    }
    SymCleanup(process);
    return frames;
}

std::string capture(int, int) { return "(no stack trace available)"; }

#else

std::vector<Frame> captureStructured(int maxFrames, int skip, const std::string& filter) {
    std::vector<Frame> frames;
    if (maxFrames < 1 || skip < 0) return frames;
    std::vector<void*> addresses(static_cast<size_t>(skip) + static_cast<size_t>(maxFrames));
    int count = backtrace(addresses.data(), static_cast<int>(addresses.size()));
    if (count <= skip) return frames;
    int end = std::min(count, skip + maxFrames);
    for (int i = skip; i < end; ++i) {
        Frame frame;
        Dl_info info;
        std::memset(&info, 0, sizeof(info));
        if (dladdr(addresses[i], &info) == 0) {
            frame.function = "0x" + toHex(reinterpret_cast<uintptr_t>(addresses[i]));
            frames.push_back(frame);
            continue;
        }
        frame.function = info.dli_sname ? demangle(info.dli_sname) : "(unknown)";
        if (info.dli_fname && info.dli_fname[0]) {
            frame.filename = info.dli_fname;
            std::string::size_type slash = frame.filename.rfind('/');
            if (slash != std::string::npos) frame.module = frame.filename.substr(slash + 1);
        }
        if (!filter.empty()) frame.in_app = contains(frame.module, filter) || contains(frame.function, filter);
        frames.push_back(frame);
    }
    return frames;
}

std::string capture(int maxFrames, int skip) {
    if (maxFrames < 1 || skip < 0) return "(no stack trace available)";
    std::vector<void*> addresses(static_cast<size_t>(skip) + static_cast<size_t>(maxFrames));
    int count = backtrace(addresses.data(), static_cast<int>(addresses.size()));
    if (count <= skip) return "(no stack trace available)";
    char** symbols = backtrace_symbols(addresses.data(), count);
    if (symbols == nullptr) return "(failed to resolve symbols)";
    std::string out;
    int end = std::min(count, skip + maxFrames);
    for (int i = skip; i < end; ++i) {
        Dl_info info;
        std::memset(&info, 0, sizeof(info));
        std::string text;
        if (dladdr(addresses[i], &info) != 0 && info.dli_sname != nullptr) {
            text = demangle(info.dli_sname);
            if (info.dli_saddr != nullptr) {
                text += " + " + std::to_string(reinterpret_cast<uintptr_t>(addresses[i]) -
                                               reinterpret_cast<uintptr_t>(info.dli_saddr));
            }
        } else {
            text = symbols[i];
        }
        out += "#" + std::to_string(i - skip) + "  " + text + "\n";
    }
    std::free(symbols);
    return out;
}

#endif

}  // namespace Stacktrace

// ---------------------------------------------------------------------------
// Machine identity

namespace MachineID {

namespace {
std::string trimBlanks(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    std::string::size_type last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

unsigned long long nodeFromBytes(const unsigned char* bytes) {
    unsigned long long node = 0;
    bool allZero = true;
    for (int i = 0; i < 6; ++i) {
        node = (node << 8) | bytes[i];
        if (bytes[i] != 0) allZero = false;
    }
    return allZero ? 0 : node;
}

#ifdef _WIN32
unsigned long long systemNode() {
    ULONG size = 15000;
    std::vector<unsigned char> buffer(size, 0);
    ULONG result = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr,
                                        reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size, 0);
        result = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr,
                                      reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()), &size);
    }
    if (result != NO_ERROR) return 0;
    for (auto* a = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.data()); a != nullptr; a = a->Next) {
        if (a->PhysicalAddressLength != 6) continue;
        unsigned long long node = nodeFromBytes(a->PhysicalAddress);
        if (node != 0) return node;
    }
    return 0;
}
#else
unsigned long long systemNode() {
#ifdef ZRVK_TESTING
    if (g_useInterfaceList.load()) return nodeFromInterfaceList(g_interfaceList.load());
#endif
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    unsigned long long node = nodeFromInterfaceList(list);
    freeifaddrs(list);
    return node;
}
#endif
}  // namespace

#ifndef _WIN32
unsigned long long nodeFromInterfaceList(const struct ifaddrs* list) {
    for (const struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const struct sockaddr* address = entry->ifa_addr;
        if (address == nullptr) continue;
#if defined(__APPLE__)
        if (address->sa_family != AF_LINK) continue;
        const struct sockaddr_dl* link = reinterpret_cast<const struct sockaddr_dl*>(address);
        if (link->sdl_alen != 6) continue;
        unsigned long long node = nodeFromBytes(reinterpret_cast<const unsigned char*>(LLADDR(link)));
#else
        if (address->sa_family != AF_PACKET) continue;
        const struct sockaddr_ll* link = reinterpret_cast<const struct sockaddr_ll*>(address);
        if (link->sll_halen != 6) continue;
        unsigned long long node = nodeFromBytes(link->sll_addr);
#endif
        if (node != 0) return node;
    }
    return 0;
}
#endif

std::string getHashedMacIdFromNode(unsigned long long node) {
    if (node == 0) return "";
    std::string text;
    for (int shift = 10; shift >= 0; shift -= 2) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned>((node >> shift) & 0xff));
        if (!text.empty()) text += ":";
        text += pair;
    }
    std::string digest = sha256Hex(text);
    if (digest.size() < 32) return "";
    return digest.substr(0, 8) + "-" + digest.substr(8, 4) + "-" + digest.substr(12, 4) + "-" +
           digest.substr(16, 4) + "-" + digest.substr(20, 12);
}

std::string getHashedMacId() { return getHashedMacIdFromNode(systemNode()); }

namespace {
#ifdef _WIN32
bool readFirstLine(const std::string& path, std::string& line) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return false;
    std::getline(in, line);
    return true;
}

// id.txt lies in a data folder where any user may create entries, and the
// elevated installer writes it: a link, or a second name of another file,
// planted as id.txt is not written through.
void writeId(const std::string& path, const std::string& id) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
        info.nNumberOfLinks == 1 && SetEndOfFile(file)) {
        DWORD written = 0;
        WriteFile(file, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
    }
    CloseHandle(file);
}
#else
// id.txt lies in a folder that every user may write: a link planted there
// is neither read nor written through.
bool readFirstLine(const std::string& path, std::string& line) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    line.clear();
    char buffer[512];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        const char* end = static_cast<const char*>(std::memchr(buffer, '\n', static_cast<size_t>(n)));
        line.append(buffer, end ? static_cast<size_t>(end - buffer) : static_cast<size_t>(n));
        if (end || line.size() > 65536) break;
    }
    close(fd);
    return true;
}

// A file made here is opened to every user through its own descriptor (the
// umask would narrow the creation mode), so that each user's run can rewrite
// it; nothing privileged ever changes its mode.
void writeId(const std::string& path, const std::string& id) {
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    bool created = true;
    int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = open(path.c_str(), flags);
    }
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (!created || fchmod(fd, 0666) == 0) && ftruncate(fd, 0) == 0) {
        ssize_t written = write(fd, id.data(), id.size());
        (void)written;
    }
    close(fd);
}
#endif
}  // namespace

std::string getHashedMacIdWithFallback(const std::string& path) {
    if (!path.empty()) {
        std::string line;
        if (readFirstLine(path, line)) {
            line = trimBlanks(line);
            if (!line.empty()) return line;
        }
    }
    std::string id = getHashedMacId();
    if (id.empty() || path.empty()) return id;
    writeId(path, id);
    return id;
}

}  // namespace MachineID

// ---------------------------------------------------------------------------
// Platform text

namespace {

std::string detectPlatform() {
#if defined(_WIN32)
    std::string version;
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (GetVersionExA(&info)) {
        version = std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
                  std::to_string(info.dwBuildNumber);
    }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return "Windows x64 " + version;
#elif defined(__APPLE__)
    std::string version;
    if (FILE* pipe = popen("sw_vers -productVersion 2>/dev/null", "r")) {
        char buffer[64];
        if (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
            version = buffer;
            if (!version.empty() && version.back() == '\n') version.pop_back();
        }
        pclose(pipe);
    }
    return "Mac OS X x86_64 " + version;
#else
    struct utsname names;
    if (uname(&names) != 0) return "Linux  ";
    return std::string("Linux ") + names.machine + " " + names.release;
#endif
}

}  // namespace

// ---------------------------------------------------------------------------
// Client

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
        nlohmann::json exception;
        exception["type"] = type;
        exception["value"] = message.substr(0, 500);
        exception["mechanism"] = {{"handled", true}, {"synthetic", false}};
        exception["stacktrace"] = {{"type", "raw"}, {"frames", frameList}};
        properties["$exception_list"] = nlohmann::json::array({exception});
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
#ifdef ZRVK_TESTING
    if (deliveredToSink(text)) return;
#endif
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
    std::vector<StackFrame> out;
    for (const auto& frame : Stacktrace::captureStructured(maxFrames, skip + 1, "")) {
        StackFrame copy;
        copy.function = frame.function;
        copy.filename = frame.filename;
        copy.module = frame.module;
        copy.lineno = frame.lineno;
        copy.reservedNumber = frame.reservedNumber;
        copy.in_app = frame.in_app;
        out.push_back(copy);
    }
    return out;
}

std::string Client::generateMachineId() { return MachineID::getHashedMacId(); }

std::string Client::generateMachineId(const std::string& path) {
#ifdef ZRVK_TESTING
    {
        std::lock_guard<std::mutex> lock(g_seamMutex);
        if (!g_idPathOverride.empty()) return MachineID::getHashedMacIdWithFallback(g_idPathOverride);
    }
#endif
    return MachineID::getHashedMacIdWithFallback(path);
}

// ---------------------------------------------------------------------------
// Crash reports

namespace CrashHandler {

namespace Internal {
bool g_installed = false;
char g_execPath[512] = {0};
uint64_t g_loadAddress = 0;
uint64_t g_moduleSize = 0;
char g_crashFilePath[512] = {0};
char g_crashBuffer[8192] = {0};
}  // namespace Internal

namespace {

using namespace Internal;

const size_t BUFFER_LIMIT = sizeof(g_crashBuffer) - 1;

std::string sidePath(const char* name, const char* suffix) {
    std::string crash = g_crashFilePath;
    if (crash.empty()) return "";
    const std::string marker = "pending_crash.txt";
    std::string::size_type at = crash.rfind(marker);
    if (at != std::string::npos) return crash.substr(0, at) + name;
    return crash + suffix;
}

const char* platformName() {
#if defined(__APPLE__)
    return "macOS";
#elif defined(_WIN32)
    return "Windows";
#else
    return "Linux";
#endif
}

// Reversible escaping of one metadata key or value so that any text fits on
// one "key=value" line.
std::string escapeField(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '=': out += "\\="; break;
            default: out += c;
        }
    }
    return out;
}

// Splits a metadata line at its first unescaped '=' and unescapes both sides.
bool parseMetadataLine(const std::string& line, std::string& key, std::string& value) {
    std::string* target = &key;
    bool split = false;
    key.clear();
    value.clear();
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            char next = line[++i];
            switch (next) {
                case 'n': *target += '\n'; break;
                case 'r': *target += '\r'; break;
                default: *target += next; break;
            }
        } else if (c == '=' && !split) {
            split = true;
            target = &value;
        } else {
            *target += c;
        }
    }
    return split;
}

#ifndef _WIN32
uid_t g_owner = 0;

// Files in the crash folder (writable by every user) are opened without
// following links and used only when they are regular files of ours.
// Async-signal-safe: the crash handler uses it too.
int openOwnedFile(const char* path, int access, bool create) {
    int flags = access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
    int fd = open(path, flags, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != g_owner) {
        close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeOwnedFile(const std::string& path, const std::string& content) {
    if (path.empty()) return false;
    int fd = openOwnedFile(path.c_str(), O_WRONLY, true);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, 0) == 0 && writeAll(fd, content.data(), content.size());
    if (close(fd) != 0) ok = false;
    return ok;
}

bool readOwnedFile(const std::string& path, std::string& content) {
    content.clear();
    if (path.empty()) return false;
    int fd = openOwnedFile(path.c_str(), O_RDONLY, false);
    if (fd < 0) return false;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

void appendText(size_t& pos, const char* text) {
    while (*text && pos < BUFFER_LIMIT) g_crashBuffer[pos++] = *text++;
    g_crashBuffer[pos] = '\0';
}

void appendHex(size_t& pos, uint64_t value) {
    char digits[17];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    while (n > 0 && pos < BUFFER_LIMIT) g_crashBuffer[pos++] = digits[--n];
    g_crashBuffer[pos] = '\0';
}

void appendDecimal(size_t& pos, long long value) {
    char digits[24];
    int n = 0;
    unsigned long long magnitude =
        value < 0 ? static_cast<unsigned long long>(-(value + 1)) + 1 : static_cast<unsigned long long>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0 && pos < BUFFER_LIMIT) g_crashBuffer[pos++] = '-';
    while (n > 0 && pos < BUFFER_LIMIT) g_crashBuffer[pos++] = digits[--n];
    g_crashBuffer[pos] = '\0';
}

const char* signalName(int sig) {
    switch (sig) {
        case SIGILL: return "SIGILL";
        case SIGABRT: return "SIGABRT";
        case SIGFPE: return "SIGFPE";
        case SIGBUS: return "SIGBUS";
        case SIGSEGV: return "SIGSEGV";
        default: return "UNKNOWN";
    }
}

bool readExecutablePath(char* out, size_t size) {
    out[0] = '\0';
#if defined(__APPLE__)
    uint32_t length = static_cast<uint32_t>(size);
    if (_NSGetExecutablePath(out, &length) != 0) {
        out[0] = '\0';
        return false;
    }
    return true;
#else
    ssize_t n = readlink("/proc/self/exe", out, size);
    if (n <= 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return false;
    }
    out[n] = '\0';
    return true;
#endif
}

#if defined(__linux__)
struct ImageSearch {
    uintptr_t base;
    uint64_t size;
    bool found;
};

int findImage(struct dl_phdr_info* info, size_t, void* data) {
    ImageSearch* search = static_cast<ImageSearch*>(data);
    uint64_t lowest = UINT64_MAX;
    uint64_t highest = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) continue;
        lowest = std::min<uint64_t>(lowest, header.p_vaddr);
        highest = std::max<uint64_t>(highest, header.p_vaddr + header.p_memsz);
    }
    if (lowest == UINT64_MAX) return 0;
    if (info->dlpi_addr + lowest != search->base) return 0;
    search->size = highest - lowest;
    search->found = true;
    return 1;
}
#endif

// Where our own image is loaded and how far it reaches, so that a report can
// later be attributed to this program.
void locateOwnImage() {
    Dl_info info;
    std::memset(&info, 0, sizeof(info));
    if (dladdr(reinterpret_cast<void*>(&install), &info) == 0 || info.dli_fbase == nullptr) return;
    g_loadAddress = reinterpret_cast<uintptr_t>(info.dli_fbase);
    g_moduleSize = 0;
#if defined(__linux__)
    ImageSearch search{reinterpret_cast<uintptr_t>(info.dli_fbase), 0, false};
    dl_iterate_phdr(findImage, &search);
    if (search.found) g_moduleSize = search.size;
#elif defined(__APPLE__)
    for (uint32_t i = 0; i < _dyld_image_count(); ++i) {
        const struct mach_header* header = _dyld_get_image_header(i);
        if (reinterpret_cast<const void*>(header) != info.dli_fbase) continue;
        if (header->magic != 0xFEEDFACF) break;
        const struct mach_header_64* header64 = reinterpret_cast<const struct mach_header_64*>(header);
        const char* cursor = reinterpret_cast<const char*>(header64 + 1);
        for (uint32_t c = 0; c < header64->ncmds; ++c) {
            const struct load_command* command = reinterpret_cast<const struct load_command*>(cursor);
            if (command->cmd == 0x19) {
                const struct segment_command_64* segment = reinterpret_cast<const struct segment_command_64*>(command);
                g_moduleSize = std::max<uint64_t>(g_moduleSize, segment->vmaddr + segment->vmsize);
            }
            cursor += command->cmdsize;
        }
        break;
    }
#endif
}

void setCrashFolder(const std::string& folder) {
    g_owner = geteuid();
    std::string path = folder + "/pending_crash.txt";
    size_t length = std::min(path.size(), sizeof(g_crashFilePath) - 1);
    std::memcpy(g_crashFilePath, path.data(), length);
    g_crashFilePath[length] = '\0';
}

void writeTerminateReport(const std::string& message) {
    int fd = openOwnedFile(g_crashFilePath, O_WRONLY, true);
    if (fd < 0) std::abort();
    std::ostringstream out;
    out << "SIGNAL: TERMINATE\n"
        << "TIME: " << static_cast<long long>(std::time(nullptr)) << "\n"
        << "LOAD_ADDR: 0x" << std::hex << g_loadAddress << "\n"
        << "MODULE_SIZE: 0x" << g_moduleSize << std::dec << "\n"
        << "EXEC_PATH: " << g_execPath << "\n"
        << "MESSAGE: " << message << "\n";
    std::string text = out.str();
    if (ftruncate(fd, 0) == 0) writeAll(fd, text.data(), text.size());
    close(fd);
    std::abort();
}

void terminateHandler() {
    std::string message = "std::terminate called";
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            message = e.what();
        } catch (...) {
            message = "Unknown exception";
        }
    }
    writeTerminateReport(message);
}
#endif  // !_WIN32

}  // namespace

namespace Internal {

void signalHandler(int sig) {
#ifndef _WIN32
    size_t pos = 0;
    g_crashBuffer[0] = '\0';
    appendText(pos, "SIGNAL: ");
    appendText(pos, signalName(sig));
    appendText(pos, "\nTIME: ");
    appendDecimal(pos, static_cast<long long>(time(nullptr)));
    appendText(pos, "\nLOAD_ADDR: 0x");
    appendHex(pos, g_loadAddress);
    appendText(pos, "\nMODULE_SIZE: 0x");
    appendHex(pos, g_moduleSize);
    appendText(pos, "\nEXEC_PATH: ");
    appendText(pos, g_execPath);
    appendText(pos, "\nSTACKTRACE:\n");
    void* addresses[32];
    int count = backtrace(addresses, 32);
    for (int i = 0; i < count && sizeof(g_crashBuffer) - pos > 64; ++i) {
        appendText(pos, "  0x");
        appendHex(pos, reinterpret_cast<uintptr_t>(addresses[i]));
        appendText(pos, "\n");
    }
    int fd = openOwnedFile(g_crashFilePath, O_WRONLY, true);
    if (fd >= 0) {
        if (ftruncate(fd, 0) == 0) writeAll(fd, g_crashBuffer, pos);
        close(fd);
    }
    signal(sig, SIG_DFL);
    raise(sig);
#else
    (void)sig;
#endif
}

}  // namespace Internal

std::string getCrashFilePath() { return g_crashFilePath; }
std::string getMetadataFilePath() { return sidePath("crash_metadata.txt", ".metadata"); }
std::string getLogFileConfigPath() { return sidePath("crash_logfile.txt", ".logfile"); }
bool isInstalled() { return g_installed; }

std::string getDefaultCrashDir(const std::string& appName) {
    const char* home = std::getenv("HOME");
    if (home != nullptr) return std::string(home) + "/Library/Application Support/" + appName + "/CrashReports";
    return "/tmp/" + appName + "/CrashReports";
}

#ifdef _WIN32

bool install(const std::string&) { return false; }
std::optional<Report> loadPendingReport() { return std::nullopt; }
bool saveMetadata(const Metadata&) { return false; }
Metadata loadMetadata() { return Metadata(); }
bool saveLogFileConfig(const LogFileConfig&) { return false; }
LogFileConfig loadLogFileConfig() { return LogFileConfig(); }

#else

bool install(const std::string& folder) {
    if (g_installed) return true;
    mkdir(folder.c_str(), 0755);
    setCrashFolder(folder);
    readExecutablePath(g_execPath, sizeof(g_execPath));
    locateOwnImage();
    // The first backtrace call may load the unwinder; do it now, not inside
    // the signal handler.
    void* warmUp[4];
    backtrace(warmUp, 4);

    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = Internal::signalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &action, nullptr);
    std::set_terminate(terminateHandler);
    g_installed = true;
    return true;
}

std::optional<Report> loadPendingReport() {
    std::string content;
    if (!readOwnedFile(g_crashFilePath, content)) return std::nullopt;
    Report report;
    bool stackMode = false;
    std::istringstream in(content);
    std::string line;
    auto rest = [&line](const char* prefix, std::string& field) {
        size_t length = std::strlen(prefix);
        if (line.compare(0, length, prefix) != 0) return false;
        field = line.substr(length);
        return true;
    };
    while (std::getline(in, line)) {
        if (rest("SIGNAL: ", report.signal) || rest("TIME: ", report.timestamp) ||
            rest("LOAD_ADDR: ", report.loadAddress) || rest("MODULE_SIZE: ", report.moduleSize) ||
            rest("EXEC_PATH: ", report.execPath) || rest("MESSAGE: ", report.stackTrace)) {
            continue;
        }
        if (line == "STACKTRACE:") {
            stackMode = true;
        } else if (stackMode) {
            report.stackTrace += line + "\n";
        }
    }
    report.platform = platformName();
    return report;
}

bool saveMetadata(const Metadata& metadata) {
    std::string path = getMetadataFilePath();
    if (path.empty()) return false;
    std::string content;
    for (const auto& pair : metadata.values) content += escapeField(pair.first) + "=" + escapeField(pair.second) + "\n";
    return writeOwnedFile(path, content);
}

Metadata loadMetadata() {
    Metadata metadata;
    std::string content;
    if (!readOwnedFile(getMetadataFilePath(), content)) return metadata;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        std::string key;
        std::string value;
        if (parseMetadataLine(line, key, value)) metadata.values[key] = value;
    }
    return metadata;
}

bool saveLogFileConfig(const LogFileConfig& config) {
    std::string path = getLogFileConfigPath();
    if (path.empty()) return false;
    return writeOwnedFile(path, "path=" + config.path + "\nmaxLines=" + std::to_string(config.maxLines) + "\n");
}

LogFileConfig loadLogFileConfig() {
    LogFileConfig config;
    std::string content;
    if (!readOwnedFile(getLogFileConfigPath(), content)) return config;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "path=") == 0) {
            config.path = line.substr(5);
        } else if (line.compare(0, 9, "maxLines=") == 0) {
            try {
                size_t used = 0;
                config.maxLines = std::stoi(line.substr(9), &used, 10);
            } catch (...) {
                config.maxLines = 50;
            }
        }
    }
    return config;
}

#endif

std::string readLastLines(const std::string& path, int maxLines) {
    std::ifstream in(path);
    if (!in.is_open() || maxLines <= 0) return "";
    std::deque<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
        if (static_cast<int>(lines.size()) > maxLines) lines.pop_front();
    }
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += "\n";
        out += lines[i];
    }
    return out;
}

bool hasAddressesFromOurModule(const Report& report) {
    auto parseHex = [](std::string text, unsigned long long& value) {
        if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) text = text.substr(2);
        if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        value = std::stoull(text, nullptr, 16);
        return true;
    };
    unsigned long long base = 0;
    unsigned long long size = 0;
    if (report.loadAddress.empty() || report.moduleSize.empty() || !parseHex(report.loadAddress, base) ||
        !parseHex(report.moduleSize, size) || size == 0) {
        return true;
    }
    int inside = 0;
    std::istringstream in(report.stackTrace);
    std::string line;
    while (std::getline(in, line)) {
        for (std::string::size_type at = line.find("0x"); at != std::string::npos; at = line.find("0x", at + 2)) {
            std::string::size_type start = at + 2;
            std::string::size_type end = line.find_first_not_of("0123456789abcdefABCDEF", start);
            if (end == std::string::npos) end = line.size();
            unsigned long long address = 0;
            if (end == start || !parseHex(line.substr(start, end - start), address)) continue;
            if (address >= base && address - base < size && ++inside >= 2) return true;
        }
    }
    return false;
}

}  // namespace CrashHandler

bool Client::Impl::trackCrashReport(const CrashHandler::Report& report) {
    if (!accepting()) return false;
    std::string crashTime = report.timestamp;
    try {
        size_t used = 0;
        long long seconds = std::stoll(report.timestamp, &used, 10);
        std::time_t t = static_cast<std::time_t>(seconds);
        std::tm broken{};
#ifdef _WIN32
        bool ok = gmtime_s(&broken, &t) == 0;
#else
        bool ok = gmtime_r(&t, &broken) != nullptr;
#endif
        char buffer[32];
        if (ok && std::strftime(buffer, sizeof(buffer), "%Y-%m-%dT%H:%M:%SZ", &broken) > 0) crashTime = buffer;
    } catch (...) {
        crashTime = report.timestamp;
    }
    bool queued = false;
    try {
        nlohmann::json doc = baseDocument("$exception");
        nlohmann::json& properties = doc["properties"];
        properties["crash_from_previous_session"] = true;
        properties["crash_timestamp"] = crashTime;
        if (!report.loadAddress.empty()) properties["load_address"] = report.loadAddress;
        if (!report.execPath.empty()) properties["exec_path"] = report.execPath;
        for (const auto& pair : CrashHandler::loadMetadata().values) properties[pair.first] = pair.second;
        CrashHandler::LogFileConfig logConfig = CrashHandler::loadLogFileConfig();
        if (!logConfig.path.empty()) {
            std::string logs = CrashHandler::readLastLines(logConfig.path, logConfig.maxLines);
            if (!logs.empty()) {
                properties["recent_logs"] = logs;
                std::cout << "[PostHog] Attached " << logConfig.maxLines << " lines from log file" << std::endl;
            }
        }
        nlohmann::json frames = nlohmann::json::array();
        std::istringstream in(report.stackTrace);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("0x") == std::string::npos) continue;
            frames.push_back({{"platform", "custom"},
                              {"lang", "cpp"},
                              {"function", line},
                              {"in_app", true},
                              {"resolved", false}});
        }
        nlohmann::json exception;
        exception["type"] = report.signal;
        exception["value"] = "Application crashed (from previous session)";
        exception["mechanism"] = {{"handled", false}, {"synthetic", false}};
        exception["stacktrace"] = {{"type", "raw"}, {"frames", frames}};
        properties["$exception_list"] = nlohmann::json::array({exception});
        queued = enqueue(doc);
    } catch (...) {
        queued = false;
    }
    if (queued) std::cout << "[PostHog] Queued crash report: " << report.signal << std::endl;
    return queued;
}

void Client::installCrashHandler(const std::string& folder) {
    std::string dir = folder.empty() ? CrashHandler::getDefaultCrashDir(impl->config.appName) : folder;
    if (!CrashHandler::install(dir)) {
        std::cerr << "[PostHog] Failed to install crash handler" << std::endl;
        return;
    }
    std::cout << "[PostHog] Crash handler installed: " << CrashHandler::getCrashFilePath() << std::endl;
    std::optional<CrashHandler::Report> report = CrashHandler::loadPendingReport();
    if (!report) return;
    if (CrashHandler::hasAddressesFromOurModule(*report)) {
        std::cout << "[PostHog] Found crash report from our module: " << report->signal << std::endl;
        if (!impl->trackCrashReport(*report)) {
            // Not lost: the next start tries again.
            std::cerr << "[PostHog] Crash report not queued, kept for the next start" << std::endl;
            return;
        }
    } else {
        std::cout << "[PostHog] Ignoring crash report (not from our module): " << report->signal << std::endl;
    }
    for (const std::string& path : {CrashHandler::getCrashFilePath(), CrashHandler::getMetadataFilePath(),
                                    CrashHandler::getLogFileConfigPath()}) {
        if (!path.empty()) std::remove(path.c_str());
    }
}

void Client::setCrashMetadata(const std::map<std::string, std::string>& metadata) {
    if (!CrashHandler::isInstalled()) {
        std::cerr << "[PostHog] Warning: setCrashMetadata called before installCrashHandler" << std::endl;
        return;
    }
    CrashHandler::Metadata copy;
    copy.values = metadata;
    if (CrashHandler::saveMetadata(copy)) {
        std::cout << "[PostHog] Crash metadata saved (" << metadata.size() << " properties)" << std::endl;
    } else {
        std::cerr << "[PostHog] Failed to save crash metadata" << std::endl;
    }
}

void Client::setLogFile(const std::string& path, int maxLines) {
    if (CrashHandler::getCrashFilePath().empty()) {
        std::cerr << "[PostHog] Warning: setLogFile called before installCrashHandler" << std::endl;
        return;
    }
    CrashHandler::LogFileConfig config;
    config.path = path;
    config.maxLines = maxLines;
    if (CrashHandler::saveLogFileConfig(config)) {
        std::cout << "[PostHog] Log file configured: " << path << " (max " << maxLines << " lines)" << std::endl;
    } else {
        std::cerr << "[PostHog] Failed to save log file config" << std::endl;
    }
}

std::string Client::getDefaultCrashDir(const std::string& appName) {
    return CrashHandler::getDefaultCrashDir(appName);
}

#ifdef ZRVK_TESTING
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

#ifndef _WIN32
void setInterfaceList(const struct ifaddrs* list) {
    g_interfaceList.store(list);
    g_useInterfaceList.store(true);
}

void clearInterfaceList() {
    g_useInterfaceList.store(false);
    g_interfaceList.store(nullptr);
}

void setCrashFolder(const std::string& folder) {
    using namespace CrashHandler::Internal;
    if (folder.empty()) {
        g_installed = false;
        g_crashFilePath[0] = '\0';
        g_execPath[0] = '\0';
        g_loadAddress = 0;
        g_moduleSize = 0;
        return;
    }
    CrashHandler::setCrashFolder(folder);
    CrashHandler::readExecutablePath(g_execPath, sizeof(g_execPath));
    CrashHandler::locateOwnImage();
    g_installed = true;
}
#endif

}  // namespace Testing
#endif

}  // namespace PostHog
