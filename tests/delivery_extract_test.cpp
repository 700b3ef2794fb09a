// ZIP extraction: validation, the walk and its skipping rules, failed
// entries, the thinning of progress, logs and status, and the same results
// from several writers and within a budget of kept folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "installer_download.h"
#include "installer_extract.h"
#include "installer_extract_entries.h"
#include "support/delivery_helpers.h"
#include "support/extract_fixture.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

using zrvk_test::buildZip;
using zrvk_test::exists;
using zrvk_test::expectSame;
using zrvk_test::extractWith;
using zrvk_test::isEmptyFolder;
using zrvk_test::ExtractZipTest;
using zrvk_test::LogCapture;
using zrvk_test::Recorder;
using zrvk_test::removeTree;
using zrvk_test::Seen;
using zrvk_test::ZipEntry;

namespace {

TEST_F(ExtractZipTest, ValidationRejectsWhatIsNotAZipArchive) {
    struct Case {
        const char* what;
        std::string content;  // "" with missing = true: no file at all
        bool missing;
        std::vector<std::string> errLines;
    };
    const std::string eocd = std::string("PK\x05\x06", 4) + std::string(18, '\0');
    const Case cases[] = {
        {"missing file", "", true, {"[extractZip] Cannot open file for validation: "}},
        {"21 bytes", std::string("PK\x03\x04", 4) + std::string(17, 'x'), false,
         {"[extractZip] File too small to be a valid ZIP: 21 bytes"}},
        {"22 bytes, PK but not an archive", "PK" + std::string(20, 'x'), false,
         {"[extractZip] Failed to open ZIP file: " + zip + " (libzip error: 19 - Not a zip archive)"}},
        {"HTML error page", "<!DOCTYPE html><html><body>Not found</body></html>", false,
         {"[extractZip] Invalid ZIP file (bad magic bytes): 0x3c 0x21 0x44 0x4f",
          "[extractZip] File appears to be HTML (likely error page from server)"}},
        {"binary, hex without leading zeros", std::string("\x01\x0a" "AB", 4) + std::string(30, 'z'), false,
         {"[extractZip] Invalid ZIP file (bad magic bytes): 0x1 0xa 0x41 0x42"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(zip.c_str());
        if (!c.missing) zrvk_test::writeFile(zip, c.content);
        Recorder rec;
        LogCapture cap;
        EXPECT_FALSE(extractZip(zip, dest, rec.progressFn(), rec.statusFn()));
        auto logs = cap.finish();
        for (const std::string& l : c.errLines) EXPECT_NE(logs.err.find(l), std::string::npos) << logs.err;
        EXPECT_TRUE(rec.progress.empty());
        EXPECT_TRUE(rec.status.empty());
    }
    // A 22-byte file that is an empty archive passes validation and is walked.
    zrvk_test::writeFile(zip, eocd);
    LogCapture cap;
    EXPECT_TRUE(extractZip(zip, dest, nullptr, nullptr));
    auto logs = cap.finish();
    EXPECT_NE(logs.out.find("[extractZip] File size: 22 bytes"), std::string::npos);
    EXPECT_NE(logs.out.find("[extractZip] ZIP magic bytes validated OK"), std::string::npos);
    EXPECT_NE(logs.out.find("[extractZip] 100% - Extraction complete (0 files)"), std::string::npos);
}

TEST_F(ExtractZipTest, DestinationThatCannotBeCreatedFails) {
    make({ZipEntry::file("a.txt", "a")});
    zrvk_test::writeFile(tmp / "plain", "x");
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, tmp / "plain/sub", nullptr, nullptr));
    EXPECT_NE(cap.finish().err.find("[extractZip] Failed to create destination directory"), std::string::npos);
}

TEST_F(ExtractZipTest, SkippedEntriesLeaveNothingAndReportNothing) {
    ZipEntry dosFolder = ZipEntry::file("dosfolder", "");
    dosFolder.dosFolderBit = true;
    make({ZipEntry::file("__MACOSX/._a.txt", "resource fork"), ZipEntry::file("x/__MACOSX/y", "y"),
          ZipEntry::file(".DS_Store", "ds"), ZipEntry::file("sub/.DS_Store", "ds"),
          ZipEntry::file("a/.DS_Store_old", "old"), ZipEntry::folder("emptydir/"), dosFolder});
    Recorder rec;
    LogCapture cap;
    EXPECT_TRUE(extractZip(zip, dest, rec.progressFn(), rec.statusFn()));
    auto logs = cap.finish();
    EXPECT_NE(logs.out.find("[extractZip] Archive contains 7 files"), std::string::npos);
    EXPECT_NE(logs.out.find("[extractZip] 100% - Extraction complete (0 files)"), std::string::npos);
    EXPECT_TRUE(rec.progress.empty());
    EXPECT_TRUE(rec.status.empty());
    for (const char* name : {"__MACOSX", "x", ".DS_Store", "sub", "a", "emptydir", "dosfolder"})
        EXPECT_FALSE(exists(dest + "/" + name)) << name;
}

TEST_F(ExtractZipTest, TwentyFiveEntriesThinProgressLogsAndStatus) {
    std::vector<ZipEntry> entries;
    entries.push_back(ZipEntry::file("docs\\readme.txt", "read me"));
    for (int i = 1; i < 25; ++i) entries.push_back(ZipEntry::file("f" + std::to_string(i) + ".txt", std::to_string(i)));
    make(entries);

    Recorder rec;
    LogCapture cap;
    ASSERT_TRUE(extractZip(zip, dest, rec.progressFn(), rec.statusFn()));
    auto logs = cap.finish();

    EXPECT_EQ(zrvk_test::readFile(dest + "/docs/readme.txt"), "read me");
    ASSERT_EQ(rec.progress.size(), 25u);
    for (size_t i = 0; i < 25; ++i) EXPECT_EQ(rec.progress[i], (std::pair<uint64_t, uint64_t>(i + 1, 25)));
    EXPECT_EQ(rec.status, (std::vector<std::string>{"Extracting 10/25 files", "Extracting 20/25 files"}));

    std::vector<int> logged;
    std::regex pctLine(R"(^\[extractZip\] (\d+)% \((\d+)/25 files\)$)");
    for (const std::string& l : zrvk_test::lines(logs.out)) {
        std::smatch m;
        if (std::regex_match(l, m, pctLine)) logged.push_back(std::stoi(m[1]));
    }
    EXPECT_EQ(logged, (std::vector<int>{4, 16, 28, 40, 52, 64, 76, 88, 100}));
    EXPECT_NE(logs.out.find("[extractZip] 100% - Extraction complete (25 files)"), std::string::npos);
}

TEST_F(ExtractZipTest, BinaryContentIsWrittenUnchanged) {
    std::string bytes;
    for (int i = 0; i < 70000; ++i) bytes += static_cast<char>((i * 131) & 0xff);
    bytes += std::string("\x0d\x0a\x1a\x00", 4);
    make({ZipEntry::file("bin/data.bin", bytes), ZipEntry::file("empty.txt", "")});
    ASSERT_TRUE(extractZip(zip, dest, nullptr, nullptr));
    EXPECT_EQ(zrvk_test::readFile(dest + "/bin/data.bin"), bytes);
    EXPECT_TRUE(exists(dest + "/empty.txt"));
}

TEST_F(ExtractZipTest, CorruptedEntryFailsTheExtractionAndLeavesNoFile) {
    const std::string marker = "CORRUPT-ME-" + std::string(200, 'q') + "-END";
    make({ZipEntry::file("good1.txt", "one"), ZipEntry::file("bad.bin", marker, true),
          ZipEntry::file("good2.txt", "two")});
    ASSERT_TRUE(zrvk_test::corruptMarker(zip, marker));
    Recorder rec;
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, dest, rec.progressFn(), nullptr));
    auto logs = cap.finish();
    EXPECT_NE(logs.err.find("[extractZip] Failed to extract to memory: bad.bin"), std::string::npos);
    EXPECT_FALSE(exists(dest + "/bad.bin"));
    EXPECT_EQ(zrvk_test::readFile(dest + "/good1.txt"), "one");
    EXPECT_EQ(zrvk_test::readFile(dest + "/good2.txt"), "two");
    // The failed entry makes no progress call.
    EXPECT_EQ(rec.progress.size(), 2u);
}

