#include "installer_config.h"
#include "plugin_diagnostics.h"
#include "support/plugin_fixtures.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zrvk_test;
using PluginDiagnostics::PluginInfo;

namespace {

struct Fields {
    std::string name;
    std::string version;
    std::string match_name;
};

void expectFields(const PluginInfo& info, const Fields& want) {
    EXPECT_EQ(info.name, want.name);
    EXPECT_EQ(info.version, want.version);
    EXPECT_EQ(info.match_name, want.match_name);
    EXPECT_FALSE(info.own);
    EXPECT_EQ(info.status, 0);
}

PluginInfo readMacBytes(const TempDir& tmp, const std::string& bytes) {
    return PluginDiagnostics::parsePluginMac(makeMacBundle(tmp.path(), "Probe.plugin", bytes));
}

PluginInfo readWinBytes(const TempDir& tmp, const std::string& bytes) {
    writeFile(tmp / "Probe.aex", bytes);
    return PluginDiagnostics::parsePluginWin(tmp / "Probe.aex");
}

// The 32-bit word of a record header in the byte order of either program.
std::string word(uint32_t v, bool windows) { return windows ? littleEndian32(v) : bigEndian32(v); }
std::string record(const std::string& key, const std::string& data, bool windows) {
    return windows ? winRecord(key, data) : macRecord(key, data);
}
// A header with any length, whatever data follows.
std::string header(const std::string& key, uint32_t length, bool windows) {
    return windows ? "MIB8" + std::string(key.rbegin(), key.rend()) + word(0, true) + word(length, true)
                   : "8BIM" + key + word(0, false) + word(length, false);
}

struct RecordCase {
    const char* what;
    std::string (*bytes)(bool windows);
    Fields want;
};

const RecordCase kRecordCases[] = {
    {"the three properties between filler",
     [](bool w) { return pluginProperties("Glow Pro", versionWord(25, 8, 1), "ZRVK Glow", w); },
     {"Glow Pro", "25.8.1", "ZRVK Glow"}},
    {"stage and build bits and the top bits are ignored",
     [](bool w) { return record("eVER", word((3u << 26) | (1u << 19) | (8u << 15) | (1u << 11) | 0xC00007FFu, w), w); },
     {"", "25.8.1", ""}},
    {"an empty Pascal length gives an empty name", [](bool w) { return record("name", std::string("\0abc", 4), w); },
     {"", "", ""}},
    {"a Pascal length not below the record's length falls back to the printable bytes",
     [](bool w) { return record("name", "Zab\x01" "c", w); }, {"Zabc", "", ""}},
    {"the fallback stops at the first zero byte",
     [](bool w) { return record("eMNA", std::string("\x09" "ab\0cd", 6), w); }, {"", "", "ab"}},
    {"the later of two records wins",
     [](bool w) { return record("name", pascal("First"), w) + record("name", pascal("Second"), w); },
     {"Second", "", ""}},
    {"a version record shorter than a word is ignored", [](bool w) { return record("eVER", "abc", w); },
     {"", "", ""}},
    {"a record whose length points past the end is skipped byte by byte; a record inside it is read",
     [](bool w) { return header("eMNA", 5000, w) + record("name", pascal("Inner"), w) + std::string(8, 'x'); },
     {"Inner", "", ""}},
    {"a valid record is skipped whole, records inside its data are not read",
     [](bool w) { return record("PiPL", record("name", pascal("Hidden"), w), w) + record("eMNA", pascal("M"), w); },
     {"", "", "M"}},
    {"lengths 0 and 10000 are refused, 9999 is read",
     [](bool w) {
         return header("name", 0, w) + "12345678" + header("name", 10000, w) + std::string(10000, 'a') +
                record("eMNA", "\x0c" + std::string(9998, 'b'), w);
     },
     {"", "", std::string(12, 'b')}},
    {"a truncated record at the end is ignored",
     [](bool w) { return record("name", pascal("Kept"), w) + header("eMNA", 9, w) + "short"; }, {"Kept", "", ""}},
    {"a signature too close to the end is not a record",
     [](bool w) { return record("name", pascal("Kept"), w) + (w ? "MIB8eman" : "8BIMname") + "\0\0\0\0\0\0\0"; },
     {"Kept", "", ""}},
};

TEST(PluginResourceReader, RecordsInBothByteOrders) {
    for (const RecordCase& c : kRecordCases) {
        for (bool windows : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (windows ? " (Windows)" : " (macOS)"));
            TempDir tmp;
            const std::string bytes = c.bytes(windows);
            expectFields(windows ? readWinBytes(tmp, bytes) : readMacBytes(tmp, bytes), c.want);
        }
    }
}

