#include "windows_command.h"

#include <iostream>

namespace WindowsCommand {

namespace {

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

std::wstring toolPathInSystemFolder(Tool tool) {
    // In the order of Tool.
    static const wchar_t* const places[] = {L"cmd.exe",      L"WindowsPowerShell\\v1.0\\powershell.exe",
                                            L"xcopy.exe",    L"robocopy.exe",
                                            L"taskkill.exe", L"tasklist.exe",
                                            L"find.exe"};
    return places[static_cast<int>(tool)];
}

std::wstring quotedTool(const std::wstring& folder, Tool tool) {
    return quoted(folder + L"\\" + toolPathInSystemFolder(tool));
}

bool isPowerShellQuote(wchar_t c) { return c == L'\'' || (c >= 0x2018 && c <= 0x201B); }

std::wstring powerShellLiteral(const std::wstring& text) {
    std::wstring out = L"'";
    for (wchar_t c : text) {
        if (isPowerShellQuote(c)) out += c;
        out += c;
    }
    return out + L"'";
}

std::wstring cmdLine(const std::wstring& cmdPath, const std::wstring& command) {
    return quoted(cmdPath) + L" /d /s /c " + quoted(command);
}

// -LiteralPath: -Path would read [ and ] as wildcards. -NoProfile: the
// user's profile scripts would run elevated.
std::wstring removeItemCommand(const std::wstring& folder, const std::wstring& path, bool directory) {
    return quotedTool(folder, Tool::PowerShell) + L" -NoProfile -Command \"Remove-Item -LiteralPath " +
           powerShellLiteral(path) + L" -Force" + (directory ? L" -Recurse" : L"") + L" -ErrorAction SilentlyContinue\"";
}

std::wstring xcopyCommand(const std::wstring& folder, const std::wstring& src, const std::wstring& dst) {
    return quotedTool(folder, Tool::Xcopy) + L" " + quoted(src) + L" " + quoted(dst) + L" /E /I /Y /Q >nul 2>&1";
}

std::wstring robocopyCommand(const std::wstring& folder, const std::wstring& src, const std::wstring& dst) {
    return quotedTool(folder, Tool::Robocopy) + L" " + quoted(src) + L" " + quoted(dst) +
           L" /E /R:0 /W:0 /NFL /NDL /NJH /NJS /nc /ns /np";
}

std::wstring taskkillCommand(const std::wstring& folder, const std::wstring& imageName) {
    return quotedTool(folder, Tool::Taskkill) + L" /F /IM " + quoted(imageName) + L" >nul 2>&1";
}

std::wstring processSearchCommand(const std::wstring& folder, const std::wstring& imageName) {
    return quotedTool(folder, Tool::Tasklist) + L" /FI " + quoted(L"IMAGENAME eq " + imageName) + L" 2>nul | " +
           quotedTool(folder, Tool::Find) + L" /I " + quoted(imageName) + L" >nul";
}

std::wstring removalCommand(const std::wstring& path) {
    return L"rmdir /s /q " + quoted(path) + L" 2>nul || del /f /q " + quoted(path) + L" 2>nul";
}

}  // namespace WindowsCommand
