// The room that delivery needs and may use: extraction counts what an
// archive makes as the file system spends it (blocks for files and folders,
// an inode for each) before it writes anything, a download never fills its
// file system, and split archives are joined only where the joined copy fits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk_space.h"
#include "installer_download.h"
#include "installer_extract_paths.h"
#include "installer_transfer.h"
#include "loopback_server.h"
#include "support/delivery_fixture.h"
#include "support/delivery_helpers.h"
#include "support/extract_fixture.h"
#include "support/small_file_system.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

using zrvk_test::buildZip;
using zrvk_test::contains;
using zrvk_test::exists;
using zrvk_test::ExtractZipTest;
using zrvk_test::isEmptyFolder;
using zrvk_test::LogCapture;
using zrvk_test::Recorder;
using zrvk_test::SmallFileSystem;
using zrvk_test::ZipEntry;
using zrvk::test::Response;

namespace {

constexpr int64_t kMiB = 1 << 20;

uint64_t blockAt(const std::string& folder) {
    DiskSpace::Room room;
    EXPECT_TRUE(DiskSpace::fileSystemRoomAt(folder, room));
    return room.blockSize;
}

// ---------------------------------------------------------------------------
// The status: needed rounded up, free rounded down, so a refusal never reads
// as if the store fitted.

TEST(DiskSpaceStatus, NeededIsRoundedUpAndFreeDown) {
    const struct {
        uint64_t needed, free;
        const char* text;
    } cases[] = {
        {0, 0, "Error: Not enough disk space (0.0 MB needed, 0.0 MB free)"},
        {kMiB, kMiB, "Error: Not enough disk space (1.0 MB needed, 1.0 MB free)"},
        {kMiB + 1, kMiB - 1, "Error: Not enough disk space (1.1 MB needed, 0.9 MB free)"},
        {3 * kMiB + 4096, 80ull << 30, "Error: Not enough disk space (3.1 MB needed, 81920.0 MB free)"},
        {UINT64_MAX, 1, "Error: Not enough disk space (17592186044416.0 MB needed, 0.0 MB free)"},
    };
    for (const auto& c : cases) EXPECT_EQ(DiskSpace::notEnoughSpaceText(c.needed, c.free), c.text);
}

// ---------------------------------------------------------------------------
// Extraction's count.

TEST(FolderCounting, EachFolderIsCountedOnceHoweverItIsNamed) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, bool>> paths;  // entry path, names a folder
        uint64_t folders;
    } cases[] = {
        {"files at the top", {{"a", false}, {"b", false}}, 0},
        {"a folder entry", {{"lib/", true}}, 1},
        {"the folders a path implies", {{"a/b/c/f", false}}, 3},
        {"shared folders", {{"a/x", false}, {"a/y", false}, {"a/b/z", false}, {"a/b/", true}}, 2},
        {"empty and dot steps", {{"a//./b/f", false}, {"./a/b/g", false}, {"a/./b/./", true}}, 2},
        {"names that share a prefix", {{"ab/c", false}, {"a/bc", false}, {"a/b/c", false}, {"abc/", true}}, 4},
        {"back to an earlier folder", {{"a/b/x", false}, {"c/d", false}, {"a/b/y", false}, {"a/e/z", false}}, 4},
        {"a file and a folder of one name", {{"x", false}, {"x/y", false}}, 1},
        {"nothing but slashes", {{"/", true}, {"//", true}, {"", false}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Extraction::FolderCount count;
        for (const auto& p : c.paths) count.add(p.first, p.second);
        EXPECT_EQ(count.folders(), c.folders);
    }
    // Deep paths that differ only at their far end: every folder of both.
    Extraction::FolderCount deep;
    std::string path;
    for (int i = 0; i < 1000; ++i) path += "d/";
    deep.add(path + "f", false);
    deep.add(path + "e/f", false);
    deep.add(path.substr(0, path.size() - 2) + "x/f", false);
    EXPECT_EQ(deep.folders(), 1002u);
}

// Through the seam, at the edge: the room exactly, one byte less, one inode less.
TEST_F(ExtractZipTest, TheRoomCountedIsWhatTheFileSystemSpends) {
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    const uint64_t b = blockAt(dest);
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
        uint64_t bytes, inodes;
    } cases[] = {
        {"one byte takes a block", {ZipEntry::file("a.txt", "a")}, b, 1},
        {"empty files take inodes only", {ZipEntry::file("a", ""), ZipEntry::file("b", "")}, 0, 2},
        {"a file one byte over a block", {ZipEntry::file("m.py", std::string(b + 1, 'm'))}, 2 * b, 1},
        {"each folder a block and an inode", {ZipEntry::file("a/b/c/f", "")}, 3 * b, 4},
        {"a folder entry and its file", {ZipEntry::folder("lib/"), ZipEntry::file("lib/m.py", "m")}, 2 * b, 2},
        {"skipped entries take nothing",
         {ZipEntry::file("__MACOSX/._a", std::string(5000, 'x')), ZipEntry::file("x/.DS_Store", "x"),
          ZipEntry::file("a", "")},
         0, 1},
        {"links like files", {ZipEntry::file("lib/x", ""), ZipEntry::link("cur", "lib")}, 2 * b, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make(c.entries);
        struct Room {
            int64_t bytes, inodes;
            bool fits;
        } rooms[] = {{int64_t(c.bytes), int64_t(c.inodes), true},
                     {int64_t(c.bytes) - 1, int64_t(c.inodes), c.bytes == 0},
                     {int64_t(c.bytes), int64_t(c.inodes) - 1, false}};
        for (const Room& room : rooms) {
            if (room.bytes < 0) continue;
            SCOPED_TRACE(std::to_string(room.bytes) + " bytes, " + std::to_string(room.inodes) + " inodes");
            zrvk_test::removeTree(dest);
            DeliveryTesting::setFreeSpace(room.bytes, room.inodes);
            Recorder rec;
            LogCapture cap;
            const bool ok = extractZip(zip, dest, nullptr, rec.statusFn());
            const auto logs = cap.finish();
            DeliveryTesting::reset();
            EXPECT_EQ(ok, room.fits) << logs.err;
            if (!room.fits) {
                EXPECT_TRUE(isEmptyFolder(dest));
                EXPECT_TRUE(contains(logs.err, "[extractZip] Not enough free")) << logs.err;
                ASSERT_FALSE(rec.status.empty());
                EXPECT_EQ(rec.status.back().rfind("Error: Not enough disk space (", 0), 0u) << rec.status.back();
            }
        }
    }
}

// The status names what is short: a figure in MB when bytes are, files and
// folders when only inodes are (an MB figure would read as if it fitted).
TEST_F(ExtractZipTest, TheStatusNamesWhatIsShort) {
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    const std::string twoMiB(2 * kMiB, 'w');
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
        int64_t bytes, inodes;
        const char* status;
    } cases[] = {
        {"only inodes", {ZipEntry::file("a", ""), ZipEntry::file("b", "")}, kMiB, 1,
         "Error: Not enough disk space (2 files and folders needed, 1 can be made)"},
        {"only inodes, with folders", {ZipEntry::file("lib/a/b", "")}, kMiB, 2,
         "Error: Not enough disk space (3 files and folders needed, 2 can be made)"},
        {"only bytes", {ZipEntry::file("w.bin", twoMiB)}, kMiB, 100,
         "Error: Not enough disk space (2.0 MB needed, 1.0 MB free)"},
        {"both", {ZipEntry::file("w.bin", twoMiB), ZipEntry::file("a", "")}, kMiB, 1,
         "Error: Not enough disk space (2.0 MB needed, 1.0 MB free)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make(c.entries);
        zrvk_test::removeTree(dest);
        DeliveryTesting::setFreeSpace(c.bytes, c.inodes);
        Recorder rec;
        LogCapture cap;
        EXPECT_FALSE(extractZip(zip, dest, nullptr, rec.statusFn()));
        cap.finish();
        DeliveryTesting::reset();
        ASSERT_FALSE(rec.status.empty());
        EXPECT_EQ(rec.status.back(), c.status);
    }
}

// 50 empty files 200 folders deep declare no bytes at all, yet make 10,000
// folders: the count sees them, and nothing is made.
TEST_F(ExtractZipTest, EmptyFilesInDeepFoldersAreNotStartedWithoutRoom) {
    std::vector<ZipEntry> entries;
    std::string deep;
    for (int d = 0; d < 200; ++d) deep += "d/";
    for (int i = 0; i < 50; ++i) entries.push_back(ZipEntry::file("f" + std::to_string(i) + "/" + deep + "empty", ""));
    make(entries);
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    const uint64_t needed = 50 * 201 * blockAt(dest);
    DeliveryTesting::setFreeSpace(kMiB);
    Recorder rec;
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, dest, rec.progressFn(), rec.statusFn()));
    const auto logs = cap.finish();
    DeliveryTesting::reset();
    EXPECT_TRUE(isEmptyFolder(dest));
    EXPECT_TRUE(rec.progress.empty());
    EXPECT_TRUE(contains(logs.err, "[extractZip] Not enough free space in " + dest + ": the archive unpacks to " +
                                       std::to_string(needed) + " bytes, 1048576 bytes are free"))
        << logs.err;
    EXPECT_EQ(rec.status.back(), DiskSpace::notEnoughSpaceText(needed, kMiB));
}