TEST(PluginResourceReader, EachReaderKnowsOnlyItsOwnByteOrder) {
    TempDir tmp;
    expectFields(readMacBytes(tmp, pluginProperties("Name", versionWord(1, 2, 3), "Match", true)), {});
    expectFields(readWinBytes(tmp, pluginProperties("Name", versionWord(1, 2, 3), "Match", false)), {});
}

TEST(PluginResourceReader, WindowsLengthFollowsTheZeroBytesAfterTheKey) {
    TempDir tmp;
    // The usual zero id: the length is read where macOS reads it.
    expectFields(readWinBytes(tmp, winRecord("name", pascal("Usual"))), {"Usual", "", ""});
    // Eight zero bytes after the key: the length is the word right after them.
    expectFields(readWinBytes(tmp, "MIB8eman" + std::string(8, '\0') + littleEndian32(6) + pascal("Later")),
                 {"Later", "", ""});
    // A length whose lowest byte is zero is read one byte later: 256 becomes
    // 01 00 00 + the data's first byte (0), so one byte of data at offset 17.
    std::string data(256, 'x');
    data[0] = '\0';
    data[1] = 'Q';
    expectFields(readWinBytes(tmp, winRecord("name", data)), {"Q", "", ""});
    // A non-zero property id is taken for the length: the data then starts
    // at the real length word (4), read as the version word.
    expectFields(readWinBytes(tmp, winRecord("eVER", littleEndian32(versionWord(25, 8, 1)), 4)), {"", "0.0.0", ""});
    // Zero bytes that run into the end stop the scan without reading past it.
    expectFields(readWinBytes(tmp, winRecord("name", pascal("Kept")) + "MIB8eman" + std::string(9, '\0')),
                 {"Kept", "", ""});
}

TEST(PluginResourceReader, FileNameIsThePathsLastComponent) {
    EXPECT_EQ(PluginDiagnostics::parsePluginMac("/no/such/Folder/Glow.plugin").file, "Glow.plugin");
    EXPECT_EQ(PluginDiagnostics::parsePluginMac("Glow.plugin").file, "Glow.plugin");
    EXPECT_EQ(PluginDiagnostics::parsePluginWin("C:\\Adobe\\MediaCore\\Glow.aex").file, "Glow.aex");
    EXPECT_EQ(PluginDiagnostics::parsePluginWin("C:/Adobe/MediaCore\\sub/Glow.aex").file, "Glow.aex");
    EXPECT_EQ(PluginDiagnostics::parsePluginWin("Glow.aex").file, "Glow.aex");
}