TEST_F(ExtractZipTest, EntriesThatCannotBeWrittenFailTheExtraction) {
    make({ZipEntry::file("f", "a file"), ZipEntry::file("f/g", "under a file")});
    Recorder rec;
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, dest, rec.progressFn(), nullptr));
    EXPECT_NE(cap.finish().err.find("[extractZip] Failed to write file: " + dest + "/f/g"), std::string::npos);
    // Progress is still reported for the entry that reached the write, with k unchanged.
    ASSERT_EQ(rec.progress.size(), 2u);
    EXPECT_EQ(rec.progress[1], (std::pair<uint64_t, uint64_t>(1, 2)));
}

TEST_F(ExtractZipTest, AWriteThatFailsHalfWayRemovesThePartialFile) {
    std::string big(3 * 1024 * 1024, 'b');
    make({ZipEntry::file("small.txt", "small"), ZipEntry::file("big.bin", big)});
    bool ok;
    {
        zrvk_test::FileSizeLimit limit(1024 * 1024);
        ok = extractZip(zip, dest, nullptr, nullptr);
    }
    EXPECT_FALSE(ok);
    EXPECT_FALSE(exists(dest + "/big.bin"));
    EXPECT_EQ(zrvk_test::readFile(dest + "/small.txt"), "small");
}

