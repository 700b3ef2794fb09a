// ZIP extraction never writes outside its destination: links in the archive
// and already on disk, unsafe names, names spelled differently, link
// targets, and links and folders changed while the writers run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "installer_extract.h"
#include "support/delivery_helpers.h"
#include "support/extract_fixture.h"
#include "support/link_resolution.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"
#include "text_escape.h"

using zrvk_test::buildZip;
using zrvk_test::claimSize;
using zrvk_test::exists;
using zrvk_test::expectSame;
using zrvk_test::extractWith;
using zrvk_test::ExtractZipTest;
using zrvk_test::isEmptyFolder;
using zrvk_test::isLink;
using zrvk_test::LogCapture;
using zrvk_test::readLink;
using zrvk_test::Recorder;
using zrvk_test::removeTree;
using zrvk_test::Seen;
using zrvk_test::ZipEntry;

namespace {

// True when the folder's volume ignores case (as macOS's usual one does).
bool foldsCase(const std::string& dir) {
    const std::string probe = dir + "/CaseProbe";
    zrvk_test::writeFile(probe, "");
    const bool folds = exists(dir + "/caseprobe");
    std::remove(probe.c_str());
    return folds;
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
    // Links inside the archive are made, and nothing goes through them; a
    // link out of the destination is never made, so what follows it in the
    // archive lands inside.
    std::string outside = tmp / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    make({ZipEntry::file("inside/keep", "k"), ZipEntry::link("evil", "inside"),
          ZipEntry::file("evil/pwned.txt", "through the link"), ZipEntry::file("./evil", "over the link"),
          ZipEntry::link("a/b", ".."), ZipEntry::file("a\\b\\deep.txt", "through a link via backslashes"),
          ZipEntry::link("out", outside), ZipEntry::file("out/pwned.txt", "not through a link"),
          ZipEntry::file("ok.txt", "fine")});
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, dest, nullptr, nullptr));
    auto logs = cap.finish();
    EXPECT_NE(logs.err.find("[extractZip] Refusing to write through link: evil/pwned.txt"), std::string::npos);
    EXPECT_NE(logs.err.find("[extractZip] Refusing to write through link: ./evil"), std::string::npos);
    EXPECT_NE(logs.err.find("[extractZip] Refusing to write through link: a/b/deep.txt"), std::string::npos);
    EXPECT_NE(logs.err.find("[extractZip] Refusing link that leads outside the destination: out -> " + outside),
              std::string::npos);
    EXPECT_TRUE(isEmptyFolder(outside));
    EXPECT_FALSE(exists(dest + "/inside/pwned.txt"));
    EXPECT_FALSE(exists(dest + "/deep.txt"));
    EXPECT_EQ(readLink(dest + "/evil"), "inside");
    EXPECT_EQ(zrvk_test::readFile(dest + "/out/pwned.txt"), "not through a link");
    EXPECT_EQ(zrvk_test::readFile(dest + "/ok.txt"), "fine");
    EXPECT_EQ(logs.out.find("Extraction complete"), std::string::npos);
}

TEST_F(ExtractZipTest, OnlyLinksThatStayInsideTheDestinationAreMade) {
    // Read from the link's own folder, a target may climb no higher than the
    // top, and not at all after a named step (which may itself be a link). A
    // NUL anywhere refuses the link: the link would be made of the text
    // before it alone.
    using namespace std::string_literals;
    struct Case {
        const char* entry;
        std::string target;
        bool made;
    } cases[] = {
        {"bin/python3", "python3.10", true},          {"Fw/Versions/Current", "A", true},
        {"Fw/Resources", "Versions/Current/Resources", true}, {"ncursesw/term.h", "../term.h", true},
        {"a/b/c", "../../x", true},                   {"x", "./y", true},
        {"x", "/etc/passwd", false},                  {"x", "..", false},
        {"x", "../x", false},                         {"a/b", "../../x", false},
        {"a/b", "c/../../x", false},                  {"sub/m", "../l/..", false},
        {"a\\b", "../../x", false},                  {"x", "..\0"s, false},
        {"sub/m", "a/..\0/.."s, false},               {"a/b/c", "..\0"s, false},
        {"a/b/c", "x\0/../../../.."s, false},         {"x", "y\0"s, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + " -> " + zrvk_test::hex(c.target));
        zrvk_test::TempDir box;
        const std::string d = box / "dest", z = box / "a.zip";
        ASSERT_EQ(buildZip(z, {ZipEntry::link(c.entry, c.target), ZipEntry::file("ok.txt", "fine")}), "");
        LogCapture cap;
        EXPECT_EQ(extractZip(z, d, nullptr, nullptr), c.made);
        auto logs = cap.finish();
        std::string shown = c.entry;
        for (char& ch : shown)
            if (ch == '\\') ch = '/';
        EXPECT_EQ(isLink(d + "/" + shown), c.made);
        if (c.made) {
            EXPECT_EQ(readLink(d + "/" + shown), c.target);
        } else {
            // The target as the log can show it: a NUL or line feed in it never writes a line of its own.
            EXPECT_NE(logs.err.find("[extractZip] Refusing link that leads outside the destination: " + shown +
                                    " -> " + escapeForLog(c.target)),
                      std::string::npos)
                << logs.err;
        }
        EXPECT_EQ(zrvk_test::readFile(d + "/ok.txt"), "fine");
    }
}