TEST(PluginResourceReader, BundleFolderRules) {
    TempDir tmp;
    const std::string props = pluginProperties("Glow", versionWord(2, 1, 0), "", false);
    auto withResources = [&](const std::string& bundle) {
        const std::string path = tmp / bundle;
        ::mkdir(path.c_str(), 0755);
        ::mkdir((path + "/Contents").c_str(), 0755);
        ::mkdir((path + "/Contents/Resources").c_str(), 0755);
        return path + "/Contents/Resources/";
    };

    ::mkdir((tmp / "NoResources.plugin").c_str(), 0755);
    expectFields(PluginDiagnostics::parsePluginMac(tmp / "NoResources.plugin"), {});

    writeFile(withResources("Bare.plugin") + ".rsrc", props);
    expectFields(PluginDiagnostics::parsePluginMac(tmp / "Bare.plugin"), {});

    writeFile(withResources("Upper.plugin") + "Upper.RSRC", props);
    expectFields(PluginDiagnostics::parsePluginMac(tmp / "Upper.plugin"), {});

    writeFile(withResources("Short.plugin") + "a.rsrc", props);
    expectFields(PluginDiagnostics::parsePluginMac(tmp / "Short.plugin"), {"Glow", "2.1.0", ""});

    // Any stem will do; the bundle's own name is not needed.
    writeFile(withResources("Other.plugin") + "Resources.rsrc", props);
    const PluginInfo other = PluginDiagnostics::parsePluginMac(tmp / "Other.plugin");
    EXPECT_EQ(other.file, "Other.plugin");
    EXPECT_EQ(other.version, "2.1.0");

    writeFile(withResources("Empty.plugin") + "Empty.rsrc", "");
    expectFields(PluginDiagnostics::parsePluginMac(tmp / "Empty.plugin"), {});

    // A folder or a pipe named like a resource file is not read (and the
    // pipe, which has no writer, must not block the reader).
    ::mkdir((withResources("Folder.plugin") + "Folder.rsrc").c_str(), 0755);
    expectFields(PluginDiagnostics::parsePluginMac(tmp / "Folder.plugin"), {});
    ASSERT_EQ(::mkfifo((withResources("Pipe.plugin") + "Pipe.rsrc").c_str(), 0644), 0);
    expectFields(PluginDiagnostics::parsePluginMac(tmp / "Pipe.plugin"), {});
}

// Sparse files: the limit is 100 MiB, a file of exactly that size is read.
TEST(PluginResourceReader, FilesOverTheSizeLimitAreNotRead) {
    TempDir tmp;
    const std::string rec = winRecord("name", pascal("AtLimit"));
    const off_t limit = 104857600;
    for (off_t size : {limit, limit + 1}) {
        SCOPED_TRACE(size);
        const int fd = ::open((tmp / "Big.aex").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        ASSERT_EQ(::pwrite(fd, rec.data(), rec.size(), size - static_cast<off_t>(rec.size())),
                  static_cast<ssize_t>(rec.size()));
        ::close(fd);
        EXPECT_EQ(PluginDiagnostics::parsePluginWin(tmp / "Big.aex").name, size == limit ? "AtLimit" : "");
    }
}

TEST(PluginResourceReader, MissingOrEmptyFilesGiveOnlyTheFileName) {
    TempDir tmp;
    expectFields(PluginDiagnostics::parsePluginWin(tmp / "Missing.aex"), {});
    expectFields(readWinBytes(tmp, ""), {});
    expectFields(readWinBytes(tmp, "MIB8"), {});
}

}  // namespace

namespace {

// Fake xattr and codesign programs first on PATH. Each records its call as
// "name [arg] [arg]..." in calls.log; the bodies decide the outcome.
class SigningTools {
public:
    SigningTools() {
        const char* path = std::getenv("PATH");
        savedPath_ = path ? path : "";
        ::mkdir((tmp_ / "bin").c_str(), 0755);
    }
    ~SigningTools() { ::setenv("PATH", savedPath_.c_str(), 1); }

