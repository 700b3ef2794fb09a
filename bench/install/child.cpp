// The measured run: startInstallation in a child process of its own, its
// output stamped into a log, and the phases read back from that log.
#include "install_bench.h"

#include "bridge.h"
#include "installation.h"
#include "manifest.h"

#include <curl/curl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench::install {
namespace {

// Peak resident size of this process image, in kB. ru_maxrss would carry
// the spawning process's peak across exec; VmHWM belongs to this image.
long peakResidentKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
    }
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string selfPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("/proc/self/exe");
}

double cpuSeconds(const struct rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int childMain(const std::string& manifestPath, const std::string& resultPath, const std::string& recordPath) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const long baselineKb = peakResidentKb();
    {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        g_manifestJson = readAll(manifestPath);
    }
    std::mutex mutex;
    std::condition_variable done;
    std::vector<Clock::time_point> stamps;
    std::string completion;
    std::string previous;
    std::size_t repeated = 0;  // scripts identical to the one before
    std::vector<std::string> recorded;  // only for the page replay
    stamps.reserve(1 << 20);
    setReturnSinkForTesting([](const std::string&, int status, const std::string& result) {
        std::cout << "[BENCH] startInstallation answered " << status << ": " << result << std::endl;
    });
    setScriptSinkForTesting([&](const std::string& script) {
        std::lock_guard<std::mutex> lock(mutex);
        stamps.push_back(Clock::now());
        if (script == previous) ++repeated;
        if (!recordPath.empty()) recorded.push_back(script);
        previous = script;
        if (script.find("onInstallationComplete(") != std::string::npos) {
            completion = script;
            done.notify_all();
        }
    });
    // The script count goes into the log every 50 ms, so the log shows which
    // phase sends how many.
    std::atomic<bool> finished{false};
    std::thread sampler([&] {
        while (!finished) {
            std::size_t n;
            {
                std::lock_guard<std::mutex> lock(mutex);
                n = stamps.size();
            }
            std::cout << "[BENCH] scripts " << n << std::endl;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const auto start = Clock::now();
    startInstallation_cb("1", R"([{"pluginIds":["zrvk_glow","zrvk_blur"],"forceReinstallRenderEngine":true}])",
                         nullptr);
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return !completion.empty(); });
    const double seconds = secondsSince(start);
    lock.unlock();
    finished = true;
    sampler.join();
    std::cout << "[BENCH] scripts " << stamps.size() << std::endl;

    std::map<long, std::size_t> perSecond, per100ms;
    for (const auto& t : stamps) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - start).count();
        ++perSecond[static_cast<long>(ms / 1000)];
        ++per100ms[static_cast<long>(ms / 100)];
    }
    auto peak = [](const std::map<long, std::size_t>& m) {
        std::size_t best = 0;
        for (const auto& kv : m) best = std::max(best, kv.second);
        return best;
    };
    const long peakKb = peakResidentKb();
    if (!recordPath.empty()) {
        std::ofstream rec(recordPath, std::ios::trunc);
        // "<microseconds since start> <script>"; scripts are escaped, one line each.
        for (std::size_t i = 0; i < recorded.size(); ++i) {
            rec << std::chrono::duration_cast<std::chrono::microseconds>(stamps[i] - start).count() << ' '
                << recorded[i] << '\n';
        }
    }
    std::ofstream out(resultPath, std::ios::trunc);
    out << "success " << (completion.find("success: true") != std::string::npos ? 1 : 0) << "\n"
        << "seconds " << seconds << "\n"
        << "scripts " << stamps.size() << "\n"
        << "peak_per_second " << peak(perSecond) << "\n"
        << "peak_per_100ms " << peak(per100ms) << "\n"
        << "repeated " << repeated << "\n"
        << "baseline_kb " << baselineKb << "\n"
        << "peak_kb " << peakKb << "\n";
    out.close();
    std::cout << "[BENCH] completion: " << completion << std::endl;
    // The worker has ended; leave without running static destructors under it.
    std::cout.flush();
    std::_Exit(out ? 0 : 1);
}

bool readChildResult(const std::string& path, ChildResult& r) {
    std::ifstream in(path);
    std::string key;
    std::map<std::string, double> values;
    double v = 0;
    while (in >> key >> v) values[key] = v;
    if (!values.count("peak_kb")) return false;
    r.success = values["success"] != 0;
    r.seconds = values["seconds"];
    r.scripts = static_cast<std::size_t>(values["scripts"]);
    r.peakPerSecond = static_cast<std::size_t>(values["peak_per_second"]);
    r.peakPer100ms = static_cast<std::size_t>(values["peak_per_100ms"]);
    r.repeated = static_cast<std::size_t>(values["repeated"]);
    r.baselineKb = static_cast<long>(values["baseline_kb"]);
    r.peakKb = static_cast<long>(values["peak_kb"]);
    return true;
}