// Each link of the chain would look like a named step followed by nothing;
// made from the text before its NUL, each climbs one folder higher than the
// one before, out of the destination. None is made, and nothing the run
// leaves leads outside.
TEST_F(ExtractZipTest, AChainOfLinksHiddenBehindNulBytesIsNeverMade) {
    using namespace std::string_literals;
    const std::string folder = "Plugins/X/";
    std::vector<ZipEntry> entries = {ZipEntry::file(folder + "model.py", "m"), ZipEntry::link(folder + "up", "..\0"s)};
    for (int i = 2; i <= 8; ++i) {
        const std::string before = i == 2 ? "up" : "up" + std::to_string(i - 1);
        entries.push_back(ZipEntry::link(folder + "up" + std::to_string(i), before + "/..\0"s));
    }
    entries.push_back(ZipEntry::link(folder + "current", "model.py"));
    make(entries);
    LogCapture cap;
    EXPECT_FALSE(extractZip(zip, dest, nullptr, nullptr));
    const auto logs = cap.finish();
    EXPECT_EQ(zrvk_links::firstLinkLeadingOut(dest), "");
    EXPECT_EQ(zrvk_links::linksBelow(dest), std::vector<std::string>{folder + "current"});
    EXPECT_EQ(zrvk_test::readFile(dest + "/" + folder + "model.py"), "m");
    EXPECT_NE(logs.err.find("[extractZip] Refusing link that leads outside the destination: " + folder + "up -> ..\\x00"),
              std::string::npos)
        << logs.err;
    EXPECT_NE(logs.err.find("[extractZip] Extraction failed: 8 entries could not be extracted"), std::string::npos)
        << logs.err;
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
    const std::pair<std::string, std::string> pairs[] = {
        {"Lib", "lib/a.txt"},
        {"\xC3\x84", "\xC3\xA4/b.txt"},    // A and a with diaeresis
        {"\xC3\xA9", "e\xCC\x81/c.txt"},   // e acute, composed and decomposed
        {"DOCS", "Docs/d.txt"},
    };
    std::vector<ZipEntry> entries = {ZipEntry::file("inside/keep", "k")};
    for (const auto& p : pairs) {
        entries.push_back(ZipEntry::link(p.first, "inside"));
        entries.push_back(ZipEntry::file(p.second, "content"));
    }
    make(entries);
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    const bool folds = foldsCase(dest);
    LogCapture cap;
    const bool ok = extractZip(zip, dest, nullptr, nullptr);
    auto logs = cap.finish();
    EXPECT_EQ(zrvk_test::treeOf(dest + "/inside").size(), 1u);
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

// ---------------------------------------------------------------------------
// Kept folders: links and folders changed under the run still never lead a
// file outside.

TEST_F(ExtractZipTest, ALinkMadeMidArchiveGuardsEntriesBesideKeptFolders) {
    // Entries in folders kept open (and in use by writers) on both sides of
    // links made inside them; every spelling of a path through a link is refused.
    std::vector<ZipEntry> entries = {ZipEntry::file("inside/keep", "k")};
    auto modules = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            entries.push_back(ZipEntry::file("lib/p" + std::to_string(i % 10) + "/m" + std::to_string(i) + ".py",
                                             std::string(static_cast<size_t>(100 + i), 'm')));
    };
    modules(0, 100);
    entries.push_back(ZipEntry::link("lib/cur", "../inside"));
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
        EXPECT_EQ(many.tree.count("/inside/a.txt") + many.tree.count("/inside/g.txt"), 0u);
        EXPECT_EQ(many.tree.at("/lib/cur"), "link ../inside");
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

// Names and link targets come from the archive: written into a log line they
// keep their control bytes escaped, so that no text of the archive reads as
// a line of the installer's own (support reads the log).
TEST_F(ExtractZipTest, ArchiveTextNeverWritesALogLineOfItsOwn) {
    const std::string forged = "\n[extractZip] 100% - Extraction complete (7 files)\r\n[PLUGIN] Plugin installation complete: p";
    const std::string shown = escapeForLog(forged);
    struct Case {
        const char* title;
        std::vector<ZipEntry> entries;
        std::string line;
    } cases[] = {
        {"a link leading out", {ZipEntry::link("x", "/etc" + forged)},
         "[extractZip] Refusing link that leads outside the destination: x -> /etc" + shown},
        {"an unsafe name", {ZipEntry::file("../up" + forged, "bad")}, "[extractZip] Refusing unsafe entry name: ../up" + shown},
        {"a name through a link", {ZipEntry::link("lib", "real"), ZipEntry::file("lib/f" + forged, "bad")},
         "[extractZip] Refusing to write through link: lib/f" + shown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        zrvk_test::TempDir box;
        const std::string d = box / "dest", z = box / "a.zip";
        ASSERT_EQ(buildZip(z, c.entries), "");
        LogCapture cap;
        EXPECT_FALSE(extractZip(z, d, nullptr, nullptr));
        const auto logs = cap.finish();
        EXPECT_NE(logs.err.find(c.line + "\n"), std::string::npos) << logs.err;
        for (const std::string* text : {&logs.out, &logs.err}) {
            EXPECT_EQ(text->find("\n[PLUGIN]"), std::string::npos) << *text;
            EXPECT_EQ(text->find("\n[extractZip] 100% - Extraction complete (7 files)"), std::string::npos) << *text;
            EXPECT_EQ(text->find('\r'), std::string::npos) << *text;
        }
    }
}
