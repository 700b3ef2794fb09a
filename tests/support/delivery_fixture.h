// The fixture of the delivery tests (transfers, sources, multi-part, the
// run's folder): a loopback server, a private folder and the delivery seams
// pointed at both; and the helpers those tests share.
#pragma once

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "delivery_helpers.h"
#include "installer_download.h"
#include "loopback_server.h"
#include "test_paths.h"
#include "zip_fixtures.h"

namespace zrvk_test {

using Log = std::vector<std::string>;

inline std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

// ".000", ".001", ...
inline std::string partSuffix(size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, ".%03zu", i);
    return buf;
}

class DeliveryTest : public ::testing::Test {
protected:
    zrvk::test::LoopbackServer server;
    zrvk_test::TempDir tmp;
    std::string dest = tmp / "dest";
    std::string work = tmp / "work";

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        DeliveryTesting::setTempDirectory(work);
        DeliveryTesting::setGitHubProxyPrefixes({"", server.url("/proxy1/"), server.url("/proxy2/")});
        DeliveryTesting::setHuggingFaceMirrorHost("hf-mirror.com");
        DeliveryTesting::setStallSeconds(1);
        DeliveryTesting::setProbeTimeouts(2, 3, 3);
    }
    void TearDown() override { DeliveryTesting::reset(); }

    // "METHOD target" of every request, in arrival order.
    Log requestLog() {
        Log out;
        for (const zrvk::test::Request& r : server.requests()) out.push_back(r.method + " " + r.target);
        return out;
    }

    std::string zipBytes(const std::vector<ZipEntry>& entries) {
        std::string path = tmp / "fixture.zip";
        EXPECT_EQ(zrvk_test::buildZip(path, entries), "");
        std::string bytes = zrvk_test::readFile(path);
        std::remove(path.c_str());
        return bytes;
    }

    // An archive of ten files, one of them large enough for progress reports.
    std::string sampleZip(size_t bigSize = 60000) {
        std::vector<ZipEntry> entries;
        entries.push_back(ZipEntry::file("payload.bin", zrvk::test::patternBytes(0, bigSize), true));
        for (int i = 1; i < 10; ++i) entries.push_back(ZipEntry::file("lib/f" + std::to_string(i) + ".py", "x"));
        return zipBytes(entries);
    }

    void serveZip(const std::string& target, const std::string& bytes) {
        server.route("GET", target, zrvk::test::Response::text(200, bytes, "application/zip"));
    }

    bool downloadLeftoversGone() { return !exists(getRunTempDirectory() + "/zorvik_installer_download.zip"); }
};

}  // namespace zrvk_test
