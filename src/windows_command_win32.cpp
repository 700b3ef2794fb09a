// The Win32 bodies of the command lines: the system folder, the code-page
// conversions and the process start.
#include "windows_command.h"

#include <windows.h>

#include <iostream>
#include <mutex>

namespace WindowsCommand {

namespace {
std::mutex g_seamMutex;
std::wstring g_toolFolder;
}  // namespace

std::wstring systemFolder() {
    wchar_t folder[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return L"C:\\Windows\\System32";
    return std::wstring(folder, length);
}

std::wstring toolFolder() {
    {
        std::lock_guard<std::mutex> lock(g_seamMutex);
        if (!g_toolFolder.empty()) return g_toolFolder;
    }
    return systemFolder();
}

void setToolFolderForTesting(const std::wstring& folder) {
    std::lock_guard<std::mutex> lock(g_seamMutex);
    g_toolFolder = folder;
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

}  // namespace WindowsCommand
