// The Windows program's command lines and its ProgramData folder decisions,
// as plain text and with fake file-system operations.
#include "installer_components.h"
#include "program_data_folders.h"
#include "windows_command.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace WindowsCommand;

namespace {

const std::wstring SYS = L"C:\\Windows\\system32";

std::string narrowAscii(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '#';
    return out;
}

TEST(WindowsCommandLines, RemoveItemKeepsThePathOneLiteralWhateverQuoteItHolds) {
    EXPECT_EQ(removeItemCommand(SYS, L"C:/Users/O'Brien/AppData/Local/Temp/zorvik[1]", true),
              L"\"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile -Command "
              L"\"Remove-Item -LiteralPath 'C:/Users/O''Brien/AppData/Local/Temp/zorvik[1]' -Force -Recurse "
              L"-ErrorAction SilentlyContinue\"");
    EXPECT_EQ(removeItemCommand(SYS, L"C:/P/x'+(Get-Date)+'", false),
              L"\"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe\" -NoProfile -Command "
              L"\"Remove-Item -LiteralPath 'C:/P/x''+(Get-Date)+''' -Force -ErrorAction SilentlyContinue\"");
    // PowerShell ends a single-quoted string at each of these as well: doubled, each reads back as itself.
    const struct {
        std::wstring in, out;
    } literals[] = {
        {L"", L"''"},
        {L"''", L"''''''"},
        {L"x\u2018+(Start-Process calc)+\u2019", L"'x\u2018\u2018+(Start-Process calc)+\u2019\u2019'"},
        {L"\u201A\u201B", L"'\u201A\u201A\u201B\u201B'"},
        {L"C:/Users/\u0418\u0432\u0430\u043D/\u201Cquoted\u201D", L"'C:/Users/\u0418\u0432\u0430\u043D/\u201Cquoted\u201D'"},
    };
    for (const auto& row : literals) EXPECT_EQ(powerShellLiteral(row.in), row.out) << narrowAscii(row.in);
    for (wchar_t c = 1; c < 0x3000; ++c) {
        EXPECT_EQ(isPowerShellQuote(c), c == L'\'' || (c >= 0x2018 && c <= 0x201B)) << static_cast<int>(c);
    }
}

TEST(WindowsCommandLines, EveryToolIsNamedByItsFullPath) {
    EXPECT_EQ(cmdLine(SYS + L"\\cmd.exe", L"\"C:\\x\\a.exe\" \"b c\""),
              L"\"C:\\Windows\\system32\\cmd.exe\" /d /s /c \"\"C:\\x\\a.exe\" \"b c\"\"");
    EXPECT_EQ(xcopyCommand(SYS, L"C:/T/from", L"C:/Program Files/to"),
              L"\"C:\\Windows\\system32\\xcopy.exe\" \"C:/T/from\" \"C:/Program Files/to\" /E /I /Y /Q >nul 2>&1");
    EXPECT_EQ(robocopyCommand(SYS, L"C:/T/from", L"C:/to"),
              L"\"C:\\Windows\\system32\\robocopy.exe\" \"C:/T/from\" \"C:/to\" /E /R:0 /W:0 /NFL /NDL /NJH /NJS /nc /ns "
              L"/np");
    EXPECT_EQ(taskkillCommand(SYS, L"MORVANE Server.exe"),
              L"\"C:\\Windows\\system32\\taskkill.exe\" /F /IM \"MORVANE Server.exe\" >nul 2>&1");
    EXPECT_EQ(processSearchCommand(SYS, L"AfterFX.exe"),
              L"\"C:\\Windows\\system32\\tasklist.exe\" /FI \"IMAGENAME eq AfterFX.exe\" 2>nul | "
              L"\"C:\\Windows\\system32\\find.exe\" /I \"AfterFX.exe\" >nul");
    EXPECT_EQ(removalCommand(L"C:/Program Files/ZRVK/RenderEngine"),
              L"rmdir /s /q \"C:/Program Files/ZRVK/RenderEngine\" 2>nul || del /f /q "
              L"\"C:/Program Files/ZRVK/RenderEngine\" 2>nul");
    for (Tool tool : {Tool::Cmd, Tool::PowerShell, Tool::Xcopy, Tool::Robocopy, Tool::Taskkill, Tool::Tasklist,
                      Tool::Find}) {
        const std::wstring quoted = quotedTool(SYS, tool);
        EXPECT_EQ(quoted.rfind(L"\"" + SYS + L"\\", 0), 0u) << narrowAscii(quoted);
        EXPECT_EQ(quoted.substr(quoted.size() - 5), L".exe\"") << narrowAscii(quoted);
    }
}

// An id ends up in paths put into command lines decoded in the system's code
// page, where bytes 0x91 and 0x92 read as typographic quotes.
TEST(ComponentNames, OnlyAsciiNamesAreSafe) {
    for (const char* name : {"x\x92+(Start-Process calc)+\x92", "x\x91y", "\xD0\x96\xD1\x83\xD0\xBA", "Caf\xC3\xA9",
                             "\xE2\x80\x99", "\x80", "\xFF"}) {
        EXPECT_FALSE(isSafeComponentName(name)) << name;
    }
    for (const char* name : {"Glow", "Our Glow 2", "a-b_c.d", "(x)[y]{z}", "~@#=+,"}) {
        EXPECT_TRUE(isSafeComponentName(name)) << name;
    }
}

// ---------------------------------------------------------------------------
// ProgramData folders

using namespace ProgramDataFolders;

TEST(ProgramDataFolders, EachStateHasItsStep) {
    const struct {
        Entry entry;
        Owner owner;
        Step write;
        Step use;
    } table[] = {
        {Entry::Missing, Owner::Unknown, Step::Make, Step::Refuse},
        {Entry::Folder, Owner::Administrators, Step::Use, Step::Use},
        {Entry::Folder, Owner::System, Step::Use, Step::Use},
        {Entry::Folder, Owner::ProgramDataOwner, Step::Use, Step::Use},
        {Entry::Folder, Owner::Other, Step::Refuse, Step::Refuse},
        {Entry::Folder, Owner::Unknown, Step::Refuse, Step::Refuse},
        {Entry::ReparsePoint, Owner::Unknown, Step::Replace, Step::Refuse},
        {Entry::File, Owner::Other, Step::Replace, Step::Refuse},
        {Entry::Unreadable, Owner::Unknown, Step::Refuse, Step::Refuse},
    };
    for (const auto& row : table) {
        const State state{row.entry, row.owner};
        EXPECT_EQ(stepFor(state, Purpose::Write), row.write) << static_cast<int>(row.entry) << static_cast<int>(row.owner);
        EXPECT_EQ(stepFor(state, Purpose::Use), row.use) << static_cast<int>(row.entry) << static_cast<int>(row.owner);
    }
}

// A file system of paths and their states; every call is recorded.
struct FakeDisk {
    std::map<std::string, State> entries;
    bool makes = true;
    bool removes = true;
    std::vector<std::string> calls;

