// The WebView2 prerequisite on the Win32 operations: its detection from the
// EdgeUpdate client key (written with reg.exe, as an installer would), from
// the runtime file and from the system version, and the operations it uses.
// No case may lead to a message box: a box waits for a click.
#include "case_runner.h"
#include "windows_support.h"

#include "installer_config.h"
#include "webview2_prerequisite.h"

#include <string>

using namespace wintest;
using namespace WebView2Prerequisite;

namespace {

const std::string CLIENT_KEY_TEXT =
    "HKLM\\SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

long reg(const std::string& arguments) {
    return runProgram("reg.exe " + arguments);
}

bool clientKeyExists() { return windowsOperations().readRegistryValue(CLIENT_KEY, VERSION_VALUE).opened; }

// The client key of the case, made with reg.exe and removed at the end. A
// machine that has its own runtime (its own key, or Windows 11) is left
// alone: the case is skipped there.
class ClientKey {
public:
    ClientKey() {
        WindowsVersion version;
        if (clientKeyExists()) skip("this machine has its own WebView2 client key");
        if (windowsOperations().getWindowsVersion(&version) && version.build >= 22000)
            skip("WebView2 is part of this system (Windows 11)");
    }
    ~ClientKey() {
        if (made) reg("delete \"" + CLIENT_KEY_TEXT + "\" /f");
    }
    ClientKey(const ClientKey&) = delete;
    ClientKey& operator=(const ClientKey&) = delete;

    // Makes the key with a pv value (empty text: an empty value).
    bool add(const std::string& pv) {
        made = true;
        return reg("add \"" + CLIENT_KEY_TEXT + "\" /v pv /t REG_SZ /d \"" + pv + "\" /f") == 0;
    }

private:
    bool made = false;
};

}  // namespace

ZRVK_CASE(webview2ManifestMakesTheSystemTellWindows10) {
    HRSRC manifest = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    REQUIRE(manifest != nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(nullptr, manifest)));
    const std::string body(text, SizeofResource(nullptr, manifest));
    CHECK(body.find("8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a") != std::string::npos);
    WindowsVersion version;
    REQUIRE(windowsOperations().getWindowsVersion(&version));
    CHECK_EQ(version.major, 10u);
    CHECK_EQ(version.minor, 0u);
}

ZRVK_CASE(webview2DetectionWithoutClientKeyOrRuntimeFile) {
    ClientKey key;
    ScopedEnv programFiles("ProgramFiles(x86)", withBackslashes(caseFolder()).c_str());
    CaptureStreams log;
    CHECK(!isWebView2RuntimeInstalled());
    CHECK(log.contains("[WebView2] Not found on system"));
}

ZRVK_CASE(webview2DetectionFromTheClientKeyVersion) {
    ClientKey key;
    const struct {
        const char* pv;
        bool installed;
        const char* line;
    } table[] = {
        {"120.0.2210.91", true, "[WebView2] Found in registry"},
        {"", false, "[WebView2] Registry key present without an installed version"},
        {"0.0.0.0", false, "[WebView2] Registry key present without an installed version"},
    };
    ScopedEnv programFiles("ProgramFiles(x86)", withBackslashes(caseFolder()).c_str());
    for (const auto& row : table) {
        REQUIRE(key.add(row.pv));
        CHECK_EQ(narrow(windowsOperations().readRegistryValue(CLIENT_KEY, VERSION_VALUE).value), std::string(row.pv));
        CaptureStreams log;
        CHECK_EQ(isWebView2RuntimeInstalled(), row.installed);
        CHECK(log.contains(row.line));
    }
}

ZRVK_CASE(webview2DetectionFromTheRuntimeFile) {
    ClientKey key;
    const std::string programFiles = caseFolder() + "/Program Files (x86)";
    ScopedEnv variable("ProgramFiles(x86)", withBackslashes(programFiles).c_str());
    makeFolders(programFiles + "/Microsoft/EdgeWebView/Application");
    writeFile(programFiles + "/Microsoft/EdgeWebView/Application/msedgewebview2.exe", "MZ");
    CaptureStreams log;
    CHECK(isWebView2RuntimeInstalled());
    CHECK(log.contains("[WebView2] Found in Program Files"));
}

