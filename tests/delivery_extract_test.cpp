// ZIP extraction: validation, the walk and its skipping rules, links, unsafe
// names, failed entries and the thinning of progress, logs and status.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "installer_download.h"
#include "installer_extract.h"
#include "support/delivery_helpers.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

using zrvk_test::buildZip;
using zrvk_test::LogCapture;
using zrvk_test::Recorder;
using zrvk_test::ZipEntry;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool isLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string readLink(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

void removeTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool isEmptyFolder(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (!d) return false;
    int names = 0;
    while (dirent* e = readdir(d)) names += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
    closedir(d);
    return names == 0;
}

// True when the folder's volume ignores case (as macOS's usual one does).
bool foldsCase(const std::string& dir) {
    const std::string probe = dir + "/CaseProbe";
    zrvk_test::writeFile(probe, "");
    const bool folds = exists(dir + "/caseprobe");
    std::remove(probe.c_str());
    return folds;
}

// Sets the uncompressed size of the first entry in both of its headers.
bool claimSize(const std::string& path, uint32_t size) {
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

TEST_F(ExtractZipTest, LinkReplacesAFileAtItsPath) {
    // Two stored names that map to the same entry path: a file first, then a link.
    make({ZipEntry::file("Fw/Current", "stale"), ZipEntry::link("Fw\\Current", "Versions/Current"),
          ZipEntry::file("Fw/Versions/Current/lib.txt", "lib")});
    Recorder rec;
    LogCapture cap;
    ASSERT_TRUE(extractZip(zip, dest, rec.progressFn(), rec.statusFn()));
    auto logs = cap.finish();
    EXPECT_TRUE(isLink(dest + "/Fw/Current"));
    EXPECT_EQ(readLink(dest + "/Fw/Current"), "Versions/Current");
    EXPECT_EQ(zrvk_test::readFile(dest + "/Fw/Versions/Current/lib.txt"), "lib");
    // The link counts as written but makes no progress call of its own.
    EXPECT_NE(logs.out.find("Extraction complete (3 files)"), std::string::npos);
    EXPECT_EQ(rec.progress.size(), 2u);
}

TEST_F(ExtractZipTest, NothingIsWrittenThroughALinkOrOutsideTheDestination) {
    std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    make({ZipEntry::link("evil", outside), ZipEntry::file("evil/pwned.txt", "through the link"),
          ZipEntry::file("./evil", "over the link"), ZipEntry::link("a/b", "../.."),
          ZipEntry::file("a\\b\\deep.txt", "through a link via backslashes"), ZipEntry::file("ok.txt", "fine")});
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, dest, nullptr, nullptr));
    auto logs = cap.finish();
    EXPECT_NE(logs.err.find("[extractZip] Refusing to write through link: evil/pwned.txt"), std::string::npos);
    EXPECT_NE(logs.err.find("[extractZip] Refusing to write through link: ./evil"), std::string::npos);
    EXPECT_NE(logs.err.find("[extractZip] Refusing to write through link: a/b/deep.txt"), std::string::npos);
    EXPECT_FALSE(exists(outside + "/pwned.txt"));
    EXPECT_FALSE(exists(tmp / "deep.txt"));
    EXPECT_EQ(readLink(dest + "/evil"), outside);
    EXPECT_EQ(zrvk_test::readFile(dest + "/ok.txt"), "fine");
    EXPECT_EQ(logs.out.find("Extraction complete"), std::string::npos);
}

TEST_F(ExtractZipTest, ALinkAlreadyAtTheTargetIsNotFollowed) {
    std::string outside = tmp / "victim.txt";
    zrvk_test::writeFile(outside, "untouched");
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.c_str(), (dest + "/config.txt").c_str()), 0);
    make({ZipEntry::file("config.txt", "overwritten")});
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, dest, nullptr, nullptr));
    EXPECT_NE(cap.finish().err.find("[extractZip] Failed to write file: " + dest + "/config.txt"), std::string::npos);
    EXPECT_EQ(zrvk_test::readFile(outside), "untouched");
}

