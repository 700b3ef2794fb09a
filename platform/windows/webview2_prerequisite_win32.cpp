// The Win32 bodies of the WebView2 prerequisite's platform operations.
#ifdef _WIN32

// rand_s, from the system's random source.
#define _CRT_RAND_S

#include "webview2_prerequisite.h"

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>
#include <urlmon.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace WebView2Prerequisite {
namespace {

static_assert(BOX_YES_NO == MB_YESNO, "message-box flag");
static_assert(BOX_ICON_ERROR == MB_ICONERROR, "message-box flag");
static_assert(BOX_ICON_WARNING == MB_ICONWARNING, "message-box flag");
static_assert(BOX_ICON_INFORMATION == MB_ICONINFORMATION, "message-box flag");
static_assert(ANSWER_YES == IDYES, "message-box answer");
static_assert(TEMP_PATH_BUFFER == MAX_PATH, "temporary-path buffer");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "version record");

const DWORD PROGRESS_STYLE = WS_CAPTION | WS_SYSMENU | SS_CENTER;
static_assert(PROGRESS_STYLE == 0x00C80001, "progress window style");
const int PROGRESS_WIDTH = 400;
const int PROGRESS_HEIGHT = 100;

RegistryAnswer readRegistryValue(const std::wstring& key, const std::wstring& valueName) {
    RegistryAnswer answer;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return answer;
    answer.opened = true;
    DWORD bytes = 0;
    if (RegGetValueW(handle, nullptr, valueName.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &bytes) == ERROR_SUCCESS &&
        bytes > 0) {
        std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (RegGetValueW(handle, nullptr, valueName.c_str(), RRF_RT_REG_SZ, nullptr, value.data(), &bytes) ==
            ERROR_SUCCESS) {
            answer.value = value.data();
        }
    }
    RegCloseKey(handle);
    return answer;
}

bool getEnvironmentVariable(const std::wstring& name, std::wstring* value) {
    const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0) return false;
    std::vector<wchar_t> buffer(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name.c_str(), buffer.data(), size);
    if (length == 0 || length >= size) return false;
    value->assign(buffer.data(), length);
    return true;
}

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool getWindowsVersion(WindowsVersion* version) {
    // The program's manifest declares Windows 10 and 11, so the answer is the real version.
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return false;
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    version->build = info.dwBuildNumber;
    return true;
}

int showMessageBox(const std::wstring& title, const std::wstring& text, unsigned int flags) {
    return MessageBoxW(nullptr, text.c_str(), title.c_str(), flags);
}

std::uint32_t getTempPath(std::uint32_t bufferLength, wchar_t* buffer) { return GetTempPathW(bufferLength, buffer); }

void* openProgressWindow(const std::wstring& text) {
    HWND window = CreateWindowExW(0, L"STATIC", text.c_str(), PROGRESS_STYLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                  PROGRESS_WIDTH, PROGRESS_HEIGHT, nullptr, nullptr, nullptr, nullptr);
    if (!window) return nullptr;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    return window;
}

void closeProgressWindow(void* window) { DestroyWindow(static_cast<HWND>(window)); }

std::int32_t download(const std::wstring& url, const std::wstring& path) {
    return static_cast<std::int32_t>(URLDownloadToFileW(nullptr, url.c_str(), path.c_str(), 0, nullptr));
}

void* startProcess(const std::wstring& path, const std::wstring& parameters) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"open";
    info.lpFile = path.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info) || !info.hProcess) return nullptr;
    return info.hProcess;
}

std::uint32_t waitForProcess(void* process) {
    HANDLE handle = static_cast<HANDLE>(process);
    WaitForSingleObject(handle, INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(handle, &exitCode)) exitCode = 0;
    CloseHandle(handle);
    return exitCode;
}

void deleteFile(const std::wstring& path) { DeleteFileW(path.c_str()); }

// Full access for SYSTEM and Administrators only, nothing inherited: the
// user's other (not elevated) programs cannot put anything into it.
const wchar_t* const OWN_FOLDER_SECURITY = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::wstring makeOwnFolder(const std::wstring& parent) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(OWN_FOLDER_SECURITY, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return L"";
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    std::wstring made;
    // A random name; one that exists already (anything, a link included) is never used.
    for (int attempt = 0; attempt < 16 && made.empty(); ++attempt) {
        unsigned int high = 0, low = 0;
        if (rand_s(&high) != 0 || rand_s(&low) != 0) break;
        wchar_t name[32];
        std::swprintf(name, 32, L"zrvk-webview2-%08x%08x", high, low);
        const std::wstring folder = parent + name;
        if (CreateDirectoryW(folder.c_str(), &attributes)) {
            made = folder;
        } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    LocalFree(descriptor);
    return made;
}

void removeFolder(const std::wstring& folder) { RemoveDirectoryW(folder.c_str()); }

}  // namespace

const PlatformOperations& windowsOperations() {
    static const PlatformOperations operations{
        readRegistryValue, getEnvironmentVariable, fileExists,     getWindowsVersion,
        showMessageBox,    getTempPath,            openProgressWindow, closeProgressWindow,
        download,          startProcess,           waitForProcess, deleteFile,
        makeOwnFolder,     removeFolder,
    };
    return operations;
}

}  // namespace WebView2Prerequisite

bool isWebView2RuntimeInstalled() {
    return WebView2Prerequisite::isWebView2RuntimeInstalled(WebView2Prerequisite::windowsOperations());
}

bool ensureWebView2Runtime(const std::string& linkOrigin) {
    return WebView2Prerequisite::ensureWebView2Runtime(WebView2Prerequisite::windowsOperations(), linkOrigin);
}

#endif  // _WIN32