    void program(const std::string& name, const std::string& body) {
        const std::string file = tmp_ / ("bin/" + name);
        writeFile(file, "#!/bin/sh\n{ printf '%s' '" + name + "'; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; echo; } >> '" +
                            (tmp_ / "calls.log") + "'\n" + body + "\n");
        ::chmod(file.c_str(), 0755);
    }
    // Only the fakes, or the fakes before the system's folders.
    void onPath(bool systemFoldersToo = false) {
        const std::string path = tmp_ / "bin";
        ::setenv("PATH", (systemFoldersToo ? path + ":/usr/bin:/bin" : path).c_str(), 1);
    }
    std::vector<std::string> calls() const { return lines(readFile(tmp_ / "calls.log")); }
    std::string dir() const { return tmp_.path(); }

private:
    TempDir tmp_;
    std::string savedPath_;
};

const char* const kNotQuarantined = "exit 1";
const char* const kQuarantined = "echo '0081;5f000000;Safari;'; exit 0";

// codesign: -dv writes `details` (to standard error unless told) and exits
// with `displayExit`; --verify runs `verify`.
std::string codesign(const std::string& details, int displayExit, const std::string& verify,
                     const char* stream = ">&2") {
    return "if [ \"$1\" = -dv ]; then printf '%s\\n' '" + details + "' " + stream + "; exit " +
           std::to_string(displayExit) + "; fi\n" + verify;
}

const char* logTail(int status) {
    switch (status) {
        case 1: return "VALID";
        case 2: return "ADHOC";
        case 3: return "INVALID";
        case 4: return "UNSIGNED";
        case 5: return "QUARANTINED";
        default: return "UNKNOWN";
    }
}

struct SignatureCase {
    const char* what;
    const char* xattr;       // nullptr: no xattr on PATH
    std::string codesign;    // empty: no codesign on PATH
    int status;
    std::vector<std::string> calls;  // "@" stands for the bundle's path
};

const std::string kDeveloperId = "Authority=Developer ID Application: Vendor";

const SignatureCase kSignatureCases[] = {
    {"quarantined without running codesign", kQuarantined, codesign(kDeveloperId, 0, "exit 0"), 5,
     {"xattr [-p] [com.apple.quarantine] [@]"}},
    {"adhoc before the strict verification", kNotQuarantined, codesign("Signature=adhoc", 0, "exit 1"), 2,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]"}},
    {"adhoc flags", kNotQuarantined, codesign("CodeDirectory v=20400 flags=0x2(adhoc) hashes=3", 0, "exit 1"), 2,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]"}},
    {"adhoc among other flags", kNotQuarantined,
     codesign("CodeDirectory v=20400 flags=0x20002(adhoc,linker-signed)", 0, "exit 1"), 2,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]"}},
    {"details on standard output count too", kNotQuarantined, codesign("Signature=adhoc", 0, "exit 1", ""), 2,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]"}},
    {"unsigned", kNotQuarantined, codesign("@: code object is not signed at all", 1, "exit 0"), 4,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]"}},
    {"invalid", kNotQuarantined, codesign(kDeveloperId, 0, "exit 1"), 3,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]", "codesign [--verify] [--deep] [--strict] [@]"}},
    {"valid", kNotQuarantined, codesign(kDeveloperId, 0, "exit 0"), 1,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]", "codesign [--verify] [--deep] [--strict] [@]"}},
    // A program killed by a signal has not succeeded, whatever its status bits say.
    {"a verification killed by a signal is invalid", kNotQuarantined, codesign(kDeveloperId, 0, "kill -9 $$"), 3,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]", "codesign [--verify] [--deep] [--strict] [@]"}},
    {"a display killed by a signal is unsigned", kNotQuarantined,
     "if [ \"$1\" = -dv ]; then kill -9 $$; fi\nexit 0", 4,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]"}},
    {"an xattr killed by a signal is no quarantine", "kill -9 $$", codesign(kDeveloperId, 0, "exit 0"), 1,
     {"xattr [-p] [com.apple.quarantine] [@]", "codesign [-dv] [@]", "codesign [--verify] [--deep] [--strict] [@]"}},
    {"no xattr: the quarantine test is skipped", nullptr, codesign(kDeveloperId, 0, "exit 0"), 1,
     {"codesign [-dv] [@]", "codesign [--verify] [--deep] [--strict] [@]"}},
    // The quarantine test comes first, with or without codesign.
    {"no codesign: a quarantined bundle is still quarantined", kQuarantined, "", 5,
     {"xattr [-p] [com.apple.quarantine] [@]"}},
    {"no codesign and no quarantine: unknown", kNotQuarantined, "", 0, {"xattr [-p] [com.apple.quarantine] [@]"}},
    {"neither tool: unknown, and nothing runs", nullptr, "", 0, {}},
};

std::string withPath(std::string text, const std::string& path) {
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + path.size())) {
        text.replace(at, 1, path);
    }
    return text;
}

