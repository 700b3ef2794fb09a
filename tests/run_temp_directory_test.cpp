// The run's private temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "installer_download.h"
#include "support/delivery_fixture.h"

using zrvk_test::DeliveryTest;

namespace {

TEST_F(DeliveryTest, TemporaryWorkIsPrivateToTheRun) {
    std::string dir = getRunTempDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.rfind(work + "/zorvik_installer_", 0), 0u) << dir;
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(getRunTempDirectory(), dir);
}

}  // namespace
