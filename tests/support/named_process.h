// A copy of sleep run under a file name of the test's choosing, so that
// pkill and pgrep, which match a process by that name, find it. The copy
// lives where the test puts it (in the sandbox when the installer's stop must
// reach it); the process is ended and reaped, and the copy removed, with the
// object.
#pragma once

#include "test_paths.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

namespace zrvk_test {

class NamedProcess {
public:
    // `program`: the path of the copy to make and run.
    explicit NamedProcess(const std::string& program) : program_(program) {
        namespace fs = std::filesystem;
        std::error_code error;
        fs::create_directories(fs::path(program).parent_path(), error);
        if (!fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing, error)) return;
        std::string name = fs::path(program).filename();
        std::string seconds = "600";
        char* argv[] = {&name[0], &seconds[0], nullptr};
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
            pid_ = -1;
            return;
        }
        // The name changes late in the exec, after posix_spawn may return.
        if (!waitUntil([&] { return comm() == name.substr(0, 15); })) {
            stop();
            pid_ = -1;
        }
    }
    ~NamedProcess() {
        stop();
        std::error_code error;
        std::filesystem::remove(program_, error);
    }
    NamedProcess(const NamedProcess&) = delete;
    NamedProcess& operator=(const NamedProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // True while the process has not ended.
    bool running() {
        reap(WNOHANG);
        return pid_ > 0 && !ended_;
    }

    // True when the process ends by `signal` within `limit`.
    bool endsBy(int signal, std::chrono::seconds limit = std::chrono::seconds(30)) {
        waitUntil([&] { return !running(); }, limit);
        return ended_ && WIFSIGNALED(status_) && WTERMSIG(status_) == signal;
    }

private:
    std::string comm() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/comm");
        std::string text;
        return std::getline(in, text) ? text : "";
    }

    void reap(int options) {
        if (pid_ > 0 && !ended_ && waitpid(pid_, &status_, options) == pid_) ended_ = true;
    }

    void stop() {
        if (pid_ <= 0 || ended_) return;
        kill(pid_, SIGKILL);
        reap(0);
    }

    std::string program_;
    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = 0;
};

}  // namespace zrvk_test
