// Runs a program as a child process with its output collected, for tests
// that drive the real installer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zrvk_test {

class ChildProcess {
public:
    // env: "NAME=value" sets a variable, "NAME" alone removes it.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (const std::string& e : env) {
                const auto eq = e.find('=');
                if (eq == std::string::npos) {
                    unsetenv(e.c_str());
                } else {
                    setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
                }
            }
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        readers_.emplace_back([this, fd = out[0]] { drain(fd, stdout_); });
        readers_.emplace_back([this, fd = err[0]] { drain(fd, stderr_); });
    }

    ~ChildProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            wait(std::chrono::seconds(5));
        }
        for (std::thread& t : readers_) {
            if (t.joinable()) t.join();
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits until the standard output holds text; false on time-out.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return stdout_.find(text) != std::string::npos || eofCount_ == 2; }) &&
               stdout_.find(text) != std::string::npos;
    }

    // The exit status, -1 on time-out, 128 + signal for a signalled child.
    int wait(std::chrono::milliseconds timeout) {
        if (exited_) return status_;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                for (std::thread& t : readers_) {
                    if (t.joinable()) t.join();
                }
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    std::string out() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stdout_;
    }
    std::string err() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stderr_;
    }

private:
    void drain(int fd, std::string& into) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            into.append(buffer, static_cast<std::size_t>(n));
            changed_.notify_all();
        }
        close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        ++eofCount_;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string stdout_, stderr_;
    int eofCount_ = 0;
    std::vector<std::thread> readers_;
};

// Runs a command line through the shell and returns its exit status.
inline int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zrvk_test
