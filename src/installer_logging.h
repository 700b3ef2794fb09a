// The log file: one process-wide logger that tees std::cout and std::cerr
// into a dated file, so every component logs just by writing to the streams.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

namespace InstallerLogging {

// A seam that the tests set: the log folder of macOS and Linux used instead
// of the configured one when not empty.
std::string& logDirectoryForTesting();

// Passes what a stream writes to the console buffer and appends it to the
// file, one whole line at a time: each thread's text is held until its line
// ends, so lines that threads build from several << never splice.
class TeeStreamBuf : public std::streambuf {
public:
    TeeStreamBuf(std::streambuf* console, std::ostream* file, std::mutex* fileMutex);
    ~TeeStreamBuf() override;

    // Writes out the calling thread's unfinished line, if any.
    void flushPendingLine();
    // Writes text to the console and the file as one piece.
    void emit(const char* s, std::size_t n);

protected:
    // Flushing a stream (std::endl) flushes the console too, so a console
    // that is a pipe gets each line at once. An unfinished line stays held:
    // std::cerr flushes after every <<.
    int sync() override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    bool fileReady() const;

    std::streambuf* console;
    std::ostream* file;
    std::mutex* fileMutex;
    const std::uint64_t serial;
};

// Creates a folder and its missing parents; failures are ignored.
bool createDirectoryRecursive(const std::string& path);

class FileLogger {
public:
    static FileLogger& getInstance();

    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    bool initialize();
    // The last n content lines of the log, banners and empty lines left out.
    std::string getLastLines(int n);
    const std::string& getLogFilePath() const { return logFilePath; }

    ~FileLogger();

private:
    FileLogger();

    std::streambuf* fileBuf = nullptr;  // writes straight to the open file
    std::ostream logFile;
    std::mutex mutex;
    std::string logFilePath;
    bool initialized = false;
    int fd = -1;
    std::streambuf* savedCoutBuf = nullptr;
    std::streambuf* savedCerrBuf = nullptr;
    TeeStreamBuf* coutTee = nullptr;
    TeeStreamBuf* cerrTee = nullptr;
};

}  // namespace InstallerLogging
