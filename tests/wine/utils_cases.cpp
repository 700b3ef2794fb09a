// Version, file and process utilities: their Windows bodies, with cmd.exe,
// xcopy and taskkill doing the work as they do for the installer.
#include "case_runner.h"
#include "windows_support.h"

#include "installer_utils.h"
#include "windows_command.h"

#include <string>
#include <vector>

using namespace wintest;
using WindowsCommand::Tool;

namespace {

// A tree with blanks in its names, text with both line ends and every byte value.
void writeSourceTree(const std::string& root) {
    std::string allBytes;
    for (int round = 0; round < 4; ++round) {
        for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
    }
    makeFolders(root + "/sub dir/deeper level");
    writeFile(root + "/top file.txt", "line one\r\nline two\nend\x1a after eof mark");
    writeFile(root + "/sub dir/all bytes.bin", allBytes);
    writeFile(root + "/sub dir/deeper level/empty file", "");
}

// This program copied under `imageName` and started to wait: a process that
// taskkill and tasklist can find by that name.
struct NamedSleeper {
    explicit NamedSleeper(const std::string& imageName)
        : copy(caseFolder() + "/" + imageName),
          copied(CopyFileA(selfPath().c_str(), copy.c_str(), FALSE) != 0),
          child(roleCommand(copy, "sleep")) {}
    std::string copy;
    bool copied;
    ChildProcess child;
};

}  // namespace

ZRVK_ROLE(sleep) {
    Sleep(120000);
    return 0;
}

ZRVK_CASE(executeCommandSilentReturnsTheExitCode) {
    const struct {
        std::string command;
        int code;
    } table[] = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"zrvk-no-such-command", 9009},  // cmd.exe's code for an unknown command
        {"if exist \"" + caseFolder() + "\" exit 5", 5},
    };
    for (const auto& row : table) CHECK_EQ(executeCommandSilent(row.command), row.code);
}

ZRVK_CASE(getTempDirectoryReadsTempWithSlashes) {
    {
        ScopedEnv temp("TEMP", "C:\\Some Folder\\Temp");
        CHECK_EQ(getTempDirectory(), std::string("C:/Some Folder/Temp"));
    }
    ScopedEnv unset("TEMP", nullptr);
    CHECK_EQ(getTempDirectory(), std::string("C:/Windows/Temp"));
}

ZRVK_CASE(createDirectoryMakesEveryMissingFolder) {
    const std::string root = caseFolder();
    CHECK(createDirectory(root + "/a b/c/d/"));
    CHECK(folderExists(root + "/a b"));
    CHECK(folderExists(root + "/a b/c"));
    CHECK(folderExists(root + "/a b/c/d"));
    CHECK(createDirectory(root + "/a b/c"));

    writeFile(root + "/plain file", "kept");
    CHECK(createDirectory(root + "/plain file"));
    CHECK_EQ(readFile(root + "/plain file"), std::string("kept"));

    // Only the slash splits a path: a backslash path gets its last step only.
    CaptureStreams log;
    CHECK(!createDirectory(root + "/missing\\inner"));
    CHECK(log.contains("[createDirectory] Failed to create: " + root + "/missing\\inner"));
    CHECK(!folderExists(root + "/missing"));
}

ZRVK_CASE(versionFileRoundTrip) {
    const std::string dir = caseFolder() + "/new folder/deeper";
    CHECK_EQ(readVersionFile(dir), std::string());
    REQUIRE(writeVersionFile(dir, "3.5.3"));
    CHECK_EQ(readFile(dir + "/version.txt"), std::string("3.5.3"));
    CHECK_EQ(readVersionFile(dir), std::string("3.5.3"));
    REQUIRE(writeVersionFile(dir, "10.0"));
    CHECK_EQ(readFile(dir + "/version.txt"), std::string("10.0"));
    CHECK_EQ(readVersionFile(dir), std::string("10.0"));
}

// What the archive put at version.txt, read-only too, gives way to a new file.
ZRVK_CASE(versionFileReplacesTheArchivesOwn) {
    const std::string path = caseFolder() + "/version.txt";
    writeFile(path, "archive's own, longer text");
    REQUIRE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    REQUIRE(writeVersionFile(caseFolder(), "2.1"));
    CHECK_EQ(readFile(path), std::string("2.1"));
    CHECK((GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY) == 0);
}

