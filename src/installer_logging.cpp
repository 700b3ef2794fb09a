#include "installer_logging.h"

#include "installer_logging_internal.h"
#include "installer_utils.h"
#include "system.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <random>
#include <unordered_map>

namespace InstallerLogging {

std::string& logDirectoryForTesting() {
    static std::string folder;
    return folder;
}

namespace {

// A run that finds its name taken (another run of the same second, or an
// entry another user planted in the shared folder) takes the next free one.
constexpr int kMaxNameAttempts = 100;
// Another user can take every numbered name ahead of time: then names with
// a random part (as mkstemps makes them), which cannot be foreseen.
constexpr int kRandomNameAttempts = 100;
constexpr int kRandomPartLength = 6;

using namespace Platform;

// A stream buffer with no buffer of its own: each chunk goes straight to the file.
class DescriptorBuf : public std::streambuf {
public:
    explicit DescriptorBuf(int fd) : fd_(fd) {}

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        return writeAll(fd_, s, static_cast<std::size_t>(n)) ? n : 0;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
        const char ch = traits_type::to_char_type(c);
        return writeAll(fd_, &ch, 1) ? c : traits_type::eof();
    }

private:
    int fd_;
};

std::string formatTime(const std::tm& time, const char* format) {
    char buffer[64];
    std::size_t length = std::strftime(buffer, sizeof(buffer), format, &time);
    return std::string(buffer, length);
}

std::string randomPart() {
    static const char kCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device source;
    std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof(kCharacters)) - 2);
    std::string part;
    for (int i = 0; i < kRandomPartLength; ++i) part += kCharacters[pick(source)];
    return part;
}

// The name's part between the time stamp and ".log" for one attempt.
std::string nameSuffix(int attempt) {
    if (attempt == 0) return "";
    if (attempt < kMaxNameAttempts) return "_" + std::to_string(attempt);
    return "_" + randomPart();
}

// The log's first free name for this time stamp: stem + ".log", then
// stem + "_1.log" and so on, then stem + "_" + a random part + ".log". Sets
// `path` to the name tried first when none could be created.
int createLogFile(const std::string& stem, std::string& path) {
    for (int attempt = 0; attempt < kMaxNameAttempts + kRandomNameAttempts; ++attempt) {
        const std::string candidate = stem + nameSuffix(attempt) + ".log";
        const int fd = createNewFile(candidate);
        if (fd >= 0) {
            path = candidate;
            return fd;
        }
        if (errno != EEXIST) break;
    }
    path = stem + ".log";
    return -1;
}

// Empty lines and banner lines say nothing of what went wrong.
bool isContentLine(const std::string& line) { return !line.empty() && line.find("====") == std::string::npos; }

std::atomic<std::uint64_t> g_nextTeeSerial{1};

// The tees alive now, by serial. Never destroyed: threads may end after exit began.
std::mutex& g_liveTeesMutex = *new std::mutex;
std::unordered_map<std::uint64_t, TeeStreamBuf*>& g_liveTees = *new std::unordered_map<std::uint64_t, TeeStreamBuf*>;

// One thread's unfinished lines, by tee serial (not address: a later tee at
// the same address must not inherit an old line). What is left when the
// thread ends is written out then.
struct PendingLines {
    std::unordered_map<std::uint64_t, std::string> lines;
    ~PendingLines();
};

// Trivially destructible, so still readable after the lines are gone (at
// exit, destructors of statics may log after those of thread locals).
thread_local bool t_pendingGone = false;
thread_local PendingLines t_pending;

