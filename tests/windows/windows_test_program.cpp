// The Windows test program: runs the real Win32 bodies on Windows (or under
// wine). Each case prints "PASS name" or "FAIL name: why"; the exit status is
// the number of failed cases.
//   windows_test_program             every automatic case
//   windows_test_program NAME...     the named cases (interactive ones too)
//   windows_test_program --list      the case names
#include "webview2_prerequisite.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace WebView2Prerequisite;

namespace {

struct Case {
    const char* name;
    bool automatic;  // false: shows boxes or needs the network, run only by name
    std::function<std::string()> run;  // empty text: passed
};

const PlatformOperations& win32() { return windowsOperations(); }

std::wstring ownPath() {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

std::string temporaryFolder() {
    wchar_t buffer[TEMP_PATH_BUFFER];
    const std::uint32_t length = win32().getTempPath(TEMP_PATH_BUFFER, buffer);
    if (length == 0 || length >= TEMP_PATH_BUFFER) return "no temporary folder";
    if (length < 3 || buffer[1] != L':' || buffer[length - 1] != L'\\') return "not an absolute folder";
    return "";
}

std::string environmentVariable() {
    const std::wstring name = L"ZRVK_WINDOWS_TEST_VARIABLE";
    std::wstring value;
    SetEnvironmentVariableW(name.c_str(), L"C:\\Some Folder (x86)");
    if (!win32().getEnvironmentVariable(name, &value) || value != L"C:\\Some Folder (x86)") return "set variable";
    SetEnvironmentVariableW(name.c_str(), nullptr);
    if (win32().getEnvironmentVariable(name, &value)) return "unset variable";
    return "";
}

std::string fileTestAndDelete() {
    if (!win32().fileExists(ownPath())) return "own program not found";
    const std::wstring missing = ownPath() + L".missing";
    if (win32().fileExists(missing)) return "missing file found";
    HANDLE file = CreateFileW(missing.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "cannot create a file";
    CloseHandle(file);
    win32().deleteFile(missing);
    if (win32().fileExists(missing)) return "file not deleted";
    return "";
}

std::string windowsVersion() {
    WindowsVersion version;
    if (!win32().getWindowsVersion(&version)) return "no version";
    if (version.major < 6) return "major version " + std::to_string(version.major);
    return "";
}

std::string registry() {
    if (win32().readRegistryValue(L"SOFTWARE\\ZRVK Absent Test Key", L"pv").opened) return "absent key opened";
    const RegistryAnswer answer =
        win32().readRegistryValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentVersion");
    if (!answer.opened) return "system key not opened";
    if (answer.value.empty()) return "value not read";
    if (!win32().readRegistryValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ZRVK absent").value.empty())
        return "absent value read";
    return "";
}

std::string processExitCode() {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    void* process = win32().startProcess(std::wstring(system, length) + L"\\cmd.exe", L"/c exit 7");
    if (!process) return "not started";
    const std::uint32_t code = win32().waitForProcess(process);
    if (code != 7) return "exit code " + std::to_string(code);
    if (win32().startProcess(ownPath() + L".missing.exe", L"")) return "missing program started";
    return "";
}

std::string progressWindow() {
    void* window = win32().openProgressWindow(PROGRESS_TEXT);
    if (!window) return "not created";
    win32().closeProgressWindow(window);
    return "";
}

std::string detection() {
    std::printf("  runtime installed: %s\n", isWebView2RuntimeInstalled() ? "yes" : "no");
    return "";
}

std::string ensure() { return ensureWebView2Runtime() ? "" : "runtime not ensured"; }

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"webview2-temporary-folder", true, temporaryFolder},
        {"webview2-environment-variable", true, environmentVariable},
        {"webview2-file-test-and-delete", true, fileTestAndDelete},
        {"webview2-windows-version", true, windowsVersion},
        {"webview2-registry", true, registry},
        {"webview2-process-exit-code", true, processExitCode},
        {"webview2-progress-window", true, progressWindow},
        {"webview2-detection", true, detection},
        {"webview2-ensure", false, ensure},
    };
    return all;
}

bool run(const Case& c) {
    const std::string failure = c.run();
    if (failure.empty()) {
        std::printf("PASS %s\n", c.name);
    } else {
        std::printf("FAIL %s: %s\n", c.name, failure.c_str());
    }
    std::fflush(stdout);
    return failure.empty();
}

}  // namespace

int main(int argc, char** argv) {
    int failed = 0;
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const Case& c : cases()) std::printf("%s%s\n", c.name, c.automatic ? "" : " (by name)");
        return 0;
    }
    if (argc == 1) {
        for (const Case& c : cases()) {
            if (c.automatic && !run(c)) ++failed;
        }
        return failed;
    }
    for (int i = 1; i < argc; ++i) {
        bool known = false;
        for (const Case& c : cases()) {
            if (std::strcmp(argv[i], c.name) != 0) continue;
            known = true;
            if (!run(c)) ++failed;
        }
        if (!known) {
            std::printf("FAIL %s: no such case\n", argv[i]);
            ++failed;
        }
    }
    return failed;
}
