#include "installer_config.h"
#include "installer_utils.h"
#include "support/named_process.h"
#include "text_escape.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using zrvk_test::NamedProcess;
using zrvk_test::readFile;
using zrvk_test::TempDir;
using zrvk_test::writeFile;

namespace {

struct VersionCase {
    const char* a;
    const char* b;
    bool newer;
};

class IsNewerVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(IsNewerVersion, ComparesPartByPart) {
    const VersionCase& c = GetParam();
    EXPECT_EQ(isNewerVersion(c.a, c.b), c.newer) << c.a << " against " << c.b;
}

INSTANTIATE_TEST_SUITE_P(Cases, IsNewerVersion,
                         ::testing::Values(VersionCase{"1.10", "1.9", true},   // numeric, not textual
                                           VersionCase{"2", "1.9.9", true},
                                           VersionCase{"1.0", "1", false},     // missing parts count 0
                                           VersionCase{"1", "1.0", false},
                                           VersionCase{"1.0.1", "1", true},
                                           VersionCase{"1.2", "1.2.0", false},
                                           VersionCase{"1.2.0", "1.2", false},
                                           VersionCase{"1.2.1", "1.2", true},
                                           VersionCase{"1..3", "1.0.2", true},  // empty part counts 0
                                           VersionCase{"", "", false},
                                           VersionCase{"abc", "0", false},
                                           VersionCase{"3-beta", "2.9", true},  // trailing text ignored
                                           VersionCase{"99999999999", "1", false},  // out of range counts 0
                                           VersionCase{"1.99999999999", "1.0", false},
                                           VersionCase{"-1", "0", false},
                                           VersionCase{" 2", "1", true},        // leading blanks skipped
                                           VersionCase{"1.", "1.0", false},
                                           VersionCase{"10.0.0", "9.99.99", true}));

TEST(VersionFile, RoundTripKeepsTextAndWritesNoLineEnd) {
    TempDir tmp;
    const std::string dir = tmp / "nested/component";
    ASSERT_TRUE(writeVersionFile(dir, "2.4.1"));
    EXPECT_EQ(readFile(dir + "/version.txt"), "2.4.1");
    EXPECT_EQ(readVersionFile(dir), "2.4.1");

    ASSERT_TRUE(writeVersionFile(dir, "3"));  // truncates the earlier, longer text
    EXPECT_EQ(readVersionFile(dir), "3");
}

TEST(VersionFile, ReadsFirstLineUntrimmedAndEmptyWhenMissing) {
    TempDir tmp;
    EXPECT_EQ(readVersionFile(tmp.path()), "");
    writeFile(tmp / "version.txt", "1.4\r\nsecond line\n");
    EXPECT_EQ(readVersionFile(tmp.path()), "1.4\r");
    writeFile(tmp / "version.txt", "");
    EXPECT_EQ(readVersionFile(tmp.path()), "");
}

// Another user can make a component's folder before it is installed: what
// stands at version.txt there is read only when it is a short regular file.
TEST(VersionFile, AnythingButAShortRegularFileReadsAsNoVersion) {
    TempDir tmp;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> plant;
    };
    const std::vector<Case> cases = {
        {"a pipe", [](const std::string& at) { ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); }},
        {"a link to an endless device", [](const std::string& at) { ASSERT_EQ(symlink("/dev/zero", at.c_str()), 0); }},
        {"a folder", [](const std::string& at) { ASSERT_EQ(mkdir(at.c_str(), 0755), 0); }},
        {"a file of 5000 bytes", [](const std::string& at) { writeFile(at, std::string(5000, '7')); }},
    };
    for (const Case& c : cases) {
        const std::string dir = tmp / c.name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        c.plant(dir + "/version.txt");
        EXPECT_EQ(readVersionFile(dir), "") << c.name;
    }
    const std::string linked = tmp / "linked";
    ASSERT_EQ(mkdir(linked.c_str(), 0755), 0);
    writeFile(tmp / "real.txt", "4.2\n");
    ASSERT_EQ(symlink((tmp / "real.txt").c_str(), (linked + "/version.txt").c_str()), 0);
    EXPECT_EQ(readVersionFile(linked), "4.2") << "a link to a regular file is read";
}