PendingLines::~PendingLines() {
    t_pendingGone = true;
    std::lock_guard<std::mutex> lock(g_liveTeesMutex);
    for (auto& entry : lines) {
        auto tee = g_liveTees.find(entry.first);
        if (tee != g_liveTees.end()) tee->second->emit(entry.second.data(), entry.second.size());
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// TeeStreamBuf

TeeStreamBuf::TeeStreamBuf(std::streambuf* console, std::ostream* file, std::mutex* fileMutex)
    : console(console), file(file), fileMutex(fileMutex), serial(g_nextTeeSerial++) {
    std::lock_guard<std::mutex> lock(g_liveTeesMutex);
    g_liveTees[serial] = this;
}

TeeStreamBuf::~TeeStreamBuf() {
    std::lock_guard<std::mutex> lock(g_liveTeesMutex);
    g_liveTees.erase(serial);
}

bool TeeStreamBuf::fileReady() const {
    if (!file || !fileMutex || !file->rdbuf()) return false;
    auto* stream = dynamic_cast<std::ofstream*>(file);
    return !stream || stream->is_open();
}

void TeeStreamBuf::emit(const char* s, std::size_t n) {
    if (n == 0) return;
    if (console) console->sputn(s, static_cast<std::streamsize>(n));
    if (!fileReady()) return;
    std::lock_guard<std::mutex> lock(*fileMutex);
    file->write(s, static_cast<std::streamsize>(n));
    file->flush();
}

void TeeStreamBuf::flushPendingLine() {
    if (t_pendingGone) return;
    std::string& line = t_pending.lines[serial];
    emit(line.data(), line.size());
    line.clear();
}

int TeeStreamBuf::sync() {
    if (console) console->pubsync();
    return 0;
}

std::streamsize TeeStreamBuf::xsputn(const char* s, std::streamsize n) {
    const std::size_t size = static_cast<std::size_t>(n);
    if (t_pendingGone) {
        emit(s, size);
        return n;
    }
    std::string& line = t_pending.lines[serial];
    std::size_t end = size;
    while (end > 0 && s[end - 1] != '\n') --end;  // just after the last line end
    if (end == 0) {
        line.append(s, size);
        return n;
    }
    if (line.empty()) {
        emit(s, end);
    } else {
        line.append(s, end);
        emit(line.data(), line.size());
    }
    line.assign(s + end, size - end);
    return n;
}

TeeStreamBuf::int_type TeeStreamBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
    const char ch = traits_type::to_char_type(c);
    if (t_pendingGone) {
        emit(&ch, 1);
        return c;
    }
    std::string& line = t_pending.lines[serial];
    line += ch;
    if (line.back() == '\n') {
        emit(line.data(), line.size());
        line.clear();
    }
    return c;
}

// ---------------------------------------------------------------------------

bool createDirectoryRecursive(const std::string& path) {
    makeFolderTree(path, kFolderSeparators, nullptr);
    return true;
}

// ---------------------------------------------------------------------------
// FileLogger

FileLogger& FileLogger::getInstance() {
    static FileLogger instance;
    return instance;
}

FileLogger::FileLogger() : logFile(nullptr) {}

bool FileLogger::initialize() {
    if (initialized) return true;
    try {
        const std::string folder = getLogDirectory();
        if (folder.empty()) {
            std::cerr << "[LOGGER] Failed to open log file: no log folder" << std::endl;
            return false;
        }
        createDirectoryRecursive(folder);

        std::tm local{};
        toLocalTime(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()), local);
        const std::string stem = folder + kSeparator + "installer_" + formatTime(local, "%Y%m%d_%H%M%S");
        fd = createLogFile(stem, logFilePath);
        if (fd < 0) {
            std::cerr << "[LOGGER] Failed to open log file: " << logFilePath << std::endl;
            return false;
        }
        fileBuf = new DescriptorBuf(fd);
        logFile.rdbuf(fileBuf);

        const std::string rule(58, '=');
        logFile << rule << "\n"
                << "ZRVK Installer Log\n"
                << "Started: " << formatTime(local, "%Y-%m-%d %H:%M:%S") << "\n"
                << "Log file: " << logFilePath << "\n"
                << rule << "\n\n";
        logFile.flush();

        savedCoutBuf = std::cout.rdbuf();
        savedCerrBuf = std::cerr.rdbuf();
        coutTee = new TeeStreamBuf(savedCoutBuf, &logFile, &mutex);
        cerrTee = new TeeStreamBuf(savedCerrBuf, &logFile, &mutex);
        std::cout.rdbuf(coutTee);
        std::cerr.rdbuf(cerrTee);
        initialized = true;

        std::cout << "[LOGGER] Log file created: " << logFilePath << std::endl;
        return true;
    } catch (const std::exception& e) {
        std::cerr << "[LOGGER] Failed to initialize logging: " << e.what() << "\n";
        return false;
    }
}

std::string FileLogger::getLastLines(int n) {
    if (!initialized || logFilePath.empty() || n <= 0) return "";
    // The caller's own unfinished line belongs to the log already.
    coutTee->flushPendingLine();
    cerrTee->flushPendingLine();
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!readWholeFile(fd, logFilePath, text)) return "";
    }
    return System::lastLines(text, n, isContentLine);
}

FileLogger::~FileLogger() {
    if (coutTee) coutTee->flushPendingLine();
    if (cerrTee) cerrTee->flushPendingLine();
    if (savedCoutBuf) std::cout.rdbuf(savedCoutBuf);
    if (savedCerrBuf) std::cerr.rdbuf(savedCerrBuf);
    delete coutTee;
    delete cerrTee;
    if (fd >= 0) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::string rule(40, '=');
        logFile << "\n" << rule << "\n" << "Installer log ended\n" << rule << "\n";
        logFile.flush();
        logFile.rdbuf(nullptr);
        closeFile(fd);
        fd = -1;
    }
    delete fileBuf;
}

}  // namespace InstallerLogging
