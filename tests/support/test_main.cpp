// Test entry shared by every test binary: loopback traffic must never go
// through a proxy that the environment may name, and a death test's child is
// a new run of the program rather than a fork: a fork while another thread
// holds a lock (the allocator's under ASan) can leave the child waiting on it
// for ever. Tests that share state with the child use support/death_test.h.
// Whatever a test starts stops processes by name only in the sandbox.
#include "stand_ins.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"}) {
        unsetenv(name);
    }
    zrvk_test::useStandIns(ZRVK_SANDBOX_ROOT);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