ZRVK_CASE(versionFileKeepsTheCarriageReturnOfACrlfLine) {
    writeFile(caseFolder() + "/version.txt", "1.4\r\n2.0\r\n");
    CHECK_EQ(readVersionFile(caseFolder()), std::string("1.4\r"));
}

ZRVK_CASE(copyDirectoryCopiesATreeByteForByteWithXcopy) {
    const std::string source = caseFolder() + "/source tree";
    const std::string target = caseFolder() + "/installed copy";
    writeSourceTree(source);
    {
        CaptureStreams log;
        CHECK(copyDirectory(source, target));
        CHECK(log.contains("[copyDirectory] Copy completed successfully"));
        CHECK(!log.contains("robocopy"));
    }
    CHECK(treeContents(target) == treeContents(source));
    CHECK(folderExists(target + "/sub dir/deeper level"));

    // A second copy over the first replaces changed files.
    writeFile(source + "/top file.txt", "changed\r\n");
    CHECK(copyDirectory(source, target));
    CHECK_EQ(readFile(target + "/top file.txt"), std::string("changed\r\n"));
    CHECK(treeContents(target) == treeContents(source));
}

// Both tools are recording stand-ins: xcopy's exit code (42) is none that
// the real xcopy gives, so the log line below proves the stand-in ran, and
// each run is counted in its own log. Nothing here waits for a time.
ZRVK_CASE(copyDirectoryJudgesRobocopyExitCodes) {
    StandInTools tools(caseFolder() + "/tools");
    REQUIRE(tools.addRecorder(Tool::Xcopy, 42));
    REQUIRE(tools.addRecorder(Tool::Robocopy, 0));
    const std::string from = caseFolder() + "/from";
    const std::string to = caseFolder() + "/to";
    const struct {
        int code;
        bool copied;
        bool serious;
        bool fatal;
    } table[] = {
        {1, true, false, false},  {7, true, false, false},  {8, false, false, false},
        {16, false, true, false}, {24, false, false, true},
    };
    std::size_t runs = 0;
    for (const auto& row : table) {
        tools.recorderAnswers(Tool::Robocopy, row.code, "");
        CaptureStreams log;
        CHECK_EQ(copyDirectory(from, to), row.copied);
        ++runs;
        const std::vector<std::string> xcopy = tools.recordedCommands(Tool::Xcopy);
        const std::vector<std::string> robocopy = tools.recordedCommands(Tool::Robocopy);
        REQUIRE(xcopy.size() == runs && robocopy.size() == runs);
        CHECK_EQ(xcopy.back().rfind("\"" + tools.toolPath(Tool::Xcopy) + "\" \"" + from + "\" \"" + to + "\" /E /I /Y /Q", 0),
                 0u);
        CHECK_EQ(robocopy.back().rfind("\"" + tools.toolPath(Tool::Robocopy) + "\" \"" + from + "\" \"" + to + "\" /E /R:0", 0),
                 0u);
        CHECK(log.contains("[copyDirectory] xcopy failed with code 42, trying robocopy..."));
        CHECK_EQ(log.contains("[copyDirectory] robocopy failed with code " + std::to_string(row.code)), !row.copied);
        CHECK_EQ(log.contains("[copyDirectory] ERROR: Serious error - robocopy did not copy any files"), row.serious);
        CHECK_EQ(log.contains("[copyDirectory] ERROR: Fatal error occurred (likely access denied)"), row.fatal);
        CHECK_EQ(log.contains("[copyDirectory] HINT: Please run the installer as Administrator"), row.fatal);
    }
}

ZRVK_CASE(copyDirectoryRefusesPathsSpecialToCmd) {
    StandInTools tools(caseFolder() + "/tools");
    REQUIRE(tools.addRecorder(Tool::Xcopy, 0));
    const std::string source = caseFolder() + "/source tree";
    writeSourceTree(source);
    for (const std::string& target : {caseFolder() + "/100% copy", caseFolder() + "/this & that"}) {
        CaptureStreams log;
        CHECK(!copyDirectory(source, target));
        CHECK(log.contains("[copyDirectory] Refusing unsafe path"));
    }
    CHECK(tools.recordedCommands(Tool::Xcopy).empty());
}

