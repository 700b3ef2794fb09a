// The plug-in inventory over a MediaCore folder of 500 bundles holding 40 MB
// of resource files, against cat of the same files in the same run, and its
// peak memory measured in a fresh process of this program.
//
//   bench/diagnostics [rounds]
//
// The folder is the test build's sandbox MediaCore folder; it is removed at the end.
#include "bench_common.h"

#include "installer_config.h"
#include "plugin_diagnostics.h"
#include "support/plugin_fixtures.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kBundles = 500;
constexpr std::size_t kTotalBytes = 40u * 1000 * 1000;
constexpr std::size_t kLargest = 4u * 1000 * 1000;

// Resource bytes that look like a real resource fork: noise with stray
// signature bytes and a broken record now and then, the properties inside.
std::string resourceBytes(std::size_t size, int index, uint32_t& seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        std::memcpy(&bytes[i], &seed, 4);
    }
    for (std::size_t at = 997; at + 16 < size; at += 65521) std::memcpy(&bytes[at], "8BIMname\0\0\0\0\xff\xff\xff\xff", 16);
    const std::string props = zrvk_test::pluginProperties(
        "Effect " + std::to_string(index), zrvk_test::versionWord(index % 30, index % 16, index % 10),
        "Vendor Effect " + std::to_string(index), false);
    bytes.replace(size / 2, props.size(), props);
    return bytes;
}

std::vector<std::string> makeMediaCore(const std::string& root) {
    std::vector<std::string> files;
    uint32_t seed = 0x2545F491;
    const std::size_t rest = (kTotalBytes - kLargest) / (kBundles - 1);
    for (int i = 0; i < kBundles; ++i) {
        const std::string vendor = i < 20 ? "ZRVK" : "Vendor" + std::to_string(i % 12);
        const std::string dir = root + "/" + vendor;
        std::filesystem::create_directories(dir);
        // Sizes from half to one and a half times the mean, one large file.
        const std::size_t size = i == kBundles / 2 ? kLargest : rest / 2 + (rest * static_cast<std::size_t>(i % 101)) / 100;
        const std::string bundle = zrvk_test::makeMacBundle(dir, "Effect" + std::to_string(i) + ".plugin",
                                                            resourceBytes(size, i, seed));
        files.push_back(bundle + "/Contents/Resources/Effect" + std::to_string(i) + ".rsrc");
        zrvk_test::writeFile(bundle + "/Contents/Info.plist", "<plist/>\n");
    }
    return files;
}

double collectSeconds(std::size_t& found) {
    std::ostringstream sink;
    std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
    const auto start = std::chrono::steady_clock::now();
    found = PluginDiagnostics::collectInstalledPlugins().size();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout.rdbuf(saved);
    return seconds;
}

// The high-water mark of this process's own memory since its exec (the wait
// status's maxrss would also count the spawning parent's).
long peakKiB() {
    std::istringstream status(zrvk_test::readFile("/proc/self/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

long childPeakKiB(const std::string& self, const char* mode, const std::string& root) {
    const std::string file = root + "/../peak.txt";
    const bench::Run run = bench::runProgram({self, mode, file});
    const long peak = run.ok ? std::atol(zrvk_test::readFile(file).c_str()) : -1;
    std::remove(file.c_str());
    return peak;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    // The child modes: one inventory, or nothing (the program's own footprint);
    // each writes its peak resident size to the file named after the mode.
    if (argc > 2 && (std::strcmp(argv[1], "--collect") == 0 || std::strcmp(argv[1], "--idle") == 0)) {
        std::size_t found = kBundles;
        if (std::strcmp(argv[1], "--collect") == 0) collectSeconds(found);
        zrvk_test::writeFile(argv[2], std::to_string(peakKiB()));
        return found == kBundles ? 0 : 1;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;

    const std::string root = InstallerConfig::Paths::MEDIACORE_DIR;
    if (InstallerConfig::ROOT_PREFIX.empty()) {
        std::fprintf(stderr, "needs the sandboxed test configuration\n");
        return 1;
    }
    bench::removeTree(root);
    std::printf("writing %d bundles (%.0f MB of resource files, largest %.1f MB) into %s\n", kBundles,
                kTotalBytes / 1e6, kLargest / 1e6, root.c_str());
    const std::vector<std::string> files = makeMediaCore(root);
    std::vector<std::string> cat = {"cat"};
    cat.insert(cat.end(), files.begin(), files.end());

    std::size_t found = 0;
    collectSeconds(found);  // warm the page cache
    bench::runProgram(cat);
    if (found != kBundles) {
        std::fprintf(stderr, "the inventory found %zu plug-ins, not %d\n", found, kBundles);
        return 1;
    }
    std::vector<double> ours, theirs;
    for (int r = 0; r < rounds; ++r) {
        ours.push_back(collectSeconds(found));
        const bench::Run run = bench::runProgram(cat);
        if (!run.ok) {
            std::fprintf(stderr, "cat failed\n");
            return 1;
        }
        theirs.push_back(run.seconds);
    }
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const long collectPeak = childPeakKiB(self, "--collect", root);
    const long idlePeak = childPeakKiB(self, "--idle", root);
    bench::removeTree(root);

    const double o = median(ours), c = median(theirs);
    std::printf("collectInstalledPlugins: %.4f s (median of %d), %zu plug-ins\n", o, rounds, found);
    std::printf("cat of the same files:   %.4f s\n", c);
    std::printf("ratio collectInstalledPlugins/cat: %.2f (goal < 2.00)\n", o / c);
    std::printf("peak memory of one inventory: %.1f MB (program alone %.1f MB; goal < largest file %.1f MB + 16 MB)\n",
                collectPeak / 1024.0, idlePeak / 1024.0, kLargest / 1048576.0);
    return collectPeak > 0 ? 0 : 1;
}
