// The fixture of the extraction tests, and one extraction as callers see it
// (result, logs, callbacks, the tree left behind) with a given number of
// writers, for comparing runs.
#pragma once

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "delivery_helpers.h"
#include "installer_download.h"
#include "installer_extract.h"
#include "test_paths.h"
#include "zip_fixtures.h"

namespace zrvk_test {

inline bool isLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

inline void removeTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

inline bool isEmptyFolder(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (!d) return false;
    int names = 0;
    while (dirent* e = readdir(d)) names += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
    closedir(d);
    return names == 0;
}

// Sets the uncompressed size of the first entry in both of its headers.
inline bool claimSize(const std::string& path, uint32_t size) {
    std::string bytes = zrvk_test::readFile(path);
    const std::pair<std::string, size_t> fields[] = {{std::string("PK\x03\x04", 4), 22}, {std::string("PK\x01\x02", 4), 24}};
    for (const auto& f : fields) {
        size_t at = bytes.find(f.first);
        if (at == std::string::npos) return false;
        for (int b = 0; b < 4; ++b) bytes[at + f.second + b] = static_cast<char>((size >> (8 * b)) & 0xff);
    }
    zrvk_test::writeFile(path, bytes);
    return true;
}

class ExtractZipTest : public ::testing::Test {
protected:
    zrvk_test::TempDir tmp;
    std::string zip = tmp / "archive.zip";
    std::string dest = tmp / "dest";

    void make(const std::vector<ZipEntry>& entries) { ASSERT_EQ(buildZip(zip, entries), ""); }
};

// One extraction as callers see it: result, logs, callbacks (and the
// threads they came from) and the tree left behind.
struct Seen {
    bool ok = false;
    Logs logs;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    std::vector<std::string> status;
    bool callbacksOnCaller = true;
    std::map<std::string, std::string> tree;
    uint64_t folderOpens = 0;
};

// folderBudget 0: the default; onProgress runs after each progress call.
inline Seen extractWith(int threads, const std::string& zip, const std::string& dest, size_t folderBudget = 0,
                        const std::function<void(uint64_t)>& onProgress = nullptr) {
    DeliveryTesting::setExtractThreads(threads);
    DeliveryTesting::setExtractFolderBudget(folderBudget);
    Seen seen;
    const std::thread::id caller = std::this_thread::get_id();
    ProgressFn progress = [&](uint64_t k, uint64_t n) {
        seen.callbacksOnCaller = seen.callbacksOnCaller && std::this_thread::get_id() == caller;
        seen.progress.emplace_back(k, n);
        if (onProgress) onProgress(k);
    };
    StatusFn status = [&](const std::string& text) {
        seen.callbacksOnCaller = seen.callbacksOnCaller && std::this_thread::get_id() == caller;
        seen.status.push_back(text);
    };
    {
        LogCapture cap;
        seen.ok = extractZip(zip, dest, progress, status);
        seen.logs = cap.finish();
    }
    seen.folderOpens = DeliveryTesting::extractFolderOpens();
    DeliveryTesting::reset();
    seen.tree = treeOf(dest);
    return seen;
}

inline void expectSame(const Seen& one, const Seen& many) {
    EXPECT_EQ(one.ok, many.ok);
    EXPECT_EQ(one.logs.out, many.logs.out);
    EXPECT_EQ(one.logs.err, many.logs.err);
    EXPECT_EQ(one.progress, many.progress);
    EXPECT_EQ(one.status, many.status);
    EXPECT_TRUE(one.tree == many.tree) << one.tree.size() << " against " << many.tree.size() << " paths";
    EXPECT_TRUE(one.callbacksOnCaller);
    EXPECT_TRUE(many.callbacksOnCaller);
}

}  // namespace zrvk_test
