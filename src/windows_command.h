// The Windows program's command lines: built in UTF-16, with every program
// named by its full path in the system folder, and started with
// CreateProcessW. A program named without a path would be looked up in the
// installer's own folder and the current folder first (Downloads, say), and
// would run elevated. The builders are plain text and build everywhere; the
// Win32 bodies (system folder, conversions, the start) are Windows only.
#pragma once

#include <string>

namespace WindowsCommand {

enum class Tool { Cmd, PowerShell, Xcopy, Robocopy, Taskkill, Tasklist, Find };

// The tool's place below the system folder, e.g. "xcopy.exe".
std::wstring toolPathInSystemFolder(Tool tool);
// folder + "\" + the tool's place, between double quotes.
std::wstring quotedTool(const std::wstring& folder, Tool tool);

// ' and U+2018..U+201B: PowerShell ends a single-quoted string at each.
bool isPowerShellQuote(wchar_t c);
// One single-quoted PowerShell literal: every quote character doubled, which
// PowerShell reads back as that one character.
std::wstring powerShellLiteral(const std::wstring& text);

// The whole line cmd.exe is started with: no AutoRun commands (/d), and the
// command inside one pair of quotes that /s strips as a whole, so that a
// command that starts with a quoted program path keeps all its quotes.
std::wstring cmdLine(const std::wstring& cmdPath, const std::wstring& command);

// The commands run through cmd.exe; `folder` is where the tools are.
std::wstring removeItemCommand(const std::wstring& folder, const std::wstring& path, bool directory);
std::wstring xcopyCommand(const std::wstring& folder, const std::wstring& src, const std::wstring& dst);
std::wstring robocopyCommand(const std::wstring& folder, const std::wstring& src, const std::wstring& dst);
std::wstring taskkillCommand(const std::wstring& folder, const std::wstring& imageName);
// Exit code 0 when a process of that image name runs.
std::wstring processSearchCommand(const std::wstring& folder, const std::wstring& imageName);
// cmd's own rmdir, then del for a file.
std::wstring removalCommand(const std::wstring& path);

#ifdef _WIN32
// GetSystemDirectoryW, e.g. C:\Windows\system32.
std::wstring systemFolder();
// Where the tools of the commands are: the system folder.
std::wstring toolFolder();
// The program's narrow text (its ANSI code page, UTF-8 by its manifest) and back.
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);
// Runs the command through the system's cmd.exe, hidden, and waits for it:
// its exit code, or -1 when it could not be started (logged).
int run(const std::wstring& command);
// A seam that the tests set: tools are taken from this folder instead (empty:
// the system folder again); cmd.exe itself always comes from the system folder.
void setToolFolderForTesting(const std::wstring& folder);
#endif

}  // namespace WindowsCommand