TEST_F(ExtractZipTest, UnsafeEntryNamesAreRefused) {
    const std::vector<std::string> names = {"../escape.txt", "/abs.txt", "C:/drive.txt", "c:evil.txt",
                                            "a/../../up.txt", "a\\..\\..\\bs.txt", "x/.."};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        zrvk_test::TempDir box;
        std::string d = box / "dest";
        std::string z = box / "a.zip";
        ASSERT_EQ(buildZip(z, {ZipEntry::file("good.txt", "good"), ZipEntry::file(name, "bad")}), "");
        LogCapture cap;
        EXPECT_FALSE(extractZip(z, d, nullptr, nullptr));
        auto logs = cap.finish();
        std::string shown = name;
        for (char& c : shown)
            if (c == '\\') c = '/';
        EXPECT_NE(logs.err.find("[extractZip] Refusing unsafe entry name: " + shown), std::string::npos) << logs.err;
        EXPECT_FALSE(exists(box / "escape.txt"));
        EXPECT_FALSE(exists(box / "up.txt"));
        EXPECT_FALSE(exists(box / "bs.txt"));
        EXPECT_FALSE(exists("/abs.txt"));
        EXPECT_EQ(zrvk_test::readFile(d + "/good.txt"), "good");
    }
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

TEST_F(ExtractZipTest, LinksAlreadyOnTheWayAreNeverFollowed) {
    // Links planted in the destination before the run, at any depth of an
    // entry's path: the walk refuses them instead of writing behind them.
    struct Case {
        const char* link;   // below the destination
        const char* entry;
    } cases[] = {{"lib", "lib/x.txt"}, {"a/b", "a/b/c/y.txt"}, {"a/b", "a/./b/z.txt"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        zrvk_test::TempDir box;
        const std::string d = box / "dest", outside = box / "outside", z = box / "a.zip";
        ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
        zrvk_test::putFile(d + "/" + c.link + ".keep", "");
        ASSERT_EQ(symlink(outside.c_str(), (d + "/" + c.link).c_str()), 0);
        ASSERT_EQ(buildZip(z, {ZipEntry::file(c.entry, "behind the link"), ZipEntry::file("ok.txt", "fine")}), "");
        LogCapture cap;
        EXPECT_FALSE(extractZip(z, d, nullptr, nullptr));
        EXPECT_NE(cap.finish().err.find(std::string("[extractZip] Refusing to write through link: ") + c.entry),
                  std::string::npos);
        EXPECT_TRUE(isEmptyFolder(outside));
        EXPECT_EQ(zrvk_test::readFile(d + "/ok.txt"), "fine");
    }
}

TEST_F(ExtractZipTest, LinkNamesSpelledDifferentlyNeverLeadOutside) {
    // On a volume that ignores case or normalises Unicode, each pair names one
    // place; on any other volume they are separate folders inside the destination.
    const std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    const std::pair<std::string, std::string> pairs[] = {
        {"Lib", "lib/a.txt"},
        {"\xC3\x84", "\xC3\xA4/b.txt"},    // A and a with diaeresis
        {"\xC3\xA9", "e\xCC\x81/c.txt"},   // e acute, composed and decomposed
        {"DOCS", "Docs/d.txt"},
    };
    std::vector<ZipEntry> entries;
    for (const auto& p : pairs) {
        entries.push_back(ZipEntry::link(p.first, outside));
        entries.push_back(ZipEntry::file(p.second, "content"));
    }
    make(entries);
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    const bool folds = foldsCase(dest);
    LogCapture cap;
    const bool ok = extractZip(zip, dest, nullptr, nullptr);
    auto logs = cap.finish();
    EXPECT_TRUE(isEmptyFolder(outside));
    if (folds) {
        EXPECT_FALSE(ok);
        EXPECT_NE(logs.err.find("[extractZip] Refusing to write through link: lib/a.txt"), std::string::npos);
    } else {
        EXPECT_TRUE(ok) << logs.err;
        for (const auto& p : pairs) {
            EXPECT_EQ(zrvk_test::readFile(dest + "/" + p.second), "content") << p.second;
        }
    }
}

TEST_F(ExtractZipTest, LinkTargetsAreCappedAtFourKilobytes) {
    struct Case {
        const char* what;
        size_t length;
        uint32_t claimed;  // 0: the real size
        bool made;
    } cases[] = {
        {"longest a link can hold", 4095, 0, true},
        {"one past the cap", 4097, 0, false},
        {"much longer", 70000, 0, false},
        {"a size claim of 2 GiB", 12, 0x80000000u, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        zrvk_test::TempDir box;
        const std::string d = box / "dest", z = box / "a.zip";
        ASSERT_EQ(buildZip(z, {ZipEntry::link("l", std::string(c.length, 'x')), ZipEntry::file("ok.txt", "fine")}), "");
        if (c.claimed) {
            ASSERT_TRUE(claimSize(z, c.claimed));
        }
        LogCapture cap;
        EXPECT_EQ(extractZip(z, d, nullptr, nullptr), c.made);
        auto logs = cap.finish();
        EXPECT_EQ(isLink(d + "/l"), c.made);
        if (c.made) {
            EXPECT_EQ(readLink(d + "/l"), std::string(c.length, 'x'));
        } else {
            EXPECT_NE(logs.err.find("[extractZip] Failed to extract symlink target: l"), std::string::npos) << logs.err;
        }
        EXPECT_EQ(zrvk_test::readFile(d + "/ok.txt"), "fine");
    }
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

// Every path below root with its kind, mode and content (or link target).
std::map<std::string, std::string> treeOf(const std::string& root, const std::string& below = "") {
    std::map<std::string, std::string> tree;
    DIR* d = opendir((root + below).c_str());
    if (!d) return tree;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    for (const std::string& name : names) {
        const std::string rel = below + "/" + name, path = root + rel;
        struct stat st;
        lstat(path.c_str(), &st);
        const std::string mode = std::to_string(st.st_mode & 07777);
        if (S_ISLNK(st.st_mode)) {
            tree[rel] = "link " + readLink(path);
        } else if (S_ISDIR(st.st_mode)) {
            tree[rel] = "folder " + mode;
            for (auto& entry : treeOf(root, rel)) tree.insert(entry);
        } else {
            tree[rel] = "file " + mode + " " + zrvk_test::readFile(path);
        }
    }
    return tree;
}

// One extraction as callers see it: result, logs, callbacks (and the
// threads they came from) and the tree left behind.
struct Seen {
    bool ok = false;
    zrvk_test::Logs logs;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    std::vector<std::string> status;
    bool callbacksOnCaller = true;
    std::map<std::string, std::string> tree;
    uint64_t folderOpens = 0;
};

// folderBudget 0: the default; onProgress runs after each progress call.
Seen extractWith(int threads, const std::string& zip, const std::string& dest, size_t folderBudget = 0,
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

void expectSame(const Seen& one, const Seen& many) {
    EXPECT_EQ(one.ok, many.ok);
    EXPECT_EQ(one.logs.out, many.logs.out);
    EXPECT_EQ(one.logs.err, many.logs.err);
    EXPECT_EQ(one.progress, many.progress);
    EXPECT_EQ(one.status, many.status);
    EXPECT_TRUE(one.tree == many.tree) << one.tree.size() << " against " << many.tree.size() << " paths";
    EXPECT_TRUE(one.callbacksOnCaller);
    EXPECT_TRUE(many.callbacksOnCaller);
}

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
// budget; links and folders changed under the run still never lead a file
// outside.

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

TEST_F(ExtractZipTest, ALinkMadeMidArchiveGuardsEntriesBesideKeptFolders) {
    // Entries in folders kept open (and in use by writers) on both sides of
    // links made inside them; every spelling of a path through a link is refused.
    const std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::vector<ZipEntry> entries;
    auto modules = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            entries.push_back(ZipEntry::file("lib/p" + std::to_string(i % 10) + "/m" + std::to_string(i) + ".py",
                                             std::string(static_cast<size_t>(100 + i), 'm')));
    };
    modules(0, 100);
    entries.push_back(ZipEntry::link("lib/cur", outside));
    entries.push_back(ZipEntry::link("lib/p3/up", "../.."));
    for (const char* through : {"lib/cur/a.txt", "lib/./cur/b.txt", "lib\\cur\\c.txt", "lib//cur/d.txt",
                                "lib/cur/sub/e.txt", "lib/p3/up/lib/p4/f.txt"})
        entries.push_back(ZipEntry::file(through, "refused"));
    modules(100, 200);
    entries.push_back(ZipEntry::file("lib/cur/g.txt", "refused"));
    make(entries);
    const Seen one = extractWith(1, zip, dest);
    ASSERT_EQ(rename(dest.c_str(), (tmp / "one").c_str()), 0);
    for (size_t budget : {size_t(0), size_t(1)}) {
        SCOPED_TRACE(budget);
        const Seen many = extractWith(8, zip, dest, budget);
        expectSame(one, many);
        EXPECT_FALSE(many.ok);
        EXPECT_TRUE(isEmptyFolder(outside));
        EXPECT_EQ(many.tree.at("/lib/cur"), "link " + outside);
        EXPECT_EQ(many.tree.count("/lib/p4/f.txt"), 0u);
        EXPECT_EQ(many.tree.at("/lib/p3/m193.py"), "file 420 " + std::string(293, 'm'));
        for (const char* line : {"through link: lib/cur/a.txt", "through link: lib/./cur/b.txt",
                                 "through link: lib/cur/c.txt", "through link: lib//cur/d.txt",
                                 "through link: lib/cur/sub/e.txt", "through link: lib/p3/up/lib/p4/f.txt",
                                 "through link: lib/cur/g.txt", "Extraction failed: 7 entries"})
            EXPECT_NE(many.logs.err.find(line), std::string::npos) << line;
        removeTree(dest);
    }
}

TEST_F(ExtractZipTest, AFolderReplacedBetweenEntries) {
    // a/b is kept open for its first files; when the fifth is reported it is
    // replaced. The link entry makes every earlier entry reported before a
    // later one is planned, so the later files of a/b meet the replacement
    // whatever the number of writers.
    const std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::vector<ZipEntry> entries;
    for (int i = 1; i <= 5; ++i) entries.push_back(ZipEntry::file("a/b/f" + std::to_string(i), "early"));
    entries.push_back(ZipEntry::link("sync", "a"));
    for (int i = 6; i <= 9; ++i) entries.push_back(ZipEntry::file("a/b/f" + std::to_string(i), "late"));
    entries.push_back(ZipEntry::file("a/b/c/g", "late, deeper"));
    make(entries);
    struct Case {
        const char* what;
        std::function<void(const std::string&)> replace;  // given the destination
        bool ok;
        const char* lateFolder;  // where the late files are, "" for nowhere
    } cases[] = {
        {"removed and made again",
         [](const std::string& d) {
             removeTree(d + "/a/b");
             mkdir((d + "/a/b").c_str(), 0755);
         },
         true, "/a/b"},
        {"moved aside, a link to outside in its place",
         [&](const std::string& d) {
             rename((d + "/a/b").c_str(), (d + "/a/old").c_str());
             symlink(outside.c_str(), (d + "/a/b").c_str());
         },
         true, "/a/old"},
        {"removed, a file in its place",
         [](const std::string& d) {
             removeTree(d + "/a/b");
             zrvk_test::writeFile(d + "/a/b", "in the way");
         },
         false, ""},
        {"removed, a link to outside in its place",
         [&](const std::string& d) {
             removeTree(d + "/a/b");
             symlink(outside.c_str(), (d + "/a/b").c_str());
         },
         false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Seen seen[2];
        for (int run = 0; run < 2; ++run) {
            seen[run] = extractWith(run == 0 ? 1 : 8, zip, dest, 0, [&](uint64_t k) {
                if (k == 5) c.replace(dest);
            });
            ASSERT_EQ(rename(dest.c_str(), (tmp / ("run" + std::to_string(run))).c_str()), 0);
        }
        expectSame(seen[0], seen[1]);
        const Seen& many = seen[1];
        EXPECT_EQ(many.ok, c.ok) << many.logs.err << many.logs.out;
        EXPECT_TRUE(isEmptyFolder(outside));
        const std::string late = c.lateFolder;
        if (!late.empty()) {
            for (int i = 6; i <= 9; ++i) EXPECT_EQ(many.tree.at(late + "/f" + std::to_string(i)), "file 420 late");
            EXPECT_EQ(many.tree.at(late + "/c/g"), "file 420 late, deeper");
        } else {
            for (const char* f : {"f6", "f9", "c/g"})
                EXPECT_NE(many.logs.err.find(std::string("a/b/") + f), std::string::npos) << f;
        }
        for (int run = 0; run < 2; ++run) removeTree(tmp / ("run" + std::to_string(run)));
    }
}

}  // namespace
