// Crash reports on POSIX systems: the signal and terminate handlers that
// write the report, and the report's side files in the crash folder, which
// every user may write to.
#include "posthog_internal.h"

#include "system.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <sstream>
#include <vector>

namespace PostHog {

namespace CrashHandler {

// What the handlers read: filled in at install, never allocated in them.
namespace Internal {
char g_execPath[512] = {0};
uint64_t g_loadAddress = 0;
uint64_t g_moduleSize = 0;
char g_crashBuffer[8192] = {0};
}  // namespace Internal

namespace {

using namespace Internal;

const size_t BUFFER_LIMIT = sizeof(g_crashBuffer) - 1;

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

// The lines of a side file; none when it is not ours to read.
std::vector<std::string> ownedFileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::string content;
    if (!readOwnedFile(path, content)) return lines;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
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

// The path is looked up at install, not in the handler, which only copies it.
bool readExecutablePath(char* out, size_t size) {
    out[0] = '\0';
    const std::string path = System::executablePath();
    if (path.empty() || path.size() >= size) return false;
    std::memcpy(out, path.data(), path.size());
    out[path.size()] = '\0';
    return true;
}

// Where our own image is loaded and how far it reaches, so that a report can
// later be attributed to this program.
void locateOwnImage() {
    Dl_info info;
    std::memset(&info, 0, sizeof(info));
    if (dladdr(reinterpret_cast<void*>(&install), &info) == 0 || info.dli_fbase == nullptr) return;
    g_loadAddress = reinterpret_cast<uintptr_t>(info.dli_fbase);
    g_moduleSize = imageSize(info.dli_fbase);
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

}  // namespace

namespace Internal {

void signalHandler(int sig) {
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
}

}  // namespace Internal

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
    report.platform = System::platformName();
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
    for (const std::string& line : ownedFileLines(getMetadataFilePath())) {
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
    for (const std::string& line : ownedFileLines(getLogFileConfigPath())) {
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

}  // namespace CrashHandler

namespace Testing {

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

}  // namespace Testing

}  // namespace PostHog
