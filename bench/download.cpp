// downloadToFile of a 1 GB body from the loopback server against curl -s -o
// of the same URL, in one run.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_common.h"
#include "installer_transfer.h"
#include "loopback_server.h"

int main() {
    const uint64_t size = 1ull << 30;
    zrvk::test::LoopbackServer server;
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "server: %s\n", error.c_str());
        return 1;
    }
    server.route("GET", "/big.bin", zrvk::test::Response::pattern(size));
    const std::string url = server.url("/big.bin");
    const std::string work = bench::makeTempDir("zrvk-bench-download");
    if (work.empty()) return 1;
    const std::string ourFile = work + "/ours.bin", curlFile = work + "/curl.bin";

    std::vector<double> ours, curl;
    bool ok = true;
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        // The progress lines go to /dev/null, as curl -s prints nothing.
        std::fflush(stdout);
        int saved = dup(1), devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        bool got = downloadToFile(url, ourFile, "Bench", nullptr, nullptr);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(devnull);
        ours.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        struct stat st;
        ok = ok && got && stat(ourFile.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == size;
        std::remove(ourFile.c_str());

        bench::Run rc = bench::runProgram({"curl", "-s", "-o", curlFile, url});
        ok = ok && rc.ok && stat(curlFile.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == size;
        curl.push_back(rc.seconds);
        std::remove(curlFile.c_str());
    }
    std::sort(ours.begin(), ours.end());
    std::sort(curl.begin(), curl.end());
    std::printf("downloadToFile: %.3f s (%.0f MB/s, median of 3)\n", ours[1], 1024 / ours[1]);
    std::printf("curl -s -o:     %.3f s (%.0f MB/s)\n", curl[1], 1024 / curl[1]);
    std::printf("ratio downloadToFile/curl: %.2f (goal <= 1.10)%s\n", ours[1] / curl[1], ok ? "" : " (a transfer FAILED)");
    bench::removeTree(work);
    return ok ? 0 : 1;
}