    Operations operations() {
        Operations ops;
        ops.inspect = [this](const std::string& path) {
            calls.push_back("inspect " + path);
            auto it = entries.find(path);
            return it == entries.end() ? State{} : it->second;
        };
        ops.makeFolder = [this](const std::string& path) {
            calls.push_back("make " + path);
            if (makes) entries[path] = State{Entry::Folder, Owner::Administrators};
            return makes;
        };
        ops.removeEntry = [this](const std::string& path) {
            calls.push_back("remove " + path);
            if (removes) entries.erase(path);
            return removes;
        };
        return ops;
    }
};

const std::string MORVANE = "C:/ProgramData/ZRVK/MORVANE";
const std::string CRASH = "C:/ProgramData/ZRVK/MORVANE/CrashReports";
const State TRUSTED{Entry::Folder, Owner::Administrators};
const State FOREIGN{Entry::Folder, Owner::Other};
const State LINK{Entry::ReparsePoint, Owner::Unknown};

using Calls = std::vector<std::string>;

TEST(ProgramDataFolders, WriteMakesMissingFoldersAndReplacesLinksWithoutFollowing) {
    FakeDisk disk;
    disk.entries[ROOT] = TRUSTED;
    disk.entries[MORVANE] = LINK;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(prepare(CRASH, Purpose::Write, disk.operations()));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(disk.calls, (Calls{"inspect " + ROOT, "inspect " + MORVANE, "remove " + MORVANE, "make " + MORVANE,
                                 "inspect " + MORVANE, "inspect " + CRASH, "make " + CRASH, "inspect " + CRASH}));
    EXPECT_NE(log.find("[ProgramData] Removing what was planted at " + MORVANE + " (a link)"), std::string::npos) << log;
}

TEST(ProgramDataFolders, AnotherUsersFolderIsRefusedAndNothingBelowItIsTouched) {
    for (const std::string& foreign : {ROOT, MORVANE}) {
        SCOPED_TRACE(foreign);
        FakeDisk disk;
        disk.entries[ROOT] = TRUSTED;
        disk.entries[MORVANE] = TRUSTED;
        disk.entries[foreign] = FOREIGN;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(prepare(CRASH, Purpose::Write, disk.operations()));
        EXPECT_FALSE(mayRemove(CRASH, disk.operations()));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("[ProgramData] Refusing " + foreign + ": owned by another user"), std::string::npos) << log;
        for (const std::string& call : disk.calls) EXPECT_EQ(call.rfind("inspect ", 0), 0u) << call;
        EXPECT_EQ(disk.calls.back(), "inspect " + foreign);
    }
}