// A signing tool that never ends is stopped and counts as failed, so the
// inventory (and the installation waiting for it) always ends.
TEST(PluginSignature, AToolThatNeverEndsIsStoppedAndCountsAsFailed) {
    struct Case {
        const char* what;
        const char* xattr;
        std::string codesign;
        int status;
    };
    const Case cases[] = {
        {"xattr hangs: no quarantine", "exec sleep 600", codesign(kDeveloperId, 0, "exit 0"), 1},
        {"the display hangs: unsigned", kNotQuarantined, "[ \"$1\" = -dv ] && exec sleep 600; exit 0", 4},
        {"the verification hangs: invalid", kNotQuarantined, codesign(kDeveloperId, 0, "exec sleep 600"), 3},
        {"a child keeps the output open: unsigned", kNotQuarantined,
         "[ \"$1\" = -dv ] && { sleep 600 & wait; }; exit 0", 4},
    };
    PluginDiagnostics::setToolTimeLimitForTesting(std::chrono::milliseconds(500));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SigningTools tools;
        tools.program("xattr", c.xattr);
        tools.program("codesign", c.codesign);
        tools.onPath(true);
        const std::string bundle = makeMacBundle(tools.dir(), "Glow.plugin", "");
        testing::internal::CaptureStdout();
        EXPECT_EQ(PluginDiagnostics::checkPluginSignature(bundle), c.status);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(" did not finish in time, counted as failed\n"), std::string::npos) << out;
    }
    PluginDiagnostics::setToolTimeLimitForTesting(std::chrono::milliseconds(30000));
}

TEST(PluginSignature, EveryStateThroughTheSigningTools) {
    for (const SignatureCase& c : kSignatureCases) {
        SCOPED_TRACE(c.what);
        SigningTools tools;
        if (c.xattr != nullptr) tools.program("xattr", c.xattr);
        if (!c.codesign.empty()) tools.program("codesign", c.codesign);
        tools.onPath();
        const std::string bundle = makeMacBundle(tools.dir(), "Glow.plugin", "");

        testing::internal::CaptureStdout();
        const int status = PluginDiagnostics::checkPluginSignature(bundle);
        const std::vector<std::string> log = lines(testing::internal::GetCapturedStdout());

        EXPECT_EQ(status, c.status);
        std::vector<std::string> expected;
        for (const std::string& call : c.calls) expected.push_back(withPath(call, bundle));
        EXPECT_EQ(tools.calls(), expected);
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[0], "[DIAGNOSTICS] Checking signature: " + bundle);
        EXPECT_EQ(log.back().rfind(std::string("[DIAGNOSTICS]   -> ") + logTail(c.status), 0), 0u) << log.back();
    }
}

TEST(PluginSignature, BundleNamesReachTheToolsUnchangedAndRunNothing) {
    SigningTools tools;
    tools.program("xattr", kNotQuarantined);
    tools.program("codesign", codesign(kDeveloperId, 0, "exit 0"));
    tools.onPath(true);
    const std::string bundle = makeMacBundle(tools.dir(), "Evil\" $(touch made-by-dollar) `touch made-by-backquote`.plugin", "");

    char saved[4096];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(tools.dir().c_str()), 0);
    testing::internal::CaptureStdout();
    const int status = PluginDiagnostics::checkPluginSignature(bundle);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(::chdir(saved), 0);

    EXPECT_EQ(status, 1);
    EXPECT_EQ(tools.calls(), (std::vector<std::string>{withPath("xattr [-p] [com.apple.quarantine] [@]", bundle),
                                                       withPath("codesign [-dv] [@]", bundle),
                                                       withPath("codesign [--verify] [--deep] [--strict] [@]", bundle)}));
    EXPECT_NE(::access((tools.dir() + "/made-by-dollar").c_str(), F_OK), 0);
    EXPECT_NE(::access((tools.dir() + "/made-by-backquote").c_str(), F_OK), 0);
}

}  // namespace

