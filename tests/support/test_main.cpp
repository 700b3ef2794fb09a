// Test entry shared by every test binary: loopback traffic must never go
// through a proxy that the environment may name.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"}) {
        unsetenv(name);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
