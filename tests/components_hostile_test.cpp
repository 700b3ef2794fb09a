// What a download server or mirror sends never makes the privileged chains
// write, change or create anything outside the product's folders: hostile
// archives through the real installers, and staged trees with links handed
// straight to the chains, against a victim outside the sandbox.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk_space.h"
#include "installer_components.h"
#include "installer_components_internal.h"
#include "installer_config.h"
#include "installer_download.h"
#include "installer_utils.h"
#include "support/components_fixture.h"
#include "support/named_process.h"
#include "support/small_file_system.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

namespace {

using namespace InstallerConfig::Paths;
using zrvk_test::ComponentsTest;
using zrvk_test::entry;
using zrvk_test::manifestWith;
using zrvk_test::modeOf;
using zrvk_test::putFile;
using zrvk_test::readFile;
using zrvk_test::Recorder;
using zrvk_test::ZipEntry;

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::vector<FolderEntry> entries;
    listFolder(folder, entries);
    for (const FolderEntry& e : entries) names.push_back(e.name);
    return names;
}

bool isLinkAt(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A folder and a file of someone else's, outside the sandbox: 0700 and 0600.
class Victim {
public:
    Victim() {
        putFile(secret(), "secret");
        chmod(secret().c_str(), 0600);
        chmod(folder().c_str(), 0700);
    }
    std::string folder() const { return box_ / "victim"; }
    std::string secret() const { return folder() + "/secret"; }
    void expectUntouched() const {
        EXPECT_EQ(readFile(secret()), "secret");
        EXPECT_EQ(modeOf(secret()), 0600u);
        EXPECT_EQ(modeOf(folder()), 0700u);
        EXPECT_EQ(namesIn(folder()), std::vector<std::string>{"secret"});
    }

private:
    zrvk_test::TempDir box_;
};

// A relative target that climbs out of any folder of the sandbox to `path`.
std::string climbingTo(const std::string& path) {
    std::string up;
    for (int i = 0; i < 40; ++i) up += "../";
    return up + path.substr(1);
}

class HostileArchive : public ComponentsTest {
public:
    std::string serve(const std::string& path, const std::vector<ZipEntry>& entries) {
        return server->serveArchive(path, entries);
    }
    bool plugins(const std::vector<std::string>& ids, const std::string& entries, Recorder& r) {
        return installPlugins(ids, manifestWith(entries), nullptr, r.statusFn(), nullptr);
    }
};

// Each archive tries to steer a chain that runs as root to the victim;
// extraction refuses links that lead out, so the installation fails.
TEST_F(HostileArchive, LinksThatLeadOutOfTheArchiveFailTheInstallation) {
    struct Case {
        const char* what;
        std::function<bool(HostileArchive&, const Victim&, Recorder&)> install;
    } cases[] = {
        {"a plug-in's link, written through by its additional files",
         [](HostileArchive& t, const Victim& v, Recorder& r) {
             const std::string mrv = t.serve("/a/mrv.zip", {ZipEntry::link("cfg", v.secret()),
                                                            ZipEntry::file("model.py", "m")});
             const std::string extra = t.serve("/a/extra.zip", {ZipEntry::file("cfg", "planted")});
             return t.plugins({"ha"}, entry("ha", "", mrv, extra), r);
         }},
        {"one plug-in's link at the top of the shared folder, written through by the next",
         [](HostileArchive& t, const Victim& v, Recorder& r) {
             const std::string first = t.serve("/b1/adobe.zip", {ZipEntry::file("pa.plugin/Contents/x", "a"),
                                                                 ZipEntry::link("presets.txt", v.secret())});
             const std::string second = t.serve("/b2/adobe.zip", {ZipEntry::file("pb.plugin/Contents/x", "b"),
                                                                  ZipEntry::file("presets.txt", "planted")});
             return t.plugins({"pa", "pb"}, entry("pa", first, "", "") + "," + entry("pb", second, "", ""), r);
         }},
        {"a bundle that is a link to an outside folder",
         [](HostileArchive& t, const Victim& v, Recorder& r) {
             const std::string adobe = t.serve("/c/adobe.zip", {ZipEntry::link("hc.plugin", v.folder())});
             return t.plugins({"hc"}, entry("hc", adobe, "", ""), r);
         }},
        {"a link that climbs out with ..",
         [](HostileArchive& t, const Victim& v, Recorder& r) {
             const std::string mrv = t.serve("/d/mrv.zip", {ZipEntry::link("cfg", climbingTo(v.secret()))});
             const std::string extra = t.serve("/d/extra.zip", {ZipEntry::file("cfg", "planted")});
             return t.plugins({"hd"}, entry("hd", "", mrv, extra), r);
         }},
        {"the server's version.txt as a link to a new file",
         [](HostileArchive& t, const Victim& v, Recorder& r) {
             const std::string url = t.serve("/e/server.zip", {ZipEntry::file("launcher.py", "v5"),
                                                               ZipEntry::link("version.txt", v.folder() + "/new")});
             return installMRVServer(url, "5", nullptr, r.statusFn());
         }},
        {"the server's version.txt as a link to an existing file",
         [](HostileArchive& t, const Victim& v, Recorder& r) {
             const std::string url = t.serve("/f/server.zip", {ZipEntry::file("launcher.py", "v5"),
                                                               ZipEntry::link("version.txt", v.secret())});
             return installMRVServer(url, "5", nullptr, r.statusFn());
         }},
        {"the render engine's folder of links",
         [](HostileArchive& t, const Victim& v, Recorder& r) {
             const std::string url = t.serve("/g/engine.zip", {ZipEntry::file("bin/python3", "engine"),
                                                               ZipEntry::link("lib", v.folder())});
             return installRenderEngine({url}, "3", nullptr, r.statusFn(), true);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        wipe();
        server->clear();
        Victim victim;
        Recorder r;
        EXPECT_FALSE(c.install(*this, victim, r));
        victim.expectUntouched();
        for (const std::string& name : namesIn(getRunTempDirectory()))
            EXPECT_NE(name.rfind("zorvik_installer_", 0), 0u) << "left behind: " << name;
    }
}

// Links that stay inside the archive still extract, and no chain or version
// file follows them.
TEST_F(HostileArchive, LinksInsideTheArchiveAreNeverFollowedByAChain) {
    Recorder r;
    const std::string url = serve("/server.zip", {ZipEntry::file("launcher.py", "v5"),
                                                  ZipEntry::link("version.txt", "launcher.py"),
                                                  ZipEntry::link("current", "app"), ZipEntry::file("app/main.py", "m")});
    ASSERT_TRUE(installMRVServer(url, "5.2", nullptr, r.statusFn())) << r.statuses.back();
    EXPECT_FALSE(isLinkAt(MRV_SERVER_DIR + "/version.txt"));
    EXPECT_EQ(readFile(MRV_SERVER_DIR + "/version.txt"), "5.2");
    EXPECT_EQ(readFile(MRV_SERVER_DIR + "/launcher.py"), "v5");
    EXPECT_TRUE(isLinkAt(MRV_SERVER_DIR + "/current"));
    EXPECT_EQ(readFile(MRV_SERVER_DIR + "/current/main.py"), "m");

    // A bundle that is a link (to another bundle of the archive) is never
    // handed to chown or chmod.
    const std::string adobe = serve("/h/adobe.zip", {ZipEntry::file("real.plugin/Contents/x", "x"),
                                                     ZipEntry::link("hh.plugin", "real.plugin")});
    EXPECT_FALSE(plugins({"hh"}, entry("hh", adobe, "", ""), r));
    EXPECT_EQ(r.statuses.back(), "Error installing hh (Adobe): Privileged command failed (exit status: 1)");

    // Additional files are merged without writing through a link that the
    // plug-in's folder holds: the merge fails instead.
    const std::string mrv = serve("/i/mrv.zip", {ZipEntry::file("data/cfg", "original"), ZipEntry::link("cfg", "data/cfg")});
    const std::string extra = serve("/i/extra.zip", {ZipEntry::file("cfg", "planted")});
    EXPECT_FALSE(plugins({"hi"}, entry("hi", "", mrv, extra), r));
    EXPECT_EQ(readFile(MRV_PLUGINS_DIR + "/hi/data/cfg"), "original");
    EXPECT_TRUE(isLinkAt(MRV_PLUGINS_DIR + "/hi/cfg"));
}

// Additional files still merge: what the plug-in's folder held stays unless
// the archive brings the same name, and hidden files of the archive come too.
TEST_F(HostileArchive, AdditionalFilesMergeIntoACopyOfTheInstalledFolder) {
    Recorder r;
    const std::string mrv = serve("/j/mrv.zip", {ZipEntry::file("model.py", "m"), ZipEntry::file("cfg/a.txt", "a1"),
                                                 ZipEntry::link("current", "cfg")});
    ASSERT_TRUE(plugins({"hj"}, entry("hj", "", mrv, ""), r));
    const std::string extra = serve("/j/extra.zip", {ZipEntry::file("cfg/a.txt", "a2"), ZipEntry::file("cfg/b.txt", "b"),
                                                     ZipEntry::file(".hidden", "h")});
    ASSERT_TRUE(plugins({"hj"}, entry("hj", "", "", extra), r)) << r.statuses.back();
    const std::string d = MRV_PLUGINS_DIR + "/hj";
    EXPECT_EQ(readFile(d + "/model.py"), "m");
    EXPECT_EQ(readFile(d + "/cfg/a.txt"), "a2");
    EXPECT_EQ(readFile(d + "/cfg/b.txt"), "b");
    EXPECT_EQ(readFile(d + "/.hidden"), "h");
    EXPECT_TRUE(isLinkAt(d + "/current"));
    EXPECT_EQ(modeOf(d + "/cfg/b.txt"), 0755u);
}

// Whatever the staged tree holds (extraction never makes these), no chain
// follows a link in it: each is copied as a link or refuses the part.
TEST_F(HostileArchive, ChainsFollowNoStagedLinkWhateverTheTree) {
    Victim victim;
    zrvk_test::TempDir box;
    auto stage = [&](const std::string& name) {
        const std::string staged = box / name;
        putFile(staged + "/bin/tool", "tool");
        EXPECT_EQ(symlink(victim.folder().c_str(), (staged + "/lib").c_str()), 0);
        EXPECT_EQ(symlink(victim.secret().c_str(), (staged + "/config").c_str()), 0);
        return staged;
    };
    EXPECT_TRUE(Placement::placeRenderEngine(stage("engine"), nullptr));
    EXPECT_TRUE(Placement::placeMRVServer(stage("server"), nullptr));
    EXPECT_TRUE(Placement::placePluginPart(Placement::Part::Mrv, "hk", stage("mrv"), nullptr));
    for (const std::string& d : {RENDER_ENGINE_DIR, MRV_SERVER_DIR, MRV_PLUGINS_DIR + "/hk"}) {
        EXPECT_EQ(readFile(d + "/bin/tool"), "tool") << d;
        EXPECT_TRUE(isLinkAt(d + "/lib")) << d;
    }
    const std::string adobe = stage("adobe");
    putFile(adobe + "/hk.plugin/Contents/x", "x");
    EXPECT_FALSE(Placement::placePluginPart(Placement::Part::Adobe, "hk", adobe, nullptr));
    EXPECT_FALSE(isLinkAt(PLUGINS_DIR + "/config"));
    victim.expectUntouched();
}

// An archive that cannot fit fails before anything of it is written, and
// says so with both figures; the installed server stays. Folders count too:
// empty files deep down declare no bytes.
TEST_F(HostileArchive, AnArchiveThatCannotFitFailsBeforeItIsWritten) {
    Recorder r;
    const std::string small = serve("/k/server.zip", {ZipEntry::file("launcher.py", "v1")});
    ASSERT_TRUE(installMRVServer(small, "1", nullptr, r.statusFn()));
    std::vector<ZipEntry> deep = {ZipEntry::file("launcher.py", "v2")};
    std::string folders;
    for (int d = 0; d < 300; ++d) folders += "d/";
    for (int i = 0; i < 20; ++i) deep.push_back(ZipEntry::file("p" + std::to_string(i) + "/" + folders + "e", ""));
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
        const char* status;
    } cases[] = {
        {"3 MB of file", {ZipEntry::file("launcher.py", "v2"), ZipEntry::file("weights.bin", std::string(3 << 20, '\0'))},
         "Error: Not enough disk space (3.1 MB needed, 1.0 MB free)"},
        {"6,000 folders of empty files", deep, "Error: Not enough disk space ("},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string big = serve("/k/big" + std::to_string(++n) + ".zip", c.entries);
        DeliveryTesting::setFreeSpace(1 << 20);
        EXPECT_FALSE(installMRVServer(big, "2", nullptr, r.statusFn()));
        DeliveryTesting::reset();
        EXPECT_EQ(r.statuses.back().rfind(c.status, 0), 0u) << r.statuses.back();
        EXPECT_EQ(readFile(MRV_SERVER_DIR + "/launcher.py"), "v1");
        EXPECT_EQ(readFile(MRV_SERVER_DIR + "/version.txt"), "1");
    }
}

// What the Adobe chain would refuse (a staged link at its top level, or no
// bundle) is found before anything in the maker's folder is removed: the
// folder stays exactly as it was, the installed bundle, another plug-in and
// the older shared files included.
TEST_F(HostileArchive, ARefusedAdobeArchiveLeavesTheMakersFolderAsItWas) {
    Recorder r;
    const std::string first = serve("/m/adobe.zip", {ZipEntry::file("hm.plugin/Contents/Info.plist", "v1"),
                                                     ZipEntry::file("aa/shared.txt", "old")});
    const std::string other = serve("/m/other.zip", {ZipEntry::file("other.plugin/Contents/x", "o")});
    ASSERT_TRUE(plugins({"hm", "other"}, entry("hm", first, "", "") + "," + entry("other", other, "", ""), r));
    const auto before = zrvk_test::treeOf(PLUGINS_DIR);
    ASSERT_EQ(before.at("/hm.plugin/Contents/Info.plist"), "file 493 v1");
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
    } cases[] = {
        {"a link last, after a folder and a new bundle",
         {ZipEntry::file("aa/shared.txt", "new"), ZipEntry::file("hm.plugin/Contents/Info.plist", "v2"),
          ZipEntry::link("zz", "hm.plugin")}},
        {"no bundle", {ZipEntry::file("aa/shared.txt", "new"), ZipEntry::file("bb/more.txt", "more")}},
        {"a file named like the bundle", {ZipEntry::file("aa/shared.txt", "new"), ZipEntry::file("hm.plugin", "v2")}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string url = serve("/m/refused" + std::to_string(++n) + ".zip", c.entries);
        EXPECT_FALSE(plugins({"hm"}, entry("hm", url, "", ""), r));
        EXPECT_EQ(r.statuses.back(), "Error installing hm (Adobe): Privileged command failed (exit status: 1)");
        EXPECT_TRUE(zrvk_test::treeOf(PLUGINS_DIR) == before);
    }
}

// ---------------------------------------------------------------------------
// A placement that fails at any step leaves the installed component exactly
// as it was, and no copy of its own behind.

// The first paths where two trees differ, each cut short (contents can be
// megabytes long, paths thousands of bytes).
std::vector<std::string> differences(const std::map<std::string, std::string>& a,
                                     const std::map<std::string, std::string>& b) {
    std::vector<std::string> paths;
    auto add = [&paths](const std::string& path) {
        if (paths.size() < 8) paths.push_back(path.substr(0, 80));
    };
    for (const auto& entry : a) {
        auto other = b.find(entry.first);
        if (other == b.end() || other->second != entry.second) add(entry.first);
    }
    for (const auto& entry : b)
        if (a.count(entry.first) == 0) add(entry.first);
    return paths;
}

// `top` in `root`, and below it folders with names of 250 bytes, each made
// from the descriptor of the one above, until no call can take the path of
// the last one (5,000 bytes).
void makeDeepFolder(const std::string& root, const std::string& top) {
    const int depth = 20;
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string name = top;
    for (int i = 0; i <= depth; ++i) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
        name = std::string(250, 'a');
    }
    close(fd);
}

// An entry not even root may rename or remove while the object lives (root
// only, on a file system with the immutable flag).
class Immovable {
public:
    explicit Immovable(const std::string& path) : path_(path) { set_ = flag(true); }
    ~Immovable() {
        if (set_) flag(false);
    }
    bool set() const { return set_; }

private:
    bool flag(bool on) {
        const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        int flags = 0;
        bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        close(fd);
        return ok;
    }
    std::string path_;
    bool set_ = false;
};

TEST_F(HostileArchive, APlacementThatFailsLeavesTheInstalledComponentAsItWas) {
    using Placement::Part;
    struct Chain {
        const char* what;
        std::string folder;  // what the chain puts entries into, compared whole
        std::function<bool(const std::string&)> place;
        std::string bundle;  // the Adobe bundle's name; the other chains replace the folder whole
    } chains[] = {
        {"Adobe", PLUGINS_DIR, [](const std::string& t) { return Placement::placePluginPart(Part::Adobe, "hp", t, nullptr); },
         "hp.plugin"},
        {"MRV", MRV_PLUGINS_DIR + "/hp", [](const std::string& t) { return Placement::placePluginPart(Part::Mrv, "hp", t, nullptr); },
         ""},
        {"render engine", RENDER_ENGINE_DIR, [](const std::string& t) { return Placement::placeRenderEngine(t, nullptr); }, ""},
        {"server", MRV_SERVER_DIR, [](const std::string& t) { return Placement::placeMRVServer(t, nullptr); }, ""},
    };
    enum class Fault { DeepFolder, FullFileSystem, ImmovableEntry };
    const struct {
        const char* what;
        Fault fault;
        bool needsRoot;
    } faults[] = {
        {"a staged folder deeper than a path can name", Fault::DeepFolder, false},
        {"a file system that fills up during the copy", Fault::FullFileSystem, true},
        {"an installed entry that cannot be moved aside", Fault::ImmovableEntry, true},
    };
    const bool root = geteuid() == 0;
    bool skipped = false;
    for (const Chain& chain : chains) {
        for (const auto& f : faults) {
            SCOPED_TRACE(std::string(chain.what) + ": " + f.what);
            if (f.needsRoot && !root) {
                skipped = true;
                continue;
            }
            wipe();
            std::unique_ptr<zrvk_test::SmallFileSystem> small;
            if (f.fault == Fault::FullFileSystem) {
                small.reset(new zrvk_test::SmallFileSystem(InstallerConfig::ROOT_PREFIX + "/Library", "size=1m"));
                if (!small->mounted()) {
                    skipped = true;
                    continue;
                }
            }
            // The installed component: "zz.txt" sorts after the entries a
            // chain moves aside first; the Adobe folder holds another plug-in.
            zrvk_test::TempDir box;
            const std::string top = chain.bundle.empty() ? "bin" : chain.bundle;
            const std::string old = box / "old";
            putFile(old + "/" + top + "/Contents/tool", "v1");
            putFile(old + "/aa/shared.txt", "old");
            putFile(old + "/zz.txt", "z1");
            ASSERT_TRUE(chain.place(old));
            if (!chain.bundle.empty()) {
                putFile(box / "other/other.plugin/Contents/x", "o");
                ASSERT_TRUE(Placement::placePluginPart(Part::Adobe, "other", box / "other", nullptr));
            }
            std::unique_ptr<Immovable> pinned;
            if (f.fault == Fault::ImmovableEntry) {
                pinned.reset(new Immovable(chain.folder + "/zz.txt"));
                if (!pinned->set()) {
                    skipped = true;
                    continue;
                }
            }
            const auto before = zrvk_test::treeOf(chain.folder);
            ASSERT_EQ(before.at("/" + top + "/Contents/tool"), "file 493 v1");

            const std::string staged = box / "new";
            putFile(staged + "/" + top + "/Contents/tool", "v2");
            putFile(staged + "/aa/shared.txt", "new");
            putFile(staged + "/zz.txt", "z2");
            if (f.fault == Fault::DeepFolder) makeDeepFolder(staged, "aaa_deep");
            if (f.fault == Fault::FullFileSystem) putFile(staged + "/" + top + "/Contents/weights.bin", std::string(2 << 20, 'w'));
            EXPECT_FALSE(chain.place(staged));
            const auto after = zrvk_test::treeOf(chain.folder);
            EXPECT_TRUE(after == before) << ::testing::PrintToString(differences(before, after));
        }
    }
    if (skipped) {
        GTEST_SKIP() << "the full file system and the immovable entry need root (to mount a small file system, and "
                        "a file system with the immutable flag)";
    }
}

// The staged copy and what is installed must fit side by side: a copy that
// cannot fails with the disk-space status and a log line of the figures
// before the server is stopped or anything is touched.
TEST_F(HostileArchive, AStagedCopyThatCannotFitBesideTheInstalledOneTouchesNothing) {
    DiskSpace::Room real;
    ASSERT_TRUE(DiskSpace::fileSystemRoomAt(InstallerConfig::ROOT_PREFIX, real));
    const uint64_t b = real.blockSize;
    ASSERT_LE(b, 16384u) << "the MB figures below round as they do for blocks up to 16 KiB";
    const uint64_t weights = 3 << 20;
    struct Chain {
        const char* what;
        std::string folder, tag, label, top;
        uint64_t stamped;  // a version.txt is added to the staged copy
        std::function<bool(const std::string&, Recorder&)> install;
    } chains[] = {
        {"render engine", RENDER_ENGINE_DIR, "[RENDER_ENGINE]", "Render Engine", "lib", 1,
         [](const std::string& url, Recorder& r) { return installRenderEngine({url}, "2", nullptr, r.statusFn(), true); }},
        {"server", MRV_SERVER_DIR, "[MRV_SERVER]", "MRV Server", "lib", 1,
         [](const std::string& url, Recorder& r) { return installMRVServer(url, "2", nullptr, r.statusFn()); }},
        {"Adobe", PLUGINS_DIR, "[PLUGIN]", "hr (Adobe)", "hr.plugin", 0,
         [](const std::string& url, Recorder& r) { return installPlugin("hr", url, "", "", nullptr, r.statusFn()); }},
        {"MRV", MRV_PLUGINS_DIR + "/hr", "[PLUGIN]", "hr (MRV)", "lib", 0,
         [](const std::string& url, Recorder& r) { return installPlugin("hr", "", url, "", nullptr, r.statusFn()); }},
    };
    // What extraction makes: two folders and the file. The staged copy takes
    // that, its own folder, the folder for what is moved aside, and any
    // version.txt.
    const uint64_t unpacked = weights + 2 * b;
    int n = 0;
    for (const Chain& c : chains) {
        SCOPED_TRACE(c.what);
        wipe();
        Recorder r;
        ASSERT_TRUE(c.install(serve("/r/old" + std::to_string(++n) + ".zip", {ZipEntry::file(c.top + "/Contents/x", "v1")}), r));
        const auto before = zrvk_test::treeOf(c.folder);
        ASSERT_FALSE(before.empty());
        for (const auto& entry : before) EXPECT_EQ(entry.first.find(".zrvk-"), std::string::npos) << entry.first;
        zrvk_test::NamedProcess fake(InstallerConfig::ROOT_PREFIX + "/elsewhere/" + MRV_SERVER_PROCESS_NAME);
        ASSERT_TRUE(fake.started());
        const std::string url = serve("/r/new" + std::to_string(n) + ".zip",
                                      {ZipEntry::file(c.top + "/Contents/weights.bin", std::string(weights, '\0'))});
        const uint64_t takes = weights + (4 + c.stamped) * b, makes = 5 + c.stamped;
        const struct {
            const char* what;
            int64_t bytes, inodes;
            std::string status, line;
        } rooms[] = {
            {"bytes", int64_t(unpacked + b), -1, "Error: Not enough disk space (3.1 MB needed, 3.0 MB free)",
             c.tag + " Not enough free space in " + c.folder + ": the staged files take " + std::to_string(takes) +
                 " bytes, " + std::to_string(unpacked + b) + " bytes are free"},
            {"inodes", int64_t(1) << 30, 3,
             "Error: Not enough disk space (" + std::to_string(makes) + " files and folders needed, 3 can be made)",
             c.tag + " Not enough free inodes in " + c.folder + ": the staged files make " + std::to_string(makes) +
                 " files and folders, 3 more can be made"},
        };
        for (const auto& room : rooms) {
            SCOPED_TRACE(room.what);
            DeliveryTesting::setFreeSpace(room.bytes, room.inodes);
            testing::internal::CaptureStderr();
            const bool installed = c.install(url, r);
            const std::string err = testing::internal::GetCapturedStderr();
            DeliveryTesting::reset();
            EXPECT_FALSE(installed);
            ASSERT_FALSE(r.statuses.empty());
            EXPECT_EQ(r.statuses.back(), c.label + ": " + room.status);
            EXPECT_TRUE(zrvk_test::contains(err, room.line + "\n")) << err;
            EXPECT_TRUE(zrvk_test::treeOf(c.folder) == before);
            EXPECT_TRUE(fake.running());
            for (const std::string& name : namesIn(getRunTempDirectory()))
                EXPECT_NE(name.rfind("zorvik_installer_", 0), 0u) << "left behind: " << name;
        }
    }
}

}  // namespace