ZRVK_CASE(copyDirectoryCopiesWithRobocopyWhenXcopyFails) {
    skipUnderWine("robocopy is only a stub under wine");
    StandInTools tools(caseFolder() + "/tools");
    REQUIRE(tools.addRecorder(Tool::Xcopy, 4));
    REQUIRE(CopyFileW((WindowsCommand::systemFolder() + L"\\robocopy.exe").c_str(),
                      WindowsCommand::widen(tools.toolPath(Tool::Robocopy)).c_str(), FALSE));
    const std::string source = caseFolder() + "/source tree";
    writeSourceTree(source);
    CHECK(copyDirectory(source, caseFolder() + "/robocopy copy"));
    CHECK(treeContents(caseFolder() + "/robocopy copy") == treeContents(source));
}

// A cmd.exe or xcopy.exe in the current folder, or first on PATH, is never
// the one that runs: every program is named by its path in the system folder.
ZRVK_CASE(commandLinesTakeNoProgramFromTheCurrentFolderOrPath) {
    const std::string planted = caseFolder() + "/Downloads";
    makeFolders(planted);
    for (const char* tool : {"cmd", "xcopy", "powershell"}) {
        writeFile(planted + "/" + tool + ".exit-code", "0");
        REQUIRE(CopyFileA(selfPath().c_str(), (planted + "/" + tool + ".exe").c_str(), FALSE));
    }
    char current[MAX_PATH + 1];
    const DWORD length = GetCurrentDirectoryA(sizeof(current), current);
    REQUIRE(length > 0 && length < sizeof(current));
    REQUIRE(SetCurrentDirectoryA(planted.c_str()));
    {
        char path[32768];
        const DWORD pathLength = GetEnvironmentVariableA("PATH", path, sizeof(path));
        ScopedEnv first("PATH", (withBackslashes(planted) + ";" + std::string(path, pathLength)).c_str());
        const std::string source = caseFolder() + "/source tree";
        writeSourceTree(source);
        CHECK(copyDirectory(source, caseFolder() + "/copy"));
        CHECK(treeContents(caseFolder() + "/copy") == treeContents(source));
        CHECK_EQ(executeCommandSilent("exit 6"), 6);
    }
    SetCurrentDirectoryA(std::string(current, length).c_str());
    for (const char* tool : {"cmd", "xcopy", "powershell"}) {
        CHECK_EQ(readFile(planted + "/" + tool + ".commands"), std::string());
    }
    // wine lets go of a former current folder a little later.
    for (int i = 0; i < 100 && !removeTree(planted); ++i) Sleep(50);
}

ZRVK_CASE(killProcessByNameEndsAStartedProcess) {
    NamedSleeper sleeper("zrvk sleeper.exe");
    REQUIRE(sleeper.copied);
    REQUIRE(sleeper.child.started());
    REQUIRE(!sleeper.child.waitFor(300));
    {
        CaptureStreams log;
        CHECK(killProcessByName("zrvk sleeper.exe"));
        CHECK(log.contains("[killProcessByName] Executing: \"" + WindowsCommand::narrow(WindowsCommand::systemFolder()) +
                           "\\taskkill.exe\" /F /IM \"zrvk sleeper.exe\" >nul 2>&1"));
        CHECK(log.contains("[killProcessByName] Process terminated successfully"));
    }
    CHECK(sleeper.child.waitFor(10000));
    CaptureStreams log;
    CHECK(killProcessByName("zrvk sleeper.exe"));
    CHECK(log.contains("[killProcessByName] Process not running (ok)"));
}

ZRVK_CASE(isHostAppRunningFindsAfterEffects) {
    skipUnderWine("tasklist with find /I is only a stub under wine");
    NamedSleeper sleeper("AfterFX.exe");
    REQUIRE(sleeper.copied);
    REQUIRE(sleeper.child.started());
    CaptureStreams log;
    CHECK(isHostAppRunning());
    CHECK(log.contains("[isHostAppRunning] After Effects process detected (AfterFX.exe)"));
}

ZRVK_CASE(deletePathOfAMissingPathRunsNoCommand) {
    CaptureStreams log;
    CHECK(deletePath(caseFolder() + "/not there"));
    CHECK(log.contains("[deletePath] Path doesn't exist, nothing to delete: " + caseFolder() + "/not there"));
    CHECK(!log.contains("[deletePath] Command result"));
}