ZRVK_CASE(webview2EnsureWithTheClientKeyShowsNothing) {
    ClientKey key;
    REQUIRE(key.add("120.0.2210.91"));
    CaptureStreams log;
    CHECK(ensureWebView2Runtime(InstallerConfig::WEBVIEW2_LINK_ORIGIN));
    CHECK(log.contains("[WebView2] Found in registry"));
}

ZRVK_CASE(webview2OperationsOnTheSystem) {
    const PlatformOperations& win32 = windowsOperations();

    wchar_t temp[TEMP_PATH_BUFFER];
    const std::uint32_t length = win32.getTempPath(TEMP_PATH_BUFFER, temp);
    REQUIRE(length > 2 && length < TEMP_PATH_BUFFER);
    CHECK(temp[1] == L':' && temp[length - 1] == L'\\');

    // The bootstrapper's folder is new on every call, never a fixed name.
    const std::wstring tempFolder(temp, length);
    const std::wstring made = win32.makeOwnFolder(tempFolder);
    const std::wstring second = win32.makeOwnFolder(tempFolder);
    REQUIRE(!made.empty() && !second.empty());
    CHECK(made != second);
    CHECK_EQ(made.rfind(tempFolder + L"zrvk-webview2-", 0), 0u);
    CHECK((GetFileAttributesW(made.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0);
    win32.removeFolder(made);
    win32.removeFolder(second);
    CHECK(GetFileAttributesW(made.c_str()) == INVALID_FILE_ATTRIBUTES);
    CHECK(GetFileAttributesW(second.c_str()) == INVALID_FILE_ATTRIBUTES);

    {
        ScopedEnv variable("ZRVK_WINDOWS_TEST_VARIABLE", "C:\\Some Folder (x86)");
        std::wstring value;
        CHECK(win32.getEnvironmentVariable(L"ZRVK_WINDOWS_TEST_VARIABLE", &value));
        CHECK_EQ(narrow(value), std::string("C:\\Some Folder (x86)"));
    }
    std::wstring unset;
    CHECK(!win32.getEnvironmentVariable(L"ZRVK_WINDOWS_TEST_VARIABLE", &unset));

    const std::wstring file = widen(withBackslashes(caseFolder() + "/some file.exe"));
    CHECK(!win32.fileExists(file));
    writeFile(narrow(file), "MZ");
    CHECK(win32.fileExists(file));
    win32.deleteFile(file);
    CHECK(!win32.fileExists(file));

    const RegistryAnswer system = win32.readRegistryValue(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                                          L"CurrentVersion");
    CHECK(system.opened);
    CHECK(!system.value.empty());
    CHECK(!win32.readRegistryValue(L"SOFTWARE\\ZRVK Absent Test Key", VERSION_VALUE).opened);

    wchar_t folder[MAX_PATH];
    const UINT systemLength = GetSystemDirectoryW(folder, MAX_PATH);
    void* process = win32.startProcess(std::wstring(folder, systemLength) + L"\\cmd.exe", L"/c exit 7");
    REQUIRE(process != nullptr);
    CHECK_EQ(win32.waitForProcess(process), 7u);
    CHECK(win32.startProcess(widen(withBackslashes(caseFolder() + "/missing.exe")), L"") == nullptr);
}

ZRVK_CASE(webview2ProgressWindowOpensAndCloses) {
    skipUnderWine("wine runs here without a display");
    void* window = windowsOperations().openProgressWindow(PROGRESS_TEXT);
    REQUIRE(window != nullptr);
    CHECK(IsWindowVisible(static_cast<HWND>(window)));
    windowsOperations().closeProgressWindow(window);
    CHECK(!IsWindow(static_cast<HWND>(window)));
}
