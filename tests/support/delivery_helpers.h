// Shared pieces of the delivery tests: log capture, recorded callbacks and a
// temporary file-size limit that makes writes fail like a full disk.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "installer_download.h"
#include "test_paths.h"

namespace zrvk_test {

struct Logs {
    std::string out;
    std::string err;
};

// Captures std::cout and std::cerr while it lives (gtest's fd capture).
class LogCapture {
public:
    LogCapture() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    Logs finish() {
        if (!done_) {
            logs_.out = testing::internal::GetCapturedStdout();
            logs_.err = testing::internal::GetCapturedStderr();
            done_ = true;
        }
        return logs_;
    }
    ~LogCapture() { finish(); }

private:
    Logs logs_;
    bool done_ = false;
};

// Lines that start with the given text, in order.
inline std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : lines(text))
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

// True when the text holds a control byte other than the line ends: text a
// server controls got into a log line unescaped.
inline bool hasControlBytes(const std::string& text) {
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
    }
    return false;
}

struct Recorder {
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    std::vector<std::string> status;
    ProgressFn progressFn() {
        return [this](uint64_t done, uint64_t total) { progress.emplace_back(done, total); };
    }
    StatusFn statusFn() {
        return [this](const std::string& text) { status.push_back(text); };
    }
};

// Files written by this process fail beyond `bytes` (EFBIG) while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit old_{};
    void (*oldHandler_)(int) = nullptr;
};

}  // namespace zrvk_test