double childrenCpuSeconds() {
    struct rusage u {};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return cpuSeconds(u);
}

bool runInstallerChild(const std::vector<std::string>& childArgs, const std::string& logPath,
                       double& wallSeconds, long& childMaxKb, std::string& error, double* cpu) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        error = "pipe failed";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    // ZRVK_BENCH_WRAP puts a tool in front of the installer child, e.g.
    // "valgrind --tool=callgrind --callgrind-out-file=build/callgrind.out".
    std::vector<std::string> args;
    const char* wrap = std::getenv("ZRVK_BENCH_WRAP");
    if (wrap && *wrap && childArgs.front() == "--installer-child") {
        std::istringstream words(wrap);
        for (std::string w; words >> w;) args.push_back(w);
    }
    args.push_back(selfPath());
    args.insert(args.end(), childArgs.begin(), childArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args.front().c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        error = std::string("spawn failed: ") + std::strerror(spawned);
        return false;
    }
    std::ofstream log(logPath, std::ios::trunc);
    std::string pending;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const double t = secondsSince(start);
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t pos;
        while ((pos = pending.find('\n')) != std::string::npos) {
            char stamp[32];
            std::snprintf(stamp, sizeof(stamp), "[+%9.3f] ", t);
            log << stamp << pending.substr(0, pos) << '\n';
            pending.erase(0, pos + 1);
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    wallSeconds = secondsSince(start);
    childMaxKb = usage.ru_maxrss;
    if (cpu) *cpu = cpuSeconds(usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "installer child failed (status " + std::to_string(status) + "), log: " + logPath;
        return false;
    }
    return true;
}

// Intervals between the first lines that mark the installer's phases.
std::vector<Timed> installerPhases(const std::string& logPath) {
    const std::vector<std::pair<std::string, std::string>> marks = {
        {"=== INSTALLATION THREAD STARTED", "start-up"},
        {"[detectMultiPart] Checking", "engine: detect parts (HEAD probes)"},
        {"[downloadMultiPart] Downloading part 1/", "engine: download parts"},
        {"[downloadMultiPart] All parts downloaded", "engine: join"},
        {"[concatenate] Total:", "engine: remove parts"},
        {"[downloadMultiPart] Extracting combined ZIP", "engine: extract"},
        {"[extractZip] 100%", "engine: after extract (remove zip, version, stop server)"},
        {"[RENDER_ENGINE] Moving files to installation location", "engine: place (privileged chain)"},
        {"[RENDER_ENGINE] Files moved successfully", "engine: remove staging"},
        {"=== STEP 2/3", "server"},
        {"=== STEP 3/3", "plugins"},
        {"=== INSTALLATION COMPLETE", "completion (diagnostics, launch)"},
        {"[BENCH] completion", ""},
    };
    std::vector<double> found(marks.size(), -1);
    std::vector<std::pair<double, long>> samples;  // (time, scripts so far)
    std::ifstream in(logPath);
    std::string line;
    std::size_t next = 0;
    while (std::getline(in, line)) {
        const std::string::size_type sample = line.find("[BENCH] scripts ");
        if (sample != std::string::npos) {
            samples.emplace_back(std::atof(line.c_str() + 2), std::atol(line.c_str() + sample + 16));
            continue;
        }
        for (std::size_t i = next; i < marks.size(); ++i) {
            if (line.find(marks[i].first) != std::string::npos) {
                found[i] = std::atof(line.c_str() + 2);
                next = i + 1;
                break;
            }
        }
    }
    // Scripts sent by time t: the last sample taken at or before t.
    auto scriptsAt = [&](double t) {
        long n = 0;
        for (const auto& s : samples) {
            if (s.first > t) break;
            n = s.second;
        }
        return n;
    };
    std::vector<Timed> phases;
    for (std::size_t i = 0; i + 1 < marks.size(); ++i) {
        if (found[i] < 0) continue;
        std::size_t j = i + 1;
        while (j < marks.size() && found[j] < 0) ++j;
        if (j < marks.size()) {
            phases.push_back({marks[i].second, found[j] - found[i], scriptsAt(found[j]) - scriptsAt(found[i])});
        }
    }
    return phases;
}

}  // namespace bench::install
