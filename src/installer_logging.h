// The log file: one process-wide logger that tees std::cout and std::cerr
// into a dated file, so every component logs just by writing to the streams.
#pragma once

#include "installer_config.h"

#include <chrono>
#include <ctime>
#include <deque>
#include <exception>
#include <fstream>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace InstallerLogging {

#ifdef ZRVK_TESTING
// The log folder used instead of the configured one when not empty.
inline std::string& logDirectoryForTesting() {
    static std::string folder;
    return folder;
}
#endif

#ifndef _WIN32
// std::ofstream cannot ask for close-on-exec: every descriptor open on the
// file is marked afterwards, so no program started later (the server stays
// running) holds the log. Start-up opens the log before any other thread
// exists, so no child can be started in between.
inline void keepFromChildProcesses(const std::string& path) {
    struct stat file;
    if (stat(path.c_str(), &file) != 0) return;
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 4096) limit = 4096;
    for (int fd = 0; fd < limit; ++fd) {
        struct stat open;
        if (fstat(fd, &open) != 0 || open.st_dev != file.st_dev || open.st_ino != file.st_ino) continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}
#endif

// Passes every character to the console buffer and appends it to the file.
// It keeps no buffer of its own, so each chunk reaches the file whole.
class TeeStreamBuf : public std::streambuf {
public:
    TeeStreamBuf(std::streambuf* console, std::ostream* file, std::mutex* fileMutex)
        : console(console), file(file), fileMutex(fileMutex) {}
    ~TeeStreamBuf() override = default;

protected:
    // Flushing a stream (std::endl) flushes the console too, so a console
    // that is a pipe gets each line at once; the file flushes at line ends.
    int sync() override {
        if (console) console->pubsync();
        return 0;
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (console) console->sputn(s, n);
        if (!fileReady()) return n;
        std::lock_guard<std::mutex> lock(*fileMutex);
        file->write(s, n);
        if (std::char_traits<char>::find(s, static_cast<std::size_t>(n), '\n')) file->flush();
        return n;
    }

    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
        if (console) console->sputc(traits_type::to_char_type(c));
        if (!fileReady()) return c;
        std::lock_guard<std::mutex> lock(*fileMutex);
        file->put(traits_type::to_char_type(c));
        if (traits_type::to_char_type(c) == '\n') file->flush();
        return c;
    }

private:
    bool fileReady() const {
        if (!file || !fileMutex) return false;
        auto* stream = dynamic_cast<std::ofstream*>(file);
        return !stream || stream->is_open();
    }

    std::streambuf* console;
    std::ostream* file;
    std::mutex* fileMutex;
};

inline bool createDirectoryRecursive(const std::string& path) {
#ifdef _WIN32
    const char* separators = "\\/";
#else
    const char* separators = "/";
#endif
    auto make = [](const std::string& dir) {
        if (dir.empty()) return;
#ifdef _WIN32
        _mkdir(dir.c_str());
#else
        if (dir == "/") return;
        mkdir(dir.c_str(), 0755);
#endif
    };
    std::string::size_type pos = path.find_first_of(separators, 1);
    while (pos != std::string::npos) {
        make(path.substr(0, pos));
        pos = path.find_first_of(separators, pos + 1);
    }
    make(path);
    return true;
}

class FileLogger {
public:
    static FileLogger& getInstance() {
        static FileLogger instance;
        return instance;
    }

    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    bool initialize() {
        if (initialized) return true;
        try {
            const std::string folder = getLogDirectory();
            if (folder.empty()) {
                std::cerr << "[LOGGER] Failed to open log file: no log folder" << std::endl;
                return false;
            }
            createDirectoryRecursive(folder);

            std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
            std::tm local{};
#ifdef _WIN32
            localtime_s(&local, &now);
            const char* separator = "\\installer_";
#else
            localtime_r(&now, &local);
            const char* separator = "/installer_";
#endif
            logFilePath = folder + separator + formatTime(local, "%Y%m%d_%H%M%S") + ".log";

            logFile.open(logFilePath, std::ios::out | std::ios::app);
            if (!logFile.is_open()) {
                std::cerr << "[LOGGER] Failed to open log file: " << logFilePath << std::endl;
                return false;
            }
#ifndef _WIN32
            keepFromChildProcesses(logFilePath);
#endif

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

    // The last n content lines of the log, banners and empty lines left out.
    std::string getLastLines(int n) {
        if (!initialized || logFilePath.empty() || n <= 0) return "";
        if (logFile.is_open()) {
            std::lock_guard<std::mutex> lock(mutex);
            logFile.flush();
        }
        std::ifstream in(logFilePath);
        if (!in.is_open()) return "";
        std::deque<std::string> kept;
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line.find("====") != std::string::npos) continue;
            if (kept.size() == static_cast<std::size_t>(n)) kept.pop_front();
            kept.push_back(line);
        }
        std::string joined;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            if (i) joined += "\n";
            joined += kept[i];
        }
        return joined;
    }

    const std::string& getLogFilePath() const { return logFilePath; }

    ~FileLogger() {
        if (savedCoutBuf) std::cout.rdbuf(savedCoutBuf);
        if (savedCerrBuf) std::cerr.rdbuf(savedCerrBuf);
        delete coutTee;
        delete cerrTee;
        if (logFile.is_open()) {
            std::lock_guard<std::mutex> lock(mutex);
            const std::string rule(40, '=');
            logFile << "\n" << rule << "\n" << "Installer log ended\n" << rule << "\n";
            logFile.close();
        }
    }

private:
    FileLogger() = default;

    static std::string formatTime(const std::tm& time, const char* format) {
        char buffer[64];
        std::size_t length = std::strftime(buffer, sizeof(buffer), format, &time);
        return std::string(buffer, length);
    }

#ifdef _WIN32
    static std::string getLogDirectory() {
        char value[MAX_PATH];
        DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", value, MAX_PATH);
        if (length > 0 && length < MAX_PATH) return std::string(value, length) + "\\ZRVK\\Logs";
        return tempLogDirectory();
    }

    // The Windows temporary folder's log folder; empty when the system gives
    // no temporary folder or one longer than the buffer, never a relative one.
    static std::string tempLogDirectory() {
        char temp[MAX_PATH + 1];
        const DWORD length = GetTempPathA(MAX_PATH + 1, temp);
        if (length == 0 || length > MAX_PATH) return "";
        return std::string(temp, length) + "ZRVK\\Logs";
    }
#else
    static std::string getLogDirectory() {
#ifdef ZRVK_TESTING
        if (!logDirectoryForTesting().empty()) return logDirectoryForTesting();
#endif
        return InstallerConfig::MAC_LOGS_DIR;
    }
#endif

    std::ofstream logFile;
    std::mutex mutex;
    std::string logFilePath;
    bool initialized = false;
    std::streambuf* savedCoutBuf = nullptr;
    std::streambuf* savedCerrBuf = nullptr;
    TeeStreamBuf* coutTee = nullptr;
    TeeStreamBuf* cerrTee = nullptr;
};

}  // namespace InstallerLogging