namespace {

const std::string& mediaCore() { return InstallerConfig::Paths::MEDIACORE_DIR; }

// The sandbox's MediaCore folder, emptied before and after.
class Inventory : public ::testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() { std::filesystem::remove_all(mediaCore()); }
    static void makeFolders(const std::string& path) { std::filesystem::create_directories(path); }

    static std::vector<std::string> collect(std::vector<PluginInfo>& plugins) {
        testing::internal::CaptureStdout();
        plugins = PluginDiagnostics::collectInstalledPlugins();
        return lines(testing::internal::GetCapturedStdout());
    }
    // The log lines without the signature tests' own lines.
    static std::vector<std::string> inventoryLines(const std::vector<std::string>& log) {
        std::vector<std::string> out;
        for (const std::string& line : log) {
            if (line.rfind("[DIAGNOSTICS] Checking signature: ", 0) != 0 && line.rfind("[DIAGNOSTICS]   -> ", 0) != 0) {
                out.push_back(line);
            }
        }
        return out;
    }
};

std::string summary(const PluginInfo& p) {
    return p.file + "|" + p.name + "|" + p.version + "|" + p.match_name + "|" + (p.own ? "own" : "other") + "|" +
           std::to_string(p.status);
}

TEST_F(Inventory, WalksTheMediaCoreFolderAndLogsEveryPlugin) {
    SigningTools tools;
    tools.program("xattr", kNotQuarantined);
    tools.program("codesign", "case \"$2\" in *Spark*) echo Signature=adhoc >&2;; esac\nexit 0");
    tools.onPath();

    const std::string other = mediaCore() + "/Vendor";
    makeFolders(other);
    makeMacBundle(mediaCore(), "Blur.plugin", pluginProperties("Blur", versionWord(1, 2, 0), "Vendor Blur", false));
    makeMacBundle(other, "NameOnly.plugin", pluginProperties("NameOnly", 0, "", false));
    makeMacBundle(other, "VersionOnly.plugin", pluginProperties("", versionWord(3, 0, 0), "", false));
    makeMacBundle(other, "MatchOnly.plugin", pluginProperties("", 0, "Only a match name", false));
    // A .plugin folder is never entered, even when it holds bundles.
    makeMacBundle(mediaCore() + "/Holder.plugin", "Inner.plugin", pluginProperties("Inner", versionWord(1, 0, 0), "", false));
    makeMacBundle(mediaCore() + "/ZRVK", "Glow.plugin", pluginProperties("Glow", versionWord(25, 8, 1), "ZRVK Glow", false));
    makeMacBundle(mediaCore() + "/ZRVK", "Spark.plugin", pluginProperties("Spark", versionWord(2, 0, 1), "", false));
    writeFile(mediaCore() + "/notes.txt", pluginProperties("Notes", versionWord(1, 0, 0), "", false));
    // Links back up and to themselves end at once; a dangling link is passed over.
    ASSERT_EQ(::symlink("..", (other + "/Up").c_str()), 0);
    ASSERT_EQ(::symlink(".", (other + "/Self").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (other + "/Dangling").c_str()), 0);

    std::vector<PluginInfo> plugins;
    const std::vector<std::string> log = inventoryLines(collect(plugins));

    std::multiset<std::string> found;
    for (const PluginInfo& p : plugins) found.insert(summary(p));
    EXPECT_EQ(found, (std::multiset<std::string>{"Blur.plugin|Blur|1.2.0|Vendor Blur|other|0",
                                                 "NameOnly.plugin|NameOnly|||other|0",
                                                 "VersionOnly.plugin||3.0.0||other|0",
                                                 "Glow.plugin|Glow|25.8.1|ZRVK Glow|own|1",
                                                 "Spark.plugin|Spark|2.0.1||own|2"}));

    std::vector<std::string> expected = {"[DIAGNOSTICS] Scanning MediaCore directory: " + mediaCore(),
                                         "[DIAGNOSTICS] Found 5 plugins:"};
    const std::map<std::string, std::string> lineOf = {
        {"Blur.plugin", "  Blur 1.2.0"},
        {"NameOnly.plugin", "  NameOnly ?"},
        {"VersionOnly.plugin", "  VersionOnly.plugin 3.0.0"},
        {"Glow.plugin", "  [ZRVK] Glow 25.8.1 (sig: valid)"},
        {"Spark.plugin", "  [ZRVK] Spark 2.0.1 (sig: adhoc)"}};
    for (const PluginInfo& p : plugins) expected.push_back(lineOf.count(p.file) ? lineOf.at(p.file) : p.file);
    expected.push_back("[DIAGNOSTICS] ZRVK plugins: 2, signature issues: 1");
    EXPECT_EQ(log, expected);
    // Only the maker's own plug-ins are tested.
    EXPECT_EQ(tools.calls().size(), 5u);
}

