// Whole-installation benchmark.
//
// Builds a catalogue at run time (a runtime-like render engine split into
// three parts, a small server package and two plug-ins), serves it from the
// loopback server and measures two runs of the same work:
//   floor      curl -s -o for every archive, cat to join the parts, unzip -q
//              into staging folders, then the same copy chains the installer
//              runs (mkdir, rm, cp -R, chown, chmod);
//   installer  installationThreadFunc started through startInstallation_cb,
//              in a child process of its own so its peak memory is its own.
// Prints both wall times, their ratio, peak memory, the progress scripts that
// reached the page (total and per second) and a phase split of both runs.
//
// Everything goes under the sandbox root of the build and is removed at the
// end (--keep leaves the work folder and the timestamped installer log). It
// shares the sandbox with the tests: do not run it while ctest runs.
//
//   bench/install                        full size: a 200 MB render engine
//   bench/install --engine-mb 20         quick run
//   bench/install --rounds 3             medians of three alternating rounds
//   xvfb-run -a bench/install --page     also replay the scripts into the page
//   bench/install --settle 61            wait before each timed run: ext4
//       passes over inodes freed in the last minute on every file it creates,
//       so a run right after the removal of the other's trees pays for it
#include "install_bench.h"

#include "bench_common.h"
#include "installer_config.h"
#include "loopback_server.h"
#include "stand_ins.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

using namespace bench::install;
using zrvk::test::LoopbackServer;

namespace {

struct Options {
    double engineMb = 200;
    int files = 0;
    bool keep = false;
    bool page = false;
    int rounds = 1;
    int settle = 0;
};

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--engine-mb" && i + 1 < argc) {
            o.engineMb = std::atof(argv[++i]);
        } else if (a == "--files" && i + 1 < argc) {
            o.files = std::atoi(argv[++i]);
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--rounds" && i + 1 < argc) {
            o.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--settle" && i + 1 < argc) {
            o.settle = std::max(0, std::atoi(argv[++i]));
        } else if (a == "--page") {
            o.page = true;
        } else {
            std::cerr << "usage: " << argv[0] << " [--engine-mb MB (200)] [--files N (50 per MB)] [--rounds N (1)] [--settle S (0)] [--keep] [--page]\n"
                         "  --rounds  repeat floor and installer N times (alternating); medians are printed\n"
                         "  --page  also replay the progress scripts into the real page (needs a display;\n"
                         "          the installer's peak memory then includes the recorded scripts)\n";
            return false;
        }
    }
    if (o.engineMb < 1) o.engineMb = 1;
    if (o.files <= 0) o.files = std::max(100, static_cast<int>(o.engineMb * 50));
    return true;
}

std::size_t countEntries(const std::string& dir) {
    FILE* p = ::popen(("find " + shellQuote(dir) + " | wc -l").c_str(), "r");
    if (!p) return 0;
    std::size_t n = 0;
    if (std::fscanf(p, "%zu", &n) != 1) n = 0;
    ::pclose(p);
    return n;
}

