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
#include <cstdio>
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

// Where a download's path leads to a witness file: removing the path after a
// failure removes the link only, so the witness keeps every byte stored.
std::string witnessedPath(const zrvk_test::TempDir& tmp, const std::string& name) {
    const std::string path = tmp / name, witness = tmp / (name + ".witness");
    std::remove(path.c_str());
    zrvk_test::writeFile(witness, "");
    EXPECT_EQ(symlink(witness.c_str(), path.c_str()), 0);
    return path;
}

// With 1 MiB free, an answer that would be kept may store 15/16 of it,
// whether it announces its length or not. The body of any other answer is
// never stored, whatever it announces: it is a failed source, not a
// question of room, and no download is claimed for it.
TEST_F(DeliveryTest, AnAnswerThatWouldFillTheDiskIsStoppedAndLeavesNoFile) {
    const uint64_t limit = kMiB - kMiB / 16;
    auto framed = [](uint64_t size, Response::Framing framing, int status = 200) {
        Response r = Response::pattern(size);
        r.framing = framing;
        r.status = status;
        return r;
    };
    const auto length = Response::Framing::ContentLength, chunked = Response::Framing::Chunked,
               close = Response::Framing::Close;
    struct Case {
        const char* what;
        Response response;
        bool ok;
        bool noRoom;
        uint64_t maxStored;  // what the witness may hold afterwards
        std::string needed;  // the status's figure when refused for room
    } cases[] = {
        {"chunked, up to the margin", framed(limit, chunked), true, false, limit, ""},
        {"chunked, one byte into the margin", framed(limit + 1, chunked), false, true, limit, ""},
        {"chunked, 4 MiB", framed(4 * kMiB, chunked), false, true, limit, ""},
        {"until the connection closes, 4 MiB", framed(4 * kMiB, close), false, true, limit, ""},
        {"a length up to the margin", framed(limit, length), true, false, limit, ""},
        {"a length of all that is free", framed(kMiB, length), false, true, 0, "1.1"},
        {"a length one byte into the margin", framed(limit + 1, length), false, true, 0, "1.1"},
        {"a length of 64 MiB", framed(64 * kMiB, length), false, true, 0, "64.1"},
        {"a 404 that announces 4 MiB", framed(4 * kMiB, length, 404), false, false, 0, ""},
        {"a 404 of 4 MiB, chunked", framed(4 * kMiB, chunked, 404), false, false, 0, ""},
        {"a 404 of 4 MiB until the connection closes", framed(4 * kMiB, close, 404), false, false, 0, ""},
        {"a 500 whose body would fit", framed(200000, length, 500), false, false, 0, ""},
        {"a 206 that announces 4 MiB", framed(4 * kMiB, length, 206), false, false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.route("GET", "/answer", c.response);
        const std::string path = witnessedPath(tmp, "answer.zip");
        DeliveryTesting::setFreeSpace(kMiB);
        Recorder rec;
        bool noRoom = true;
        LogCapture cap;
        const bool ok = downloadToFile(server.url("/answer"), path, "MRV Server", rec.progressFn(), rec.statusFn(),
                                       nullptr, &noRoom);
        const auto logs = cap.finish();
        DeliveryTesting::reset();
        EXPECT_EQ(ok, c.ok) << logs.err;
        EXPECT_EQ(noRoom, c.noRoom);
        const std::string stored = zrvk_test::readFile(path + ".witness");
        EXPECT_LE(stored.size(), c.maxStored);
        EXPECT_EQ(exists(path), c.ok);
        if (c.ok) {
            EXPECT_EQ(stored.size(), c.response.generatedSize);
            continue;
        }
        if (c.response.status != 200) {
            EXPECT_TRUE(contains(logs.err, "[download] HTTP error: " + std::to_string(c.response.status))) << logs.err;
            EXPECT_FALSE(contains(logs.err, "[download] Failed:")) << logs.err;
            EXPECT_FALSE(contains(logs.err, "Not enough free space")) << logs.err;
            EXPECT_TRUE(rec.status.empty()) << rec.status.front();
            EXPECT_TRUE(rec.progress.empty());
            continue;
        }
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
                                       ": the answer announces 268435456 bytes, 1048576 bytes are free, and a "
                                       "sixteenth of them stays free"))
        << logs.err;
    // What is needed keeps the sixteenth of what is free that stays free.
    EXPECT_EQ(rec.status.back(), "Error: Not enough disk space (256.1 MB needed, 1.0 MB free)");
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
        DeliveryTesting::setFreeSpace(-1);
        for (const std::string& other : c.others) EXPECT_EQ(server.hits("GET", other), 0u) << other;
        EXPECT_TRUE(contains(logs.err, "[downloadAndExtractZip] Not enough disk space, no other source is tried"))
            << logs.err;
        ASSERT_FALSE(rec.status.empty());
        EXPECT_EQ(rec.status.back(), "Render Engine: Error: Not enough disk space (4.1 MB needed, 1.0 MB free)");
        EXPECT_FALSE(exists(dest));
    }
}