// An entry that inflates past the size it declares stops at that size and
// fails the run; libzip would only notice once the whole entry was written.
TEST_F(ExtractZipTest, AnEntryLargerThanItDeclaresFailsAndLeavesNoFile) {
    make({ZipEntry::file("bomb.bin", std::string(4 << 20, 'z')), ZipEntry::file("ok.txt", "fine")});
    ASSERT_TRUE(zrvk_test::claimSize(zip, 1000));
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, dest, nullptr, nullptr));
    const auto logs = cap.finish();
    EXPECT_NE(logs.err.find("[extractZip] Entry is larger than its declared size: bomb.bin"), std::string::npos)
        << logs.err;
    EXPECT_FALSE(exists(dest + "/bomb.bin"));
    EXPECT_EQ(zrvk_test::readFile(dest + "/ok.txt"), "fine");
}

TEST(ExtractZipCounts, PercentagesHoldBeyondThirtyTwoBits) {
    const struct {
        uint64_t done, total, percent;
    } cases[] = {{0, 0, 0}, {0, 25, 0}, {1, 25, 4}, {25, 25, 100}, {30000000, 40000000, 75},
                 {3000000000ull, 4000000000ull, 75}, {(1ull << 40) - 1, 1ull << 40, 99}};
    for (const auto& c : cases) EXPECT_EQ(percentOf(c.done, c.total), c.percent) << c.done << "/" << c.total;
}

// ---------------------------------------------------------------------------
// Writing from several threads: what callers and users see stays the same.