void printPhases(const char* title, const std::vector<Timed>& phases) {
    std::printf("  %s\n", title);
    for (const Timed& p : phases) {
        std::printf("    %-58s %8.3f s", p.name.c_str(), p.seconds);
        if (p.scripts >= 0) std::printf("   %7ld scripts (~50 ms)", p.scripts);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The installer's stop of the running server reaches only the sandbox's.
    zrvk_test::useStandIns(InstallerConfig::ROOT_PREFIX);
    if (argc == 5 && std::string(argv[1]) == "--installer-child") return childMain(argv[2], argv[3], argv[4]);
    if (argc == 5 && std::string(argv[1]) == "--page-child") return pageChildMain(argv[2], argv[3], argv[4]);
    Options options;
    if (!parseOptions(argc, argv, options)) return 2;
    if (InstallerConfig::ROOT_PREFIX.empty()) {
        std::cerr << "bench/install needs the sandbox build (a root prefix)" << std::endl;
        return 2;
    }
    using namespace InstallerConfig::Paths;
    const std::string work = InstallerConfig::ROOT_PREFIX + "/bench-install";
    const std::string sandboxTmp = InstallerConfig::MAC_TEMP_DIR;
    // What the installer puts in place, removed before and after.
    const std::vector<std::string> installed = {RENDER_ENGINE_DIR, MRV_SERVER_DIR, CRASH_REPORTS_DIR,
                                                PLUGINS_DIR + "/zrvk_glow.plugin", MRV_PLUGINS_DIR + "/zrvk_glow",
                                                MRV_PLUGINS_DIR + "/zrvk_blur"};
    // Also the folders made on the way there, while they are empty.
    auto cleanInstalled = [&] {
        for (const std::string& p : installed) {
            removeTree(p);
            for (std::string dir = p.substr(0, p.rfind('/'));
                 dir.size() > InstallerConfig::ROOT_PREFIX.size() && ::rmdir(dir.c_str()) == 0;
                 dir = dir.substr(0, dir.rfind('/'))) {
            }
        }
    };
    removeTree(work);
    cleanInstalled();
    struct stat tmpStat {};
    const bool tmpExisted = ::stat(sandboxTmp.c_str(), &tmpStat) == 0;
    makeDirs(sandboxTmp);
    const std::set<std::string> tmpBefore = listDir(sandboxTmp);
    int exitCode = 1;
    std::string error;

    [&] {
        std::printf("bench/install: render engine %.0f MB target, %d files, in 3 parts\n", options.engineMb,
                    options.files);
        std::fflush(stdout);
        Catalogue cat;
        auto t0 = Clock::now();
        // Built in a child (no threads exist yet), so this process stays small
        // and the processes it starts later do not inherit its peak.
        const pid_t builder = ::fork();
        if (builder == 0) {
            std::string childError;
            Catalogue built;
            const bool ok = buildCatalogue(work + "/catalogue", static_cast<std::uint64_t>(options.engineMb * 1048576.0),
                                           options.files, built, childError);
            if (!ok) std::fprintf(stderr, "%s\n", childError.c_str());
            std::fflush(nullptr);
            std::_Exit(ok ? 0 : 1);
        }
        int builderStatus = 0;
        if (builder < 0 || ::waitpid(builder, &builderStatus, 0) != builder || !WIFEXITED(builderStatus) ||
            WEXITSTATUS(builderStatus) != 0) {
            error = "building the catalogue failed";
            return;
        }
        catalogueNames(work + "/catalogue", options.files, cat);
        std::printf("catalogue built in %.1f s: render engine archive %.1f MB, %zu entries\n", secondsSince(t0),
                    static_cast<double>(cat.engineBytes) / 1048576.0, cat.engineEntries);
        std::printf("disk: %s\n", bench::diskOf(work).c_str());

        LoopbackServer server;
        if (!server.start(error)) return;
        serveCatalogue(server, cat);
        const std::string manifestPath = work + "/manifest.json";
        writeAll(manifestPath, manifestFor(server.baseUrl()));

        const std::string floorRoot = work + "/floor-root";
        const std::string memFile = work + "/floor-tools.kb";
        const bool haveTime = ::access("/usr/bin/time", X_OK) == 0;
        const std::string logPath = work + "/installer.log";
        const std::string resultPath = work + "/installer.result";
        const std::string recordPath = options.page ? work + "/scripts.js" : std::string();
        std::vector<double> floorTimes, installerTimes;
        std::vector<Timed> floorPhases;
        double floorSeconds = 0, childWall = 0, floorCpu = 0, installerCpu = 0;
        long childMaxKb = 0;
        ChildResult r;
        for (int round = 1; round <= options.rounds; ++round) {
            if (round > 1) {
                cleanInstalled();
                removeTree(floorRoot);
            }
            // Floor first; sync so neither run pays for the other's writes.
            ::sync();
            ::sleep(static_cast<unsigned>(options.settle));
            floorPhases.clear();
            const auto floorStart = Clock::now();
            const double cpuBefore = childrenCpuSeconds();
            if (!runFloor(server.baseUrl(), floorRoot, std::string(), floorPhases, error)) return;
            floorSeconds = secondsSince(floorStart);
            floorCpu = childrenCpuSeconds() - cpuBefore;
            ::sync();
            ::sleep(static_cast<unsigned>(options.settle));
            if (!runInstallerChild({"--installer-child", manifestPath, resultPath, round == options.rounds ? recordPath : ""},
                                   logPath, childWall, childMaxKb, error, &installerCpu)) {
                return;
            }
            if (!readChildResult(resultPath, r)) {
                error = "no result from the installer child; log: " + logPath;
                return;
            }
            if (!r.success) {
                error = "the installation failed; log: " + logPath;
                return;
            }
            floorTimes.push_back(floorSeconds);
            installerTimes.push_back(r.seconds);
            if (options.rounds > 1) {
                std::printf("round %d: floor %.3f s, installer %.3f s, ratio %.2f\n", round, floorSeconds, r.seconds,
                            r.seconds / floorSeconds);
                std::fflush(stdout);
            }
        }
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
        };
        // The tools' peak memory from one more floor pass, untimed: GNU time
        // adds two process starts to every command.
        long toolsKb = -1;
        if (haveTime) {
            const std::string memRoot = work + "/floor-mem-root";
            std::vector<Timed> ignored;
            if (!runFloor(server.baseUrl(), memRoot, memFile, ignored, error)) return;
            removeTree(memRoot);
            std::ifstream in(memFile);
            for (long kb = 0; in >> kb;) toolsKb = std::max(toolsKb, kb);
        }
        bool same = true;
        for (const std::string& dir : {RENDER_ENGINE_DIR, MRV_SERVER_DIR, PLUGINS_DIR + "/zrvk_glow.plugin",
                                       MRV_PLUGINS_DIR + "/zrvk_glow", MRV_PLUGINS_DIR + "/zrvk_blur"}) {
            if (run("diff -rq " + shellQuote(rerooted(dir, floorRoot)) + " " + shellQuote(dir) + " >&2") != 0) {
                std::fprintf(stderr, "differs from the floor: %s\n", dir.c_str());
                same = false;
            }
        }
        const std::size_t installedEntries = countEntries(RENDER_ENGINE_DIR);

        std::printf("\n== whole installation (render engine %.1f MB in 3 parts, server, 2 plug-ins) ==\n",
                    static_cast<double>(cat.engineBytes) / 1048576.0);
        const char* which = options.rounds > 1 ? "median" : "";
        std::printf("  floor (curl -s -o, cat, unzip -q, cp/chown/chmod)  %8.3f s %s\n", median(floorTimes), which);
        std::printf("  installer (startInstallation -> completion)        %8.3f s %s  (last process %.3f s)\n",
                    median(installerTimes), which, childWall);
        std::printf("  ratio installer / floor                            %8.2f\n",
                    median(installerTimes) / median(floorTimes));
        std::printf("  CPU time (user+sys, last round): floor %.2f s, installer %.2f s (both with their shells)\n",
                    floorCpu, installerCpu);
        std::printf("  installed trees equal to the floor's               %8s   (%zu entries in the render engine)\n",
                    same ? "yes" : "NO", installedEntries);
        std::printf("\n== memory ==\n");
        std::printf("  installer peak RSS                                 %8.1f MB  (%.1f MB at start)\n",
                    static_cast<double>(r.peakKb) / 1024.0, static_cast<double>(r.baselineKb) / 1024.0);
        std::printf("  installer process max RSS (wait4)                  %8.1f MB\n",
                    static_cast<double>(childMaxKb) / 1024.0);
        if (toolsKb >= 0) {
            std::printf("  floor: largest tool process (GNU time)             %8.1f MB\n",
                        static_cast<double>(toolsKb) / 1024.0);
        }
        std::printf("\n== progress scripts reaching the page ==\n");
        std::printf("  total                                              %8zu\n", r.scripts);
        std::printf("  average per second                                 %8.1f\n",
                    static_cast<double>(r.scripts) / r.seconds);
        std::printf("  peak in one second                                 %8zu\n", r.peakPerSecond);
        std::printf("  peak in 100 ms                                     %8zu\n", r.peakPer100ms);
        std::printf("  identical to the script before                     %8zu\n", r.repeated);
        std::printf("\n== where the time goes ==\n");
        printPhases(options.rounds > 1 ? "floor (last round):" : "floor:", floorPhases);
        printPhases(options.rounds > 1 ? "installer (last round, from its log's timestamps):"
                                       : "installer (from its log's timestamps):",
                    installerPhases(logPath));
        if (options.page) {
            double pageWall = 0;
            long pageKb = 0;
            const std::string pageResult = work + "/page.result";
            if (!runInstallerChild({"--page-child", recordPath, pageResult, work + "/page-home"}, work + "/page.log",
                                   pageWall, pageKb, error)) {
                return;
            }
            std::map<std::string, double> v = readValues(pageResult);
            std::printf("\n== the same scripts replayed into the real page (WebKitGTK, product dispatch path) ==\n");
            std::printf("  scripts                                            %8.0f\n", v["page_scripts"]);
            std::printf("  paced as recorded: posting took                    %8.3f s\n", v["paced_seconds"]);
            std::printf("  paced: last script ran after the last post         %8.3f s  (the page's lag)\n",
                        v["paced_lag"]);
            std::printf("  paced: UI thread inside executeJS                  %8.3f s  (longest %.2f ms)\n",
                        v["page_ui_seconds"], v["page_longest_eval"] * 1000.0);
            std::printf("  one burst: page ran them all in                    %8.3f s  (%.0f per second)\n",
                        v["burst_seconds"], v["page_scripts"] / v["burst_seconds"]);
        }
        if (options.keep) std::printf("\nkept: %s (installer log: %s)\n", work.c_str(), logPath.c_str());
        exitCode = 0;
    }();

    if (exitCode != 0) {
        std::fprintf(stderr, "bench/install failed: %s\n", error.c_str());
        run("tail -n 40 " + shellQuote(work + "/installer.log") + " >&2 2>/dev/null");
    }
    if (!options.keep) {
        removeTree(work);
        cleanInstalled();
        for (const std::string& name : listDir(sandboxTmp)) {
            if (!tmpBefore.count(name)) removeTree(sandboxTmp + "/" + name);
        }
        if (!tmpExisted) ::rmdir(sandboxTmp.c_str());
    }
    return exitCode;
}
