#include "windows_command.h"

#include <iostream>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#endif

namespace WindowsCommand {

namespace {

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

#ifdef ZRVK_TESTING
std::mutex g_seamMutex;
std::wstring g_toolFolder;
#endif

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

#ifdef ZRVK_TESTING
void setToolFolderForTesting(const std::wstring& folder) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    g_toolFolder = folder;
}
#endif

#ifdef _WIN32

std::wstring systemFolder() {
    wchar_t folder[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return L"C:\\Windows\\System32";
    return std::wstring(folder, length);
}

std::wstring toolFolder() {
#ifdef ZRVK_TESTING
    {
        std::lock_guard<std::mutex> lock(g_seamMutex);
        if (!g_toolFolder.empty()) return g_toolFolder;
    }
#endif
    return systemFolder();
}

std::wstring widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size =
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

int run(const std::wstring& command) {
    const std::wstring cmd = systemFolder() + L"\\" + toolPathInSystemFolder(Tool::Cmd);
    std::wstring line = cmdLine(cmd, command);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(cmd.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        std::cerr << "[executeCommandSilent] Failed to create process, error: " << GetLastError() << std::endl;
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(exitCode);
}

#endif  // _WIN32

}  // namespace WindowsCommand