TEST(ProgramDataFolders, WriteFailsWhenTheMadeFolderIsNotOurs) {
    const struct {
        const char* name;
        bool makes;
        bool removes;
        State madeAs;
    } cases[] = {
        {"cannot make", false, true, TRUSTED},
        {"cannot remove the link", true, false, TRUSTED},
        {"made folder has another owner", true, true, FOREIGN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDisk disk;
        disk.makes = c.makes;
        disk.removes = c.removes;
        disk.entries[ROOT] = LINK;
        Operations ops = disk.operations();
        if (c.madeAs.owner != Owner::Administrators) {
            ops.makeFolder = [&disk, &c](const std::string& path) {
                disk.entries[path] = c.madeAs;
                return true;
            };
        }
        testing::internal::CaptureStderr();
        EXPECT_FALSE(prepare(MORVANE, Purpose::Write, ops));
        testing::internal::GetCapturedStderr();
        for (const std::string& call : disk.calls) EXPECT_EQ(call.find(MORVANE), std::string::npos) << call;
    }
}

TEST(ProgramDataFolders, UseAndRemovalChangeNothing) {
    FakeDisk disk;
    disk.entries[ROOT] = TRUSTED;
    disk.entries[MORVANE] = TRUSTED;
    EXPECT_TRUE(prepare(MORVANE, Purpose::Use, disk.operations()));
    EXPECT_TRUE(mayRemove(MORVANE + "/id.txt", disk.operations()));
    EXPECT_TRUE(mayRemove(CRASH, disk.operations()));
    // The removal's own target is not inspected here: the removal deals with it.
    EXPECT_EQ(disk.calls, (Calls{"inspect " + ROOT, "inspect " + MORVANE, "inspect " + ROOT, "inspect " + MORVANE,
                                 "inspect " + ROOT, "inspect " + MORVANE}));

    FakeDisk linked;
    linked.entries[ROOT] = LINK;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(prepare(MORVANE, Purpose::Use, linked.operations()));
    EXPECT_FALSE(mayRemove("C:/ProgramData/ZRVK/Logs", linked.operations()));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[ProgramData] Refusing " + ROOT + ": a link"),
              std::string::npos);
    EXPECT_EQ(linked.calls, (Calls{"inspect " + ROOT, "inspect " + ROOT}));

    FakeDisk empty;  // nothing there yet: nothing to use, and no alarm
    testing::internal::CaptureStderr();
    EXPECT_FALSE(prepare(MORVANE, Purpose::Use, empty.operations()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ProgramDataFolders, OnlyPathsBelowTheRootAreChecked) {
    for (const char* path : {"C:/ProgramData/ZRVK", "C:/ProgramData/ZRVK/MORVANE/id.txt", "c:\\programdata\\zrvk\\Logs",
                             "C:/ProgramData/ZRVK/"}) {
        EXPECT_TRUE(isBelowRoot(path)) << path;
    }
    for (const char* path : {"C:/ProgramData/ZRVKX", "C:/ProgramData", "C:/Program Files/ZRVK/MORVANE/Server",
                             "D:/ProgramData/ZRVK", ""}) {
        EXPECT_FALSE(isBelowRoot(path)) << path;
        FakeDisk disk;
        EXPECT_TRUE(prepare(path, Purpose::Write, disk.operations()));
        EXPECT_TRUE(mayRemove(path, disk.operations()));
        EXPECT_TRUE(disk.calls.empty()) << path;
    }
    // Separators of either kind, doubled or at the end, give the same levels.
    FakeDisk disk;
    disk.entries["C:\\ProgramData\\ZRVK"] = TRUSTED;
    EXPECT_TRUE(prepare("C:\\ProgramData\\ZRVK\\\\Logs\\", Purpose::Write, disk.operations()));
    EXPECT_EQ(disk.calls, (Calls{"inspect C:\\ProgramData\\ZRVK", "inspect C:\\ProgramData\\ZRVK\\\\Logs",
                                 "make C:\\ProgramData\\ZRVK\\\\Logs", "inspect C:\\ProgramData\\ZRVK\\\\Logs"}));
}

}  // namespace