// The exact command line that PowerShell gets, from a recording stand-in
// that also does the removal (or not, or fails) as the row says. Every quote
// PowerShell ends a literal at is doubled, whatever code page reads the line.
ZRVK_CASE(deletePathQuotesThePathForPowerShell) {
    StandInTools tools(caseFolder() + "/tools");
    REQUIRE(tools.addRecorder(Tool::PowerShell, 0));
    const std::string root = caseFolder() + "/removed";
    const std::string rsquo = "\xE2\x80\x99";  // U+2019, byte 0x92 in the Western code page
    const std::string lsquo = "\xE2\x80\x98";
    const std::string cyrillic = "\xD0\x96\xD1\x83\xD0\xBA";
    const struct {
        std::string name;
        bool folder;
        int exitCode;
        bool removes;
        std::string quoted;  // the path as PowerShell must get it
        bool deleted;
        std::string line;
    } table[] = {
        {"folder to delete", true, 0, true, "'" + root + "/folder to delete'", true, ""},
        {"it's [1] (copy)", true, 0, true, "'" + root + "/it''s [1] (copy)'", true, ""},
        {"file to delete.txt", false, 0, true, "'" + root + "/file to delete.txt'", true, ""},
        {"Bob's [draft].aex", false, 0, true, "'" + root + "/Bob''s [draft].aex'", true, ""},
        {"x" + rsquo + "+(Start-Process calc)+" + lsquo, true, 0, true,
         "'" + root + "/x" + rsquo + rsquo + "+(Start-Process calc)+" + lsquo + lsquo + "'", true, ""},
        {cyrillic + " " + rsquo + "s", false, 0, true, "'" + root + "/" + cyrillic + " " + rsquo + rsquo + "s'", true, ""},
        {"still here", true, 0, false, "'" + root + "/still here'", false,
         "[deletePath] Path still exists after deletion: " + root + "/still here"},
        {"refused", true, 1, false, "'" + root + "/refused'", false,
         "[deletePath] Failed to delete: " + root + "/refused (exit code: 1)"},
    };
    for (const auto& row : table) {
        const std::string path = root + "/" + row.name;
        if (row.folder) {
            makeFolders(path + "/inner folder");
            writeFile(path + "/inner folder/file", "x");
        } else {
            makeFolders(root);
            writeFile(path, "x");
        }
        REQUIRE(pathExists(path));
        tools.recorderAnswers(Tool::PowerShell, row.exitCode, row.removes ? path : "");
        const std::size_t before = tools.recordedCommands(Tool::PowerShell).size();
        CaptureStreams log;
        CHECK_EQ(deletePath(path), row.deleted);
        const std::vector<std::string> commands = tools.recordedCommands(Tool::PowerShell);
        REQUIRE(commands.size() == before + 1);
        CHECK_EQ(commands.back(), "\"" + tools.toolPath(Tool::PowerShell) +
                                      "\" -NoProfile -Command \"Remove-Item -LiteralPath " + row.quoted + " -Force" +
                                      (row.folder ? " -Recurse" : "") + " -ErrorAction SilentlyContinue\"");
        CHECK_EQ(pathExists(path), !row.deleted);
        if (!row.line.empty()) CHECK(log.contains(row.line));
    }
}

ZRVK_CASE(deletePathRefusesPathsSpecialToCmd) {
    StandInTools tools(caseFolder() + "/tools");
    REQUIRE(tools.addRecorder(Tool::PowerShell, 0));
    for (const char* name : {"100% done", "this & that", "wow!", "up^arrow", "semi;colon"}) {
        const std::string path = caseFolder() + "/" + name;
        makeFolders(path);
        CaptureStreams log;
        CHECK(!deletePath(path));
        CHECK(log.contains("[deletePath] Refusing unsafe path: " + path));
        CHECK(folderExists(path));
    }
    CHECK(tools.recordedCommands(Tool::PowerShell).empty());
}

// File names in any script reach the program, and its command lines, unchanged.
ZRVK_CASE(theProgramsNarrowTextIsUtf8) { CHECK_EQ(GetACP(), 65001u); }

ZRVK_CASE(deletePathRemovesFilesAndFoldersWithPowerShell) {
    skipUnderWine("PowerShell is only a stub under wine");
    const std::string folder = caseFolder() + "/it's [1] (copy)";
    writeSourceTree(folder);
    writeFile(caseFolder() + "/file to delete.txt", "x");
    CHECK(deletePath(folder));
    CHECK(!folderExists(folder));
    CHECK(deletePath(caseFolder() + "/file to delete.txt"));
    CHECK(!fileExists(caseFolder() + "/file to delete.txt"));
}