TEST(VersionFile, WriteFailsWhenTheFolderCannotBeMade) {
    TempDir tmp;
    writeFile(tmp / "file", "x");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeVersionFile(tmp / "file/sub", "1.0"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[writeVersionFile] Failed to create directory: " + (tmp / "file/sub")),
              std::string::npos);
}

TEST(CreateDirectory, MakesEveryParentAndAcceptsExistingEntries) {
    TempDir tmp;
    EXPECT_TRUE(createDirectory(tmp / "a/b/c/"));
    struct stat info;
    ASSERT_EQ(stat((tmp / "a/b/c").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0755 & ~[] { mode_t m = umask(0); umask(m); return m; }());

    writeFile(tmp / "plain", "keep");
    EXPECT_TRUE(createDirectory(tmp / "plain"));  // something exists: left alone
    EXPECT_EQ(readFile(tmp / "plain"), "keep");
}

TEST(CreateDirectory, ReportsTheFirstPrefixThatCannotBeMade) {
    TempDir tmp;
    writeFile(tmp / "blocker", "x");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(createDirectory(tmp / "blocker/x/y"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[createDirectory] Failed to create: " + (tmp / "blocker/x")),
              std::string::npos);
}

TEST(PathsAndTemp, ExistenceAndTheSandboxedTemporaryFolder) {
    TempDir tmp;
    EXPECT_TRUE(pathExists(tmp.path()));
    EXPECT_FALSE(pathExists(tmp / "missing"));
    EXPECT_EQ(getTempDirectory(), InstallerConfig::ROOT_PREFIX + "/tmp");
    EXPECT_FALSE(InstallerConfig::ROOT_PREFIX.empty());
}

TEST(DeleteAndCopy, HandleSpacesMissingPathsAndFailures) {
    TempDir tmp;
    const std::string src = tmp / "Source Folder";
    ASSERT_TRUE(createDirectory(src + "/inner dir"));
    writeFile(src + "/inner dir/file one.txt", "payload");

    ASSERT_TRUE(copyDirectory(src, tmp / "Copy Target"));
    EXPECT_EQ(readFile(tmp / "Copy Target/inner dir/file one.txt"), "payload");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(copyDirectory(tmp / "missing", tmp / "elsewhere"));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[copyDirectory] cp failed with code "), std::string::npos);

    EXPECT_TRUE(deletePath(tmp / "Copy Target"));
    EXPECT_FALSE(pathExists(tmp / "Copy Target"));
    EXPECT_TRUE(deletePath(tmp / "never existed"));
    EXPECT_TRUE(removeDirectory(src));  // logs only
    EXPECT_TRUE(pathExists(src));
}

TEST(WindowsCommandLines, PathsWithCommandCharactersAreRefused) {
    for (const char* path : {"C:/Program Files/ZRVK", "C:/Users/O'Brien/Temp", "C:/P/x[1] (2)", "C:/Users/Jos\xC3\xA9"}) {
        EXPECT_TRUE(isSafeWindowsCommandPath(path)) << path;
    }
    for (const char* path : {"", "C:/a\"b", "C:/%TEMP%", "C:/a!b", "C:/a^b", "C:/a&b", "C:/a|b", "C:/a<b", "C:/a>b",
                             "C:/a;b", "C:/a\nb", "C:/a\x7f", "C:/???.aex", "C:/*.aex"}) {
        EXPECT_FALSE(isSafeWindowsCommandPath(path)) << path;
    }
    for (char c : std::string("'%!^&|<>;")) EXPECT_TRUE(isWindowsCommandSpecial(static_cast<unsigned char>(c))) << c;
    for (char c : std::string("aZ09 -_.()[]{}@#~,=+/")) {
        EXPECT_FALSE(isWindowsCommandSpecial(static_cast<unsigned char>(c))) << c;
    }
}

TEST(ExecuteCommandSilent, ReturnsTheRawWaitStatus) {
    EXPECT_EQ(executeCommandSilent("true"), 0);
    EXPECT_EQ(executeCommandSilent("exit 3"), 3 * 256);
}

// Processes named like the server: the tests' own lie in the sandbox, where
// the stand-in pkill on PATH may stop them (support/stand-ins/pkill).
std::string sandboxProgram(const std::string& name) { return InstallerConfig::ROOT_PREFIX + "/processes/" + name; }

TEST(Processes, KillByNameStopsTheServerAndSucceedsWhenNoneRuns) {
    ASSERT_FALSE(InstallerConfig::ROOT_PREFIX.empty());
    NamedProcess server(sandboxProgram("MORVANE Server"));
    ASSERT_TRUE(server.started());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(killProcessByName("bin/MORVANE Server"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(server.endsBy(SIGKILL));
    EXPECT_NE(out.find("[killProcessByName] Extracted base name: MORVANE Server from path: bin/MORVANE Server"),
              std::string::npos);
    EXPECT_NE(out.find("[killProcessByName] Executing: pkill -9 \"MORVANE Server\" 2>/dev/null"), std::string::npos);

    EXPECT_TRUE(killProcessByName("MORVANE Server"));  // nothing left to stop
}

// A process of the server's name that the tests did not start survives them.
TEST(Processes, KillByNameLeavesProcessesOutsideTheSandboxAlone) {
    ASSERT_FALSE(InstallerConfig::ROOT_PREFIX.empty());
    TempDir tmp;
    ASSERT_NE(tmp.path().rfind(InstallerConfig::ROOT_PREFIX + "/", 0), 0u) << tmp.path();
    NamedProcess other(tmp / "MORVANE Server");
    NamedProcess own(sandboxProgram("MORVANE Server"));
    ASSERT_TRUE(other.started());
    ASSERT_TRUE(own.started());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(killProcessByName("bin/MORVANE Server"));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(own.endsBy(SIGKILL));
    EXPECT_TRUE(other.running()) << "stopped a process outside the sandbox";
}

TEST(Processes, HostApplicationCheckFindsAfterEffects) {
    EXPECT_FALSE(isHostAppRunning());
    TempDir tmp;
    NamedProcess host(tmp / "After Effects");
    ASSERT_TRUE(host.started());
    EXPECT_TRUE(isHostAppRunning());
}

TEST(Processes, LaunchServerRunsTheEngineInterpreterWithTheLauncher) {
    using namespace InstallerConfig::Paths;
    const std::string bin = RENDER_ENGINE_DIR + "/bin";
    ASSERT_TRUE(createDirectory(bin));
    const std::string record = RENDER_ENGINE_DIR + "/launch-args.txt";
    std::remove(record.c_str());
    const std::string program = RENDER_ENGINE_DIR + "/" + MRV_SERVER_PROCESS_NAME;
    writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\n");
    chmod(program.c_str(), 0755);

    ASSERT_TRUE(launchMRVServer());
    zrvk_test::waitUntil([&] { return !readFile(record).empty(); });
    const std::string expected =
        "-I\n-c\nimport sys,os;sys.stdout=open(os.devnull,'w',buffering=1);sys.stderr=open(os.devnull,'w',buffering=1);"
        "sys.path.insert(0,'" + MRV_SERVER_DIR + "');exec('from launcher import launcher;launcher(show_splash=False)')\n";
    EXPECT_EQ(readFile(record), expected);
    std::remove(program.c_str());

    testing::internal::CaptureStderr();
    EXPECT_FALSE(launchMRVServer());  // no interpreter there
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[launchMRVServer] Failed to launch process. Error: "),
              std::string::npos);
}

TEST(Processes, LaunchedServerHoldsNothingButTheStandardDescriptors) {
    using namespace InstallerConfig::Paths;
    TempDir tmp;
    ASSERT_TRUE(createDirectory(RENDER_ENGINE_DIR + "/bin"));
    const std::string record = tmp / "descriptors";
    const std::string program = RENDER_ENGINE_DIR + "/" + MRV_SERVER_PROCESS_NAME;
    writeFile(program, "#!/bin/sh\nls -l /proc/$$/fd/ > '" + record + ".part' && mv '" + record + ".part' '" + record +
                           "'\n");
    chmod(program.c_str(), 0755);
    // Something the installer might have open meanwhile, without close-on-exec.
    const int kept = open((tmp / "kept").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(kept, 3);

    ASSERT_TRUE(launchMRVServer());
    zrvk_test::waitUntil([&] { return !readFile(record).empty(); });
    close(kept);
    std::remove(program.c_str());
    const std::string listing = readFile(record);
    ASSERT_NE(listing.find(" 2 -> "), std::string::npos) << listing;
    EXPECT_EQ(listing.find(tmp / "kept"), std::string::npos) << listing;
}

TEST(Configuration, PhasesAndFoldersKeepTheirRelations) {
    using namespace InstallerConfig;
    double sum = 0;
    int enabled = 0;
    for (std::size_t i = 0; i < INSTALLATION_PHASE_COUNT; ++i) {
        EXPECT_EQ(INSTALLATION_PHASES[i].id, static_cast<int>(i));
        if (INSTALLATION_PHASES[i].enabled) {
            sum += INSTALLATION_PHASES[i].weight;
            ++enabled;
        }
    }
    EXPECT_EQ(enabled, 3);
    EXPECT_DOUBLE_EQ(sum, 2927.0);
    EXPECT_STREQ(INSTALLATION_PHASES[0].name, "Render Engine");
    EXPECT_STREQ(INSTALLATION_PHASES[1].name, "MRV Server");
    EXPECT_STREQ(INSTALLATION_PHASES[2].name, "Plugins");
    EXPECT_EQ(static_cast<int>(100.0 * INSTALLATION_PHASES[0].weight / sum), 51);

    EXPECT_EQ(Paths::PLUGINS_DIR, Paths::MEDIACORE_DIR + "/ZRVK");
    for (const std::string* inside : {&Paths::MRV_SERVER_DIR, &Paths::MRV_PLUGINS_DIR, &Paths::CRASH_REPORTS_DIR}) {
        EXPECT_EQ(inside->rfind(Paths::MRV_BASE_DIR + "/", 0), 0u) << *inside;
    }
    for (const std::string* dir : {&Paths::RENDER_ENGINE_DIR, &Paths::MRV_BASE_DIR, &Paths::MEDIACORE_DIR, &MAC_LOGS_DIR}) {
        EXPECT_EQ(dir->rfind(ROOT_PREFIX + "/Library/Application Support/", 0), 0u) << *dir;
        EXPECT_NE(dir->back(), '/');
    }
    EXPECT_EQ(Paths::MRV_SERVER_PROCESS_NAME, "bin/MORVANE Server");
    EXPECT_FALSE(EmbeddedResources::HTML_CONTENT.empty());
    EXPECT_NE(EmbeddedResources::HTML_CONTENT.find("<title>Zorvik Installer</title>"), std::string::npos);
}

}  // namespace

TEST(EscapeJsonText, KeepsUtf8EscapesControlsAndReplacesInvalidBytes) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"l\nr\rt\t", "l\\nr\\rt\\t"},
        {std::string("\x01\x1f\x7f", 3), "\\u0001\\u001F\\u007F"},
        {"Caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", "Caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80"},
        {"bad\xFF\xC3", "bad\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate is not UTF-8
        {std::string("nul\0x", 5), "nul\\u0000x"},
    };
    for (const auto& c : cases) EXPECT_EQ(escapeJsonText(c.in), c.out) << c.in;
}

TEST(EscapeForLog, ControlBytesAndBackslashesCannotWriteALineOfTheirOwn) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain name/with spaces", "plain name/with spaces"},
        {"a\n[extractZip] 100% - Extraction complete (7 files)", "a\\x0A[extractZip] 100% - Extraction complete (7 files)"},
        {"cr\rback", "cr\\x0Dback"},
        {std::string("nul\0\x01\x1b[2K\x7f", 10), "nul\\x00\\x01\\x1B[2K\\x7F"},
        {"a\\x0A", "a\\\\x0A"},  // a written escape stays apart from a real one
        {"Caf\xC3\xA9 \xFF", "Caf\xC3\xA9 \xFF"},
    };
    for (const auto& c : cases) EXPECT_EQ(escapeForLog(c.in), c.out) << c.in;
}