// A tree of a few thousand entries as an archiver writes it, with what makes
// the order matter: links (one to a folder, later entries beside it),
// names given twice, a file where a later entry needs a folder, a folder
// where a later entry is a file, case variants, empty and larger files.
std::vector<ZipEntry> busyArchive() {
    std::vector<ZipEntry> e;
    for (int pkg = 0; pkg < 60; ++pkg) {
        const std::string dir = "lib/pkg" + std::to_string(pkg) + "/";
        e.push_back(ZipEntry::folder(dir));
        for (int m = 0; m < 40; ++m) {
            std::string body = dir + std::to_string(m) + std::string(static_cast<size_t>((pkg * 37 + m * 11) % 900), 'x');
            e.push_back(ZipEntry::file(dir + "m" + std::to_string(m) + ".py", body));
        }
        e.push_back(ZipEntry::file(dir + "__pycache__/m0.pyc", std::string(70000 + pkg, static_cast<char>(pkg))));
        e.push_back(ZipEntry::file(dir + "empty", ""));
    }
    e.push_back(ZipEntry::link("lib/current", "pkg3"));
    e.push_back(ZipEntry::file("lib/current/through.txt", "refused"));
    e.push_back(ZipEntry::file("lib\\pkg3\\m1.py", "given twice: the later one stays"));
    e.push_back(ZipEntry::file("lib/blocker", "a file"));
    e.push_back(ZipEntry::file("lib/blocker/under.txt", "fails: a file is in the way"));
    e.push_back(ZipEntry::file("lib/pkg4", "fails: a folder is in the way"));
    e.push_back(ZipEntry::file("Case/A.txt", "upper"));
    e.push_back(ZipEntry::file("case/a.txt", "lower"));
    e.push_back(ZipEntry::link("bin/python", "python3.10"));
    e.push_back(ZipEntry::file("bin/python3.10", std::string(300000, 'p')));
    for (int i = 0; i < 600; ++i)
        e.push_back(ZipEntry::file("share/doc/" + std::to_string(i % 7) + "/page" + std::to_string(i) + ".txt",
                                   "page " + std::to_string(i)));
    return e;
}

TEST_F(ExtractZipTest, ManyWritersGiveWhatOneGives) {
    make(busyArchive());
    const Seen one = extractWith(1, zip, dest);
    ASSERT_EQ(rename(dest.c_str(), (tmp / "one").c_str()), 0);
    const Seen many = extractWith(8, zip, dest);
    expectSame(one, many);
    // The hostile and conflicting entries failed, the rest is all there.
    EXPECT_FALSE(many.ok);
    EXPECT_GT(many.tree.size(), 3100u);
    EXPECT_EQ(many.tree.at("/lib/pkg3/m1.py"), "file 420 given twice: the later one stays");
    EXPECT_EQ(many.tree.at("/lib/current"), "link pkg3");
    EXPECT_EQ(many.tree.count("/lib/blocker/under.txt"), 0u);
    for (const char* line : {"[extractZip] Refusing to write through link: lib/current/through.txt",
                             "[extractZip] Failed to write file: ", "[extractZip] Extraction failed: 3 entries"})
        EXPECT_NE(many.logs.err.find(line), std::string::npos) << line;
}

TEST_F(ExtractZipTest, ManyWritersOnACleanArchiveReportInOrder) {
    std::vector<ZipEntry> entries = busyArchive();
    entries.erase(entries.begin() + 60 * 43, entries.begin() + 60 * 43 + 8);  // the conflicting ones
    make(entries);
    const Seen many = extractWith(8, zip, dest);
    EXPECT_TRUE(many.ok) << many.logs.err;
    EXPECT_TRUE(many.callbacksOnCaller);
    const uint64_t files = entries.size() - 60 - 1;  // no folders; the link makes no progress call
    ASSERT_EQ(many.progress.size(), files);
    for (size_t i = 1; i < files; ++i) ASSERT_GT(many.progress[i].first, many.progress[i - 1].first) << i;
    EXPECT_EQ(many.progress.back(), (std::pair<uint64_t, uint64_t>(files + 1, entries.size())));
    uint64_t lastShown = 0;
    for (const std::string& text : many.status) {
        const uint64_t shown = std::stoull(text.substr(std::string("Extracting ").size()));
        EXPECT_TRUE(shown > lastShown && shown % 10 == 0) << text;
        lastShown = shown;
    }
    EXPECT_GT(many.status.size(), files / 10 - 2);
    EXPECT_EQ(many.tree.at("/bin/python"), "link python3.10");
}