// Links are never followed: not out of the folder, where any other folder
// of the machine may lie, and not into the maker's own folder, whose
// plug-ins must always count as its own.
TEST_F(Inventory, LinksAreNeverFollowed) {
    SigningTools tools;
    tools.program("xattr", kNotQuarantined);
    tools.program("codesign", "exit 0");
    tools.onPath();
    const std::string outside = tools.dir() + "/outside";
    makeMacBundle(outside, "Far.plugin", pluginProperties("Far", versionWord(1, 0, 0), "", false));
    makeMacBundle(mediaCore() + "/ZRVK", "Glow.plugin", pluginProperties("Glow", versionWord(1, 0, 0), "", false));
    ASSERT_EQ(::symlink(outside.c_str(), (mediaCore() + "/Outside").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/Far.plugin").c_str(), (mediaCore() + "/Near.plugin").c_str()), 0);
    // Listing order is the file system's: many names make a link listed before ZRVK all but certain.
    for (int i = 0; i < 20; ++i) {
        const std::string link = mediaCore() + "/Alias" + std::to_string(i);
        ASSERT_EQ(::symlink((mediaCore() + "/ZRVK").c_str(), link.c_str()), 0);
    }
    std::vector<PluginInfo> plugins;
    collect(plugins);
    ASSERT_EQ(plugins.size(), 1u);
    EXPECT_EQ(summary(plugins[0]), "Glow.plugin|Glow|1.0.0||own|1");
}

// A link inside a bundle (its Contents, its Resources or its resource file)
// could lead to any file of the user, whose records would go out in the
// inventory: the bundle reads as having no resources.
TEST_F(Inventory, LinksInsideABundleAreNeverFollowed) {
    TempDir elsewhere;
    const std::string far = makeMacBundle(elsewhere.path(), "Far.plugin",
                                          pluginProperties("Far", versionWord(1, 0, 0), "Far Away", false));
    struct Case {
        const char* inside;  // what in Foo.plugin is a link
        std::string target;  // to this, in the folder elsewhere
    };
    const Case cases[] = {
        {"Contents", far + "/Contents"},
        {"Contents/Resources", far + "/Contents/Resources"},
        {"Contents/Resources/Foo.rsrc", far + "/Contents/Resources/Far.rsrc"},
    };
    makeMacBundle(mediaCore(), "Blur.plugin", pluginProperties("Blur", versionWord(1, 2, 0), "Vendor Blur", false));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inside);
        const std::string bundle = mediaCore() + "/Foo.plugin";
        std::filesystem::remove_all(bundle);
        const std::string link = bundle + "/" + c.inside;
        makeFolders(link.substr(0, link.rfind('/')));
        ASSERT_EQ(::symlink(c.target.c_str(), link.c_str()), 0);

        std::vector<PluginInfo> plugins;
        const std::vector<std::string> log = collect(plugins);
        ASSERT_EQ(plugins.size(), 1u);
        EXPECT_EQ(summary(plugins[0]), "Blur.plugin|Blur|1.2.0|Vendor Blur|other|0");
        EXPECT_EQ(std::find(log.begin(), log.end(), "  Far 1.0.0"), log.end());
        expectFields(PluginDiagnostics::parsePluginMac(bundle), {});
    }
}

