// Shared pieces of the delivery benchmarks: timing child processes and
// reading their peak memory.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

struct Run {
    double seconds = 0;
    double systemSeconds = 0;  // kernel CPU of all its threads
    long peakKiB = 0;
    bool ok = false;
    int exitCode = -1;
    int signal = 0;  // the signal that ended it, if one did
};

// Waits for a started program and takes its figures.
inline Run waitFor(pid_t pid, std::chrono::steady_clock::time_point start) {
    Run run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.systemSeconds = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    run.peakKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return run;
}

// An argument vector for exec, pointing into argv.
inline std::vector<char*> argvOf(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

// Runs a program, by default with its output sent to /dev/null.
inline Run runProgram(const std::vector<std::string>& argv, bool quiet = true) {
    std::vector<char*> args = argvOf(argv);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return Run{};
    }
    posix_spawn_file_actions_destroy(&actions);
    return waitFor(pid, start);
}

// Runs a program with its address space capped, so that one which grows
// without bound fails its allocations instead of taking the machine's memory;
// its output goes to /dev/null and its errors to errorFile.
inline Run runCapped(const std::vector<std::string>& argv, unsigned long long addressSpaceBytes,
                     const std::string& errorFile) {
    std::vector<char*> args = argvOf(argv);
    auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return Run{};
    if (pid == 0) {
        const rlimit cap{addressSpaceBytes, addressSpaceBytes};
        const int out = open("/dev/null", O_WRONLY);
        const int err = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (setrlimit(RLIMIT_AS, &cap) != 0 || out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        execvp(args[0], args.data());
        _exit(127);
    }
    return waitFor(pid, start);
}

inline void removeTree(const std::string& path) {
    if (!path.empty()) runProgram({"rm", "-rf", path});
}

// The file system and device of a folder, as df names them.
inline std::string diskOf(const std::string& dir) {
    std::string line;
    if (FILE* p = popen(("df -T '" + dir + "' | tail -1").c_str(), "r")) {
        char buf[512];
        if (std::fgets(buf, sizeof buf, p)) line = buf;
        pclose(p);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

inline std::string makeTempDir(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + name + "-XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    return made ? made : "";
}

}  // namespace bench