TEST_F(ExtractZipTest, AFailedEntryAnywhereFailsTheRunAndLeavesNoPartialFile) {
    // A large stored entry whose CRC fails only at its end, early, midway and last.
    const std::string marker = "CORRUPT-ME-" + std::string(2 * 1024 * 1024, 'q') + "-END";
    for (size_t at : {size_t(0), size_t(700), size_t(1400)}) {
        SCOPED_TRACE(at);
        zrvk_test::TempDir box;
        std::vector<ZipEntry> entries;
        for (size_t i = 0; i < 1400; ++i) {
            if (i == at) entries.push_back(ZipEntry::file("d/bad.bin", marker, true));
            entries.push_back(ZipEntry::file("d/" + std::to_string(i % 9) + "/f" + std::to_string(i), std::to_string(i)));
        }
        if (at == 1400) entries.push_back(ZipEntry::file("d/bad.bin", marker, true));
        const std::string z = box / "a.zip";
        ASSERT_EQ(buildZip(z, entries), "");
        ASSERT_TRUE(zrvk_test::corruptMarker(z, marker.substr(marker.size() - 4000)));
        const Seen one = extractWith(1, z, box / "one");
        const Seen many = extractWith(6, z, box / "many");
        EXPECT_FALSE(many.ok);
        EXPECT_NE(many.logs.err.find("[extractZip] Failed to extract to memory: d/bad.bin"), std::string::npos);
        EXPECT_FALSE(exists(box / "many/d/bad.bin"));
        EXPECT_EQ(many.tree.size(), 1400u + 10u);  // every other file, whole, and its folders
        EXPECT_EQ(zrvk_test::readFile(box / "many/d/3/f1398"), "1398");
        EXPECT_EQ(one.progress, many.progress);
        EXPECT_EQ(one.status, many.status);
        EXPECT_EQ(one.tree, many.tree);
    }
}

// ---------------------------------------------------------------------------
// Kept folders: each folder is walked once and its descriptor kept, within a
// budget.

// Entries of many folders, interleaved as a merge of trees writes them: every
// folder is needed again after others, at depths one to three.
std::vector<ZipEntry> interleavedArchive(size_t& folders) {
    std::vector<ZipEntry> e;
    for (int round = 0; round < 12; ++round) {
        for (int f = 0; f < 40; ++f) {
            const std::string dir = "t" + std::to_string(f % 4) + "/d" + std::to_string(f) + (f % 3 ? "/deep/" : "/");
            e.push_back(ZipEntry::file(dir + "e" + std::to_string(round) + ".txt",
                                       dir + std::to_string(round) + std::string(static_cast<size_t>(f * 13), 'i')));
        }
    }
    folders = 4 + 40 + 26;  // t0-t3, d0-d39 and the deep folders below two in three of them
    return e;
}

TEST_F(ExtractZipTest, EachFolderIsOpenedOncePerRun) {
    size_t folders = 0;
    make(interleavedArchive(folders));
    for (int threads : {1, 8}) {
        SCOPED_TRACE(threads);
        // A budget above the folders, whatever the descriptor limit of the test run.
        const Seen seen = extractWith(threads, zip, dest, 256);
        EXPECT_TRUE(seen.ok) << seen.logs.err;
        EXPECT_EQ(seen.folderOpens, folders);
        EXPECT_EQ(seen.tree.size(), folders + 12 * 40);
        removeTree(dest);
    }
}

TEST_F(ExtractZipTest, AnExhaustedFolderBudgetWaitsAndWalksAgain) {
    size_t folders = 0;
    make(interleavedArchive(folders));
    const Seen one = extractWith(1, zip, dest);
    ASSERT_TRUE(one.ok) << one.logs.err;
    ASSERT_EQ(rename(dest.c_str(), (tmp / "one").c_str()), 0);
    // Budgets below one folder's depth, below the folders in use at once,
    // and below the folders of the archive.
    for (size_t budget : {size_t(1), size_t(2), size_t(5), size_t(40)}) {
        SCOPED_TRACE(budget);
        for (int threads : {1, 8}) {
            SCOPED_TRACE(threads);
            const Seen small = extractWith(threads, zip, dest, budget);
            expectSame(one, small);
            // Folders closed for lack of room are walked again when needed.
            EXPECT_GT(small.folderOpens, folders);
            removeTree(dest);
        }
    }
}

}  // namespace