TEST_F(Inventory, IssuesCountOnlyStatusesFromAdhocUp) {
    struct Case {
        const char* codesign;
        const char* summaryLine;
        const char* sig;
    };
    const Case cases[] = {
        {nullptr, "[DIAGNOSTICS] ZRVK plugins: 2, signature issues: 0", "unknown"},
        {"exit 0", "[DIAGNOSTICS] ZRVK plugins: 2, signature issues: 0", "valid"},
        {"[ \"$1\" = -dv ] && exit 1; exit 0", "[DIAGNOSTICS] ZRVK plugins: 2, signature issues: 2", "unsigned"},
    };
    makeFolders(mediaCore() + "/ZRVK/Effects");
    makeMacBundle(mediaCore() + "/ZRVK", "Glow.plugin", pluginProperties("Glow", versionWord(1, 0, 0), "", false));
    makeMacBundle(mediaCore() + "/ZRVK/Effects", "Spark.plugin", pluginProperties("Spark", 0, "", false));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sig);
        SigningTools tools;
        tools.program("xattr", kNotQuarantined);
        if (c.codesign != nullptr) tools.program("codesign", c.codesign);
        tools.onPath();
        std::vector<PluginInfo> plugins;
        const std::vector<std::string> log = inventoryLines(collect(plugins));
        ASSERT_EQ(plugins.size(), 2u);
        EXPECT_EQ(log.back(), c.summaryLine);
        EXPECT_NE(std::find(log.begin(), log.end(), std::string("  [ZRVK] Spark ? (sig: ") + c.sig + ")"), log.end());
    }
}

TEST_F(Inventory, MissingFolderGivesAnEmptyInventory) {
    std::vector<PluginInfo> plugins;
    const std::vector<std::string> log = collect(plugins);
    EXPECT_TRUE(plugins.empty());
    EXPECT_EQ(log, (std::vector<std::string>{"[DIAGNOSTICS] Scanning MediaCore directory: " + mediaCore(),
                                             "[DIAGNOSTICS] Found 0 plugins:",
                                             "[DIAGNOSTICS] ZRVK plugins: 0, signature issues: 0"}));
}

TEST(PluginsToJson, ExactText) {
    EXPECT_EQ(PluginDiagnostics::pluginsToJson({}), "[]");
    PluginInfo plain;
    plain.file = "Blur.plugin";
    plain.name = "Blur";
    plain.version = "1.2.0";
    plain.match_name = "Vendor Blur";
    plain.own = true;
    plain.status = 3;
    PluginInfo odd;
    odd.file = "Quote\"Back\\slash.aex";
    odd.name = "\xC3\x9C" "ber\x01\x1F\t\n";
    odd.match_name = "bad\xFF" "byte\x7F";
    EXPECT_EQ(PluginDiagnostics::pluginsToJson({plain, odd}),
              "[{\"file\":\"Blur.plugin\",\"name\":\"Blur\",\"version\":\"1.2.0\",\"match_name\":\"Vendor Blur\"},"
              "{\"file\":\"Quote\\\"Back\\\\slash.aex\",\"name\":\"\xC3\x9C" "ber\\u0001\\u001F\\t\\n\","
              "\"version\":\"\",\"match_name\":\"bad\xEF\xBF\xBD" "byte\\u007F\"}]");
}

}  // namespace
