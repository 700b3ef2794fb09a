// The utilities' bodies on Windows: every command through WindowsCommand
// (system tools by their full path), the server started with CreateProcessA.
#include "installer_utils.h"

#include "installer_config.h"
#include "windows_command.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::string withBackslashes(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

}  // namespace

bool makeFolder(const std::string& path) { return _mkdir(path.c_str()) == 0 || errno == EEXIST; }

bool readRegularFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    // "N": not inherited by programs started meanwhile.
    FILE* file = std::fopen(path.c_str(), "rbN");
    if (file == nullptr) return false;
    long long size = -1;
    if (_fseeki64(file, 0, SEEK_END) == 0) size = _ftelli64(file);
    bool ok = size >= 0 && static_cast<unsigned long long>(size) <= limit && _fseeki64(file, 0, SEEK_SET) == 0;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }
    std::fclose(file);
    if (!ok) bytes.clear();
    return ok;
}

// A reparse point goes by itself (RemoveDirectory and DeleteFile act on it,
// not on what it names); only a real folder is removed with its contents.
bool replaceWithNewFile(const std::string& path, const std::string& content) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            if (folder) RemoveDirectoryA(path.c_str()); else DeleteFileA(path.c_str());
        } else if (folder) {
            deletePath(path);
        } else {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    }
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) return false;
    const bool written = _write(fd, content.data(), static_cast<unsigned>(content.size())) ==
                         static_cast<int>(content.size());
    return _close(fd) == 0 && written;
}

bool listFolder(const std::string& path, std::vector<FolderEntry>& entries) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        entries.push_back({name, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                           (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return true;
}

bool pathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string getTempDirectory() {
    wchar_t value[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"TEMP", value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "C:/Windows/Temp";
    int size = WideCharToMultiByte(CP_ACP, 0, value, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string temp(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, value, static_cast<int>(length), &temp[0], size, nullptr, nullptr);
    for (char& c : temp) {
        if (c == '\\') c = '/';
    }
    return temp;
}

int executeCommandSilent(const std::string& command) { return WindowsCommand::run(WindowsCommand::widen(command)); }

bool deletePath(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        std::cout << "[deletePath] Path doesn't exist, nothing to delete: " << path << std::endl;
        return true;
    }
    if (!isSafeWindowsCommandPath(path)) {
        std::cerr << "[deletePath] Refusing unsafe path: " << path << std::endl;
        return false;
    }
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory) {
        std::cout << "[deletePath] Detected directory, using PowerShell Remove-Item -Recurse" << std::endl;
    } else {
        std::cout << "[deletePath] Detected file, using PowerShell Remove-Item" << std::endl;
    }
    const int code = WindowsCommand::run(
        WindowsCommand::removeItemCommand(WindowsCommand::toolFolder(), WindowsCommand::widen(path), directory));
    std::cout << "[deletePath] Command result: " << code << std::endl;
    if (code != 0) {
        std::cerr << "[deletePath] Failed to delete: " << path << " (exit code: " << code << ")" << std::endl;
        return false;
    }
    // Errors are silenced in the command, so its exit code proves nothing.
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        std::cerr << "[deletePath] Path still exists after deletion: " << path << std::endl;
        return false;
    }
    return true;
}

bool copyDirectory(const std::string& src, const std::string& dst) {
    std::cout << "[copyDirectory] Copying from: " << src << " to: " << dst << std::endl;
    if (!isSafeWindowsCommandPath(src) || !isSafeWindowsCommandPath(dst)) {
        std::cerr << "[copyDirectory] Refusing unsafe path" << std::endl;
        return false;
    }
    using namespace WindowsCommand;
    const std::wstring xcopy = xcopyCommand(toolFolder(), widen(src), widen(dst));
    std::cout << "[copyDirectory] Executing: " << narrow(xcopy) << std::endl;
    int code = run(xcopy);
    if (code == 0) {
        std::cout << "[copyDirectory] Copy completed successfully" << std::endl;
        return true;
    }
    std::cerr << "[copyDirectory] xcopy failed with code " << code << ", trying robocopy..." << std::endl;
    const std::wstring robocopy = robocopyCommand(toolFolder(), widen(src), widen(dst));
    std::cout << "[copyDirectory] Executing: " << narrow(robocopy) << std::endl;
    code = run(robocopy);
    if (code >= 0 && code <= 7) {
        std::cout << "[copyDirectory] Copy completed successfully" << std::endl;
        return true;
    }
    std::cerr << "[copyDirectory] robocopy failed with code " << code << std::endl;
    if (code == 16) {
        std::cerr << "[copyDirectory] ERROR: Serious error - robocopy did not copy any files" << std::endl;
    } else if (code > 0 && (code & 16)) {
        std::cerr << "[copyDirectory] ERROR: Fatal error occurred (likely access denied)" << std::endl;
        std::cerr << "[copyDirectory] HINT: Please run the installer as Administrator (Right-click -> Run as Administrator)"
                  << std::endl;
    }
    return false;
}

namespace {

// Beside each target, in a folder only administrators write to.
const char* const kCopySuffix = ".zrvk-new";
const char* const kAsideSuffix = ".zrvk-old";

bool renamed(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), 0)) return true;
    std::cerr << "[replaceWithCopies] Failed to rename " << from << " to " << to << " (error " << GetLastError() << ")"
              << std::endl;
    return false;
}