// On a small file system the test mounts itself: too few bytes for a file
// whose declared size is counted in blocks, then too few inodes for empty
// files whose sizes alone would fit.
TEST_F(ExtractZipTest, AnArchiveThatCannotFitASmallFileSystemIsNotStarted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
    std::vector<ZipEntry> empties;
    for (int i = 0; i < 100; ++i) empties.push_back(ZipEntry::file("many/e" + std::to_string(i), ""));
    struct Case {
        const char* what;
        const char* options;
        std::vector<ZipEntry> entries;
        const char* kind;     // what is short: "space" or "inodes"
        std::string figures;  // what the log line says of the archive
        const char* status;
    } cases[] = {
        {"3 MB in 1 MB", "size=1m",
         {ZipEntry::file("a.txt", "a"), ZipEntry::file("weights.bin", std::string(3 << 20, '\0'))}, "space",
         ": the archive unpacks to " + std::to_string((3 << 20) + 4096) + " bytes, ",
         "Error: Not enough disk space (3.1 MB needed, "},
        {"101 files and folders in 64 inodes", "size=16m,nr_inodes=64", empties, "inodes",
         ": the archive makes 101 files and folders, ", "Error: Not enough disk space (101 files and folders needed, "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SmallFileSystem small(tmp / "small", c.options);
        if (!small.mounted()) GTEST_SKIP() << "this machine lets no file system be mounted here";
        make(c.entries);
        const std::string target = tmp / "small/dest";
        ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
        ASSERT_EQ(blockAt(target), 4096u);
        Recorder rec;
        LogCapture cap;
        EXPECT_FALSE(extractZip(zip, target, nullptr, rec.statusFn()));
        const auto logs = cap.finish();
        EXPECT_TRUE(isEmptyFolder(target));
        EXPECT_TRUE(contains(logs.err, std::string("[extractZip] Not enough free ") + c.kind + " in " + target + c.figures))
            << logs.err;
        ASSERT_FALSE(rec.status.empty());
        EXPECT_EQ(rec.status.back().rfind(c.status, 0), 0u) << rec.status.back();
    }
}

// ---------------------------------------------------------------------------
// Downloads.

using zrvk_test::DeliveryTest;

// With 1 MiB free, an answer with no length may store 15/16 of it; one
// that announces its length must fit the whole free space.
TEST_F(DeliveryTest, AnAnswerThatWouldFillTheDiskIsStoppedAndLeavesNoFile) {
    const uint64_t limit = kMiB - kMiB / 16;
    auto framed = [](uint64_t size, Response::Framing framing) {
        Response r = Response::pattern(size);
        r.framing = framing;
        return r;
    };
    struct Case {
        const char* what;
        Response response;
        bool ok;
        std::string needed;  // the status's figure when refused
    } cases[] = {
        {"chunked, up to the margin", framed(limit, Response::Framing::Chunked), true, ""},
        {"chunked, one byte into the margin", framed(limit + 1, Response::Framing::Chunked), false, ""},
        {"chunked, 4 MiB", framed(4 * kMiB, Response::Framing::Chunked), false, ""},
        {"until the connection closes, 4 MiB", framed(4 * kMiB, Response::Framing::Close), false, ""},
        {"a length that fits exactly", framed(kMiB, Response::Framing::ContentLength), true, ""},
        {"a length one byte over", framed(kMiB + 1, Response::Framing::ContentLength), false, "1.1"},
        {"a length of 64 MiB", framed(64 * kMiB, Response::Framing::ContentLength), false, "64.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.route("GET", "/answer", c.response);
        const std::string path = tmp / "answer.zip";
        DeliveryTesting::setFreeSpace(kMiB);
        Recorder rec;
        LogCapture cap;
        const bool ok = downloadToFile(server.url("/answer"), path, "MRV Server", nullptr, rec.statusFn());
        const auto logs = cap.finish();
        DeliveryTesting::reset();
        EXPECT_EQ(ok, c.ok) << logs.err;
        if (c.ok) {
            EXPECT_TRUE(exists(path));
            std::remove(path.c_str());
            continue;
        }
        EXPECT_FALSE(exists(path));
        EXPECT_TRUE(contains(logs.err, "[download] Not enough free space in " + tmp.path() + ": the answer announces "))
            << logs.err;
        ASSERT_FALSE(rec.status.empty());
        const std::string& last = rec.status.back();
        EXPECT_EQ(last.rfind("MRV Server: Error: Not enough disk space (", 0), 0u) << last;
        EXPECT_TRUE(contains(last, " MB needed, 1.0 MB free)")) << last;
        if (!c.needed.empty()) {
            EXPECT_TRUE(contains(last, "(" + c.needed + " MB needed")) << last;
        }
    }
}

// The answer is stopped at its headers: the server gets to send a small part
// of what it announced before the connection goes.
TEST_F(DeliveryTest, AnAnnouncedLengthThatCannotFitIsRefusedBeforeTheBody) {
    const uint64_t announced = 256ull * kMiB;
    auto produced = std::make_shared<std::atomic<uint64_t>>(0);
    server.route("GET", "/huge", Response::generated(announced, [produced](uint64_t offset, char* out, size_t count) {
        std::fill(out, out + count, 'z');
        uint64_t seen = produced->load();
        while (offset + count > seen && !produced->compare_exchange_weak(seen, offset + count)) {
        }
    }));
    DeliveryTesting::setFreeSpace(kMiB);
    Recorder rec;
    LogCapture cap;
    EXPECT_FALSE(downloadToFile(server.url("/huge"), tmp / "huge.zip", "", nullptr, rec.statusFn()));
    const auto logs = cap.finish();
    DeliveryTesting::reset();
    server.stop();
    EXPECT_LT(produced->load(), announced / 8) << "the body was read";
    EXPECT_FALSE(exists(tmp / "huge.zip"));
    EXPECT_TRUE(contains(logs.err, "[download] Not enough free space in " + tmp.path() +
                                       ": the answer announces 268435456 bytes, 1048576 bytes are free"))
        << logs.err;
    EXPECT_EQ(rec.status.back(), "Error: Not enough disk space (256.0 MB needed, 1.0 MB free)");
}

// The disk, not the source, is short: no other source is tried, whatever
// the kind of address, and the disk-space status stays the last one.
TEST_F(DeliveryTest, ADiskThatCannotHoldTheArchiveEndsTheSourceChain) {
    const std::string sound = sampleZip();
    struct Case {
        const char* what;
        std::string target;  // asked for
        std::string first;   // the source that answers too much
        std::vector<std::string> others;  // the sources that would serve the archive
    } cases[] = {
        {"GitHub", "/github.com/o/r/a.zip", "/github.com/o/r/a.zip",
         {"/proxy1/" + server.url("/github.com/o/r/a.zip"), "/proxy2/" + server.url("/github.com/o/r/a.zip")}},
        {"Hugging Face", "/huggingface.co/o/m.zip", "/huggingface.co/o/m.zip", {"/hf-mirror.com/o/m.zip"}},
        {"a short link to GitHub", "/s/gh", "/s/gh",
         {"/proxy1/" + server.url("/github.com/o/r/b.zip"), "/proxy2/" + server.url("/github.com/o/r/b.zip")}},
    };
    server.route("HEAD", "/s/gh", Response::redirect(302, server.url("/github.com/o/r/b.zip")));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearRequests();
        server.route("GET", c.first, Response::pattern(4 * kMiB));
        for (const std::string& other : c.others) serveZip(other, sound);
        DeliveryTesting::setFreeSpace(kMiB);
        Recorder rec;
        LogCapture cap;
        EXPECT_FALSE(downloadAndExtractZip(server.url(c.target), dest, "Render Engine", nullptr, rec.statusFn()));
        const auto logs = cap.finish();
        DeliveryTesting::reset();
        for (const std::string& other : c.others) EXPECT_EQ(server.hits("GET", other), 0u) << other;
        EXPECT_TRUE(contains(logs.err, "[downloadAndExtractZip] Not enough disk space, no other source is tried"))
            << logs.err;
        ASSERT_FALSE(rec.status.empty());
        EXPECT_EQ(rec.status.back(), "Render Engine: Error: Not enough disk space (4.0 MB needed, 1.0 MB free)");
        EXPECT_FALSE(exists(dest));
    }
}

// Each part fits, but the joined copy would not fit beside them: the join is
// not started, and neither parts nor a joined file stay.
TEST_F(DeliveryTest, PartsAreJoinedOnlyWhereTheJoinedCopyFits) {
    const std::string zip = zipBytes({ZipEntry::file("payload.bin", zrvk::test::patternBytes(0, 1200000), true)});
    const std::vector<std::string> parts = zrvk_test::splitBytes(zip, {400000, 400000});
    std::vector<std::string> urls;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string target = "/split.zip" + zrvk_test::partSuffix(i);
        server.route("GET", target, Response::text(200, parts[i], "application/octet-stream"));
        urls.push_back(server.url(target));
    }
    DeliveryTesting::setFreeSpace(kMiB);
    Recorder rec;
    LogCapture cap;
    EXPECT_FALSE(downloadMultiPartAndExtractZip(urls, dest, "Render Engine", nullptr, rec.statusFn()));
    const auto logs = cap.finish();
    DeliveryTesting::reset();
    EXPECT_TRUE(contains(logs.err, "[concatenate] Not enough free space in ")) << logs.err;
    EXPECT_EQ(rec.status.back(), "Render Engine: " + DiskSpace::notEnoughSpaceText(zip.size(), kMiB));
    EXPECT_EQ(server.hits("GET", "/split.zip.002"), 1u);
    EXPECT_TRUE(zrvk_test::listDir(getRunTempDirectory() + "/zorvik_multipart").empty());
    EXPECT_FALSE(exists(dest));
}

}  // namespace
