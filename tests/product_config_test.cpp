// The product's own build-time values: every transfer is https unless the
// build allows plain http (tests and the demo, for loopback catalogues).
#include "installer_config.h"

#include <gtest/gtest.h>

namespace {

TEST(ProductConfiguration, TransfersAreHttpsOnlyUnlessPlainHttpIsAllowed) {
#if ZRVK_ALLOW_HTTP_BUILD
    EXPECT_EQ(InstallerConfig::TRANSFER_PROTOCOLS, "http,https");
#else
    EXPECT_EQ(InstallerConfig::TRANSFER_PROTOCOLS, "https");
    for (const std::string& address :
         {InstallerConfig::MANIFEST_URL, InstallerConfig::ANALYTICS_HOST, InstallerConfig::WEBVIEW2_LINK_ORIGIN}) {
        EXPECT_EQ(address.rfind("https://", 0), 0u) << address;
    }
#endif
}

}  // namespace