bool copiedTo(const std::string& source, const std::string& copy) {
    const DWORD attributes = GetFileAttributesA(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return copyDirectory(source, copy);
    return CopyFileA(source.c_str(), copy.c_str(), TRUE) != 0;
}

}  // namespace

bool replaceWithCopies(const std::vector<std::pair<std::string, std::string>>& sourceAndTarget) {
    const std::size_t n = sourceAndTarget.size();
    // What a run that ended midway left.
    for (const auto& entry : sourceAndTarget) {
        if (!deletePath(entry.second + kCopySuffix) || !deletePath(entry.second + kAsideSuffix)) return false;
    }
    bool ok = true;
    for (std::size_t i = 0; ok && i < n; ++i) {
        ok = copiedTo(sourceAndTarget[i].first, sourceAndTarget[i].second + kCopySuffix);
    }
    std::vector<char> aside(n, 0), in(n, 0);
    for (std::size_t i = 0; ok && i < n; ++i) {
        const std::string& target = sourceAndTarget[i].second;
        if (!pathExists(target)) continue;
        aside[i] = renamed(target, target + kAsideSuffix);
        ok = aside[i] != 0;
    }
    for (std::size_t i = 0; ok && i < n; ++i) {
        const std::string& target = sourceAndTarget[i].second;
        in[i] = renamed(target + kCopySuffix, target);
        ok = in[i] != 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& target = sourceAndTarget[i].second;
        if (!ok && in[i]) renamed(target, target + kCopySuffix);
        if (!ok && aside[i]) renamed(target + kAsideSuffix, target);
        deletePath(target + (ok ? kAsideSuffix : kCopySuffix));
    }
    return ok;
}

bool killProcessByName(const std::string& name) {
    using namespace WindowsCommand;
    const std::wstring command = taskkillCommand(toolFolder(), widen(name));
    std::cout << "[killProcessByName] Executing: " << narrow(command) << std::endl;
    const int code = run(command);
    if (code == 0) {
        std::cout << "[killProcessByName] Process terminated successfully" << std::endl;
        return true;
    }
    if (code == 128) {
        std::cout << "[killProcessByName] Process not running (ok)" << std::endl;
        return true;
    }
    std::cerr << "[killProcessByName] Failed with code " << code << std::endl;
    return false;
}

bool launchMRVServer() {
    std::cout << "[launchMRVServer] Attempting to launch MRV Server..." << std::endl;
    const std::string program =
        InstallerConfig::Paths::RENDER_ENGINE_DIR + "/" + InstallerConfig::Paths::MRV_SERVER_PROCESS_NAME;
    const std::string launcher = serverLauncherScript();
    const std::string workingDir = withBackslashes(InstallerConfig::Paths::MRV_SERVER_DIR);
    std::string commandLine = "\"" + withBackslashes(program) + "\" -I -c \"" + launcher + "\"";
    std::cout << "[launchMRVServer] Launching: " << commandLine << std::endl;
    std::cout << "[launchMRVServer] Working Dir: " << workingDir << std::endl;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        workingDir.c_str(), &startup, &process)) {
        std::cerr << "[launchMRVServer] Failed to launch process. Error: " << GetLastError() << std::endl;
        return false;
    }
    std::cout << "[launchMRVServer] Process launched with PID: " << process.dwProcessId << std::endl;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

bool isHostAppRunning() {
    std::cout << "[isHostAppRunning] Checking if Adobe host applications are running..." << std::endl;
    using namespace WindowsCommand;
    if (run(processSearchCommand(toolFolder(), L"AfterFX.exe")) == 0) {
        std::cout << "[isHostAppRunning] After Effects process detected (AfterFX.exe)" << std::endl;
        return true;
    }
    if (run(processSearchCommand(toolFolder(), L"Adobe Premiere Pro.exe")) == 0) {
        std::cout << "[isHostAppRunning] Premiere Pro process detected (Adobe Premiere Pro.exe)" << std::endl;
        return true;
    }
    std::cout << "[isHostAppRunning] No Adobe host applications running" << std::endl;
    return false;
}
