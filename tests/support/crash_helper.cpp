// A program that really crashes with the crash handler installed, and that
// sends the pending report on its next start.
//
//   zrvk_crash_helper FOLDER segv|abort|throw [LOGFILE]   crash after setting up
//   zrvk_crash_helper FOLDER report HOST                 send what is pending
#include "posthog.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

__attribute__((noinline)) void crashBySegv() {
    // A real invalid access: a page that may not be written.
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) std::exit(2);
    *static_cast<volatile int*>(page) = 1;
}

__attribute__((noinline)) void crashByAbort() { std::abort(); }

__attribute__((noinline)) void crashByThrow() { throw std::runtime_error("helper failure"); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string folder = argv[1];
    const std::string mode = argv[2];
    PostHog::Config config;
    config.apiKey = "phc_crash";
    config.appName = "zrvk_crash_helper";
    config.appVersion = "1.0";
    config.distinctId = "crash-helper-id";
    if (mode == "report") {
        if (argc < 4) return 2;
        config.host = argv[3];
        PostHog::Client client(config);
        client.initialize();
        client.installCrashHandler(folder);
        client.shutdown();
        return 0;
    }
    PostHog::Client client(config);
    client.installCrashHandler(folder);
    client.setCrashMetadata({{"build", "test\nbuild"}, {"a=b", "c\\d"}});
    if (argc > 3) client.setLogFile(argv[3], 3);
    std::cout.flush();
    if (mode == "segv") crashBySegv();
    if (mode == "abort") crashByAbort();
    if (mode == "throw") crashByThrow();
    return 1;
}
