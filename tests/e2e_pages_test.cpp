// The real program end to end, its first pages: the catalogue leads to the
// welcome page and the plug-in list, and without a server the no-internet
// page retries or closes.
#include "support/e2e_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace zrvk_test::e2e;
using namespace std::chrono_literals;

namespace {

TEST_F(EndToEnd, CatalogueLeadsToTheWelcomePageAndThePluginList) {
    startServer();
    launch();
    ASSERT_TRUE(screen_.waitFor(kWelcome, 40s)) << program_->out();
    screen_.save("welcome");
    EXPECT_EQ(gets(server_, "/manifest.json"), 1u);
    // Everything the later pages show is fetched before the welcome page.
    for (const char* target : {"/media/welcome_header.png", "/media/welcome_banner.png", "/licenses/general.txt",
                               "/licenses/deep-denoise.txt"}) {
        EXPECT_TRUE(servedGet(server_, target)) << target;
    }
    EXPECT_NE(program_->out().find("[MANIFEST_THREAD] Dispatching JavaScript callback..."), std::string::npos);

    ASSERT_TRUE(screen_.click(kGetStarted));
    ASSERT_TRUE(screen_.waitFor(kPlugins, 20s));
    screen_.save("plugins");
    // A plug-in banner on the catalogue host is shown in its row.
    EXPECT_TRUE(servedGet(server_, "/media/banners/deep-denoise.png"));

    ASSERT_TRUE(screen_.click(pluginRow(0)));
    ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s)) << "selecting a row enables Install";
    screen_.save("plugins-selected");

    ASSERT_TRUE(screen_.click(kTerms));
    ASSERT_TRUE(screen_.waitFor(kLicense, 10s));
    screen_.save("license-info");
    ASSERT_TRUE(screen_.click(kLicenseBack));
    ASSERT_TRUE(screen_.waitFor(kPluginsSelected, 10s)) << "Back keeps the selection";
    closeWindow();
}

TEST_F(EndToEnd, WithoutTheServerTheNoInternetPageRetriesOnceItIsUp) {
    launch();
    ASSERT_TRUE(screen_.waitFor(kNoInternet, 40s)) << program_->out();
    screen_.save("no-internet");
    // The page's 2 s timer may show the page before the fetch gives up.
    for (int i = 0; i < 100 && program_->err().find("[MANIFEST_THREAD] Failed to fetch manifest from URL") ==
                                   std::string::npos;
         ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_NE(program_->err().find("[httpGet] Failed after 3 attempts\n[MANIFEST_THREAD] Failed to fetch manifest from URL"),
              std::string::npos)
        << program_->err();

    startServer();
    ASSERT_TRUE(screen_.click(kRetry));
    ASSERT_TRUE(screen_.waitFor(kWelcome, 40s)) << program_->out();
    screen_.save("welcome-after-retry");
    EXPECT_EQ(gets(server_, "/manifest.json"), 1u) << "one fetch per Retry";
    closeWindow();
}

TEST_F(EndToEnd, CloseOnTheNoInternetPageEndsTheProgram) {
    launch();
    ASSERT_TRUE(screen_.waitFor(kNoInternet, 40s)) << program_->out();
    ASSERT_TRUE(screen_.click(kNoInternetClose));
    expectCleanExit();
    EXPECT_NE(program_->out().find("[MAIN] Main loop exited, destroying webview..."), std::string::npos);
}
}  // namespace