// An answer that is not kept is a failed source, however big its body: the
// next source is tried and no disk-space status is sent. An answer that
// would be kept and cannot fit with the margin ends the chain.
TEST_F(DeliveryTest, AnErrorPageIsAFailedSourceAndAnArchiveTooLargeEndsTheChain) {
    const std::string url = server.url("/github.com/o/r/a.zip");
    const std::string proxied = "/proxy1/" + url;
    serveZip(proxied, sampleZip());
    auto answer = [](int status, uint64_t size, Response::Framing framing) {
        Response r = Response::pattern(size);
        r.status = status;
        r.framing = framing;
        return r;
    };
    struct Case {
        const char* what;
        Response direct;
        bool nextTried;
    } cases[] = {
        {"a 404 of 4 MiB, chunked", answer(404, 4 * kMiB, Response::Framing::Chunked), true},
        {"a 404 that announces 4 MiB", answer(404, 4 * kMiB, Response::Framing::ContentLength), true},
        {"a 503 of 4 MiB until the connection closes", answer(503, 4 * kMiB, Response::Framing::Close), true},
        {"a 200 that announces all that is free", answer(200, kMiB, Response::Framing::ContentLength), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearRequests();
        zrvk_test::removeTree(dest);
        server.route("GET", "/github.com/o/r/a.zip", c.direct);
        DeliveryTesting::setFreeSpace(kMiB);
        Recorder rec;
        LogCapture cap;
        const bool ok = downloadAndExtractZip(url, dest, "Render Engine", nullptr, rec.statusFn());
        const auto logs = cap.finish();
        DeliveryTesting::setFreeSpace(-1);
        EXPECT_EQ(ok, c.nextTried) << logs.err;
        zrvk_test::Log asked{"GET /github.com/o/r/a.zip"};
        if (c.nextTried) asked.push_back("GET " + proxied);
        EXPECT_EQ(requestLog(), asked);
        EXPECT_EQ(contains(logs.err, "[downloadAndExtractZip] Not enough disk space, no other source is tried"),
                  !c.nextTried)
            << logs.err;
        ASSERT_FALSE(rec.status.empty());
        bool diskSpace = false;
        for (const std::string& text : rec.status) diskSpace = diskSpace || contains(text, "Not enough disk space");
        EXPECT_EQ(diskSpace, !c.nextTried);
        if (c.nextTried) {
            EXPECT_EQ(rec.status.back(), "Render Engine: Complete");
            EXPECT_TRUE(exists(dest + "/payload.bin"));
        } else {
            EXPECT_EQ(rec.status.back(), "Render Engine: Error: Not enough disk space (1.1 MB needed, 1.0 MB free)");
        }
    }
}

// Three parts without a length, each of which would fit on its own: together
// they may store 15/16 of what was free when the first started, so the third
// fails at that limit with the disk-space status; no proxy is asked, and no
// part stays.
TEST_F(DeliveryTest, ThePartsOfASplitArchiveShareOneMargin) {
    const uint64_t partSize = 400000;
    const std::string base = "/github.com/o/r/releases/download/v1/e.zip";
    std::vector<std::string> urls;
    for (size_t i = 0; i < 3; ++i) {
        const std::string target = base + zrvk_test::partSuffix(i);
        Response part = Response::text(200, (i == 0 ? "PK" : "") + zrvk::test::patternBytes(i * partSize, partSize));
        part.framing = Response::Framing::Chunked;
        server.route("GET", target, part);
        urls.push_back(server.url(target));
        server.route("GET", "/proxy1/" + urls.back(), part);
        server.route("GET", "/proxy2/" + urls.back(), part);
    }
    DeliveryTesting::setFreeSpace(kMiB);
    Recorder rec;
    LogCapture cap;
    EXPECT_FALSE(downloadMultiPartAndExtractZip(urls, dest, "Render Engine", nullptr, rec.statusFn()));
    const auto logs = cap.finish();
    DeliveryTesting::reset();
    const uint64_t firstTwo = 2 * partSize + 2;
    EXPECT_TRUE(contains(logs.err, ": the answer announces no length and passed " +
                                       std::to_string(kMiB - kMiB / 16 - firstTwo) + " bytes, the earlier parts hold " +
                                       std::to_string(firstTwo) + " bytes, 1048576 bytes were free when the first "
                                       "part started, and a sixteenth of them stays free"))
        << logs.err;
    EXPECT_TRUE(contains(logs.err, "[downloadMultiPart] Failed to download part 3")) << logs.err;
    EXPECT_FALSE(contains(logs.err, "[concatenate]")) << logs.err;
    EXPECT_EQ(requestLog(), (zrvk_test::Log{"GET " + base + ".000", "GET " + base + ".001", "GET " + base + ".002"}));
    ASSERT_FALSE(rec.status.empty());
    const std::string& last = rec.status.back();
    EXPECT_EQ(last.rfind("Render Engine: Error: Not enough disk space (", 0), 0u) << last;
    EXPECT_TRUE(contains(last, " MB needed, 1.0 MB free)")) << last;
    EXPECT_TRUE(zrvk_test::listDir(getRunTempDirectory() + "/zorvik_multipart").empty());
    EXPECT_FALSE(exists(dest));
}

// The parts fit, but the joined copy would not fit beside them with the
// margin kept: the join is not started, and neither parts nor a joined file
// stay. The seam's free space does not shrink as files are written, so it
// is set at the join to what the file system would have left.
TEST_F(DeliveryTest, PartsAreJoinedOnlyWhereTheJoinedCopyFits) {
    const std::string zip = zipBytes({ZipEntry::file("payload.bin", zrvk::test::patternBytes(0, 600000), true)});
    const std::vector<std::string> parts = zrvk_test::splitBytes(zip, {200000, 200000});
    std::vector<std::string> urls;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string target = "/split.zip" + zrvk_test::partSuffix(i);
        server.route("GET", target, Response::text(200, parts[i], "application/octet-stream"));
        urls.push_back(server.url(target));
    }
    const uint64_t margin = kMiB / 16, total = zip.size();
    struct Case {
        const char* what;
        uint64_t freeAtJoin;
        bool joined;
    } cases[] = {
        {"what the parts left", kMiB - total, false},
        {"the joined copy, all but a byte of the margin", total + margin - 1, false},
        {"the joined copy and the margin", total + margin, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearRequests();
        zrvk_test::removeTree(dest);
        DeliveryTesting::setFreeSpace(kMiB);
        Recorder rec;
        StatusFn status = [&](const std::string& text) {
            if (text == "Render Engine: Combining parts...") DeliveryTesting::setFreeSpace(int64_t(c.freeAtJoin));
            rec.status.push_back(text);
        };
        LogCapture cap;
        const bool ok = downloadMultiPartAndExtractZip(urls, dest, "Render Engine", nullptr, status);
        const auto logs = cap.finish();
        DeliveryTesting::setFreeSpace(-1);
        EXPECT_EQ(ok, c.joined) << logs.err;
        EXPECT_EQ(requestLog(), (zrvk_test::Log{"GET /split.zip.000", "GET /split.zip.001", "GET /split.zip.002"}));
        EXPECT_TRUE(zrvk_test::listDir(getRunTempDirectory() + "/zorvik_multipart").empty());
        if (c.joined) {
            EXPECT_EQ(zrvk_test::readFile(dest + "/payload.bin"), zrvk::test::patternBytes(0, 600000));
            continue;
        }
        EXPECT_TRUE(contains(logs.err, "[concatenate] Not enough free space in ")) << logs.err;
        EXPECT_TRUE(contains(logs.err, ": the parts hold " + std::to_string(total) + " bytes, " +
                                           std::to_string(c.freeAtJoin) +
                                           " bytes are free, and a sixteenth of the 1048576 bytes free when the "
                                           "first part started stays free"))
            << logs.err;
        EXPECT_EQ(rec.status.back(), "Render Engine: " + DiskSpace::notEnoughSpaceText(total + margin, c.freeAtJoin));
        EXPECT_FALSE(exists(dest));
    }
}

}  // namespace
