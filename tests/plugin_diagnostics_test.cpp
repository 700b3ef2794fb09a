#include "plugin_diagnostics.h"
#include "support/plugin_fixtures.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <string>

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
