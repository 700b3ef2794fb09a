// The WebView2 runtime prerequisite of the Windows program: detect the
// runtime and, with the user's consent, download and run its bootstrapper.
// The decisions are written once against a small table of platform
// operations; the Win32 bodies live in webview2_prerequisite_win32.cpp, and
// the tests drive the same decisions with fake operations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace WebView2Prerequisite {

extern const wchar_t* const CLIENT_KEY;         // under HKEY_LOCAL_MACHINE
extern const wchar_t* const VERSION_VALUE;      // the installed version in the client key
extern const wchar_t* const PROGRAM_FILES_VARIABLE;
extern const wchar_t* const RUNTIME_FILE;       // below the program-files folder
extern const wchar_t* const BOOTSTRAPPER_FILE;  // in a folder of its own in the temporary folder
extern const wchar_t* const BOOTSTRAPPER_LINK_PATH;
extern const wchar_t* const BOOTSTRAPPER_PARAMETERS;
extern const wchar_t* const PROGRESS_TEXT;
constexpr std::uint32_t TEMP_PATH_BUFFER = 260;

// Message-box flags and the answer, with the values of the system's own.
constexpr unsigned int BOX_YES_NO = 0x04;
constexpr unsigned int BOX_ICON_ERROR = 0x10;
constexpr unsigned int BOX_ICON_WARNING = 0x30;
constexpr unsigned int BOX_ICON_INFORMATION = 0x40;
constexpr int ANSWER_YES = 6;

struct RegistryAnswer {
    bool opened = false;  // the key exists and could be opened for reading
    std::wstring value;   // the string value asked for; empty when absent
};

struct WindowsVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
};

// One set of platform operations. Handles are opaque: only the operations
// that made them know what they are.
struct PlatformOperations {
    // Opens the key under HKEY_LOCAL_MACHINE for reading, reads one string
    // value and closes the key again.
    std::function<RegistryAnswer(const std::wstring& key, const std::wstring& valueName)> readRegistryValue;
    // False when the variable is not set.
    std::function<bool(const std::wstring& name, std::wstring* value)> getEnvironmentVariable;
    // True when anything exists at the path.
    std::function<bool(const std::wstring& path)> fileExists;
    // False when the system does not tell its version.
    std::function<bool(WindowsVersion* version)> getWindowsVersion;
    // Shows a box without an owner window and returns the answer.
    std::function<int(const std::wstring& title, const std::wstring& text, unsigned int flags)> showMessageBox;
    // Fills buffer with the temporary folder, as the system call does: the
    // length written, the length needed when the buffer is too small, 0 on failure.
    std::function<std::uint32_t(std::uint32_t bufferLength, wchar_t* buffer)> getTempPath;
    // Creates, shows and paints the progress window; null when it cannot be made.
    std::function<void*(const std::wstring& text)> openProgressWindow;
    std::function<void(void* window)> closeProgressWindow;
    // One blocking download; the result is an HRESULT (negative on failure).
    std::function<std::int32_t(const std::wstring& url, const std::wstring& path)> download;
    // Starts the program elevated-as-we-are with a hidden window; null when it cannot start.
    std::function<void*(const std::wstring& path, const std::wstring& parameters)> startProcess;
    // Waits without a time limit, returns the exit code (0 when it cannot be
    // read) and releases the process handle.
    std::function<std::uint32_t(void* process)> waitForProcess;
    std::function<void(const std::wstring& path)> deleteFile;
    // Makes a new folder in `parent` (which ends in a backslash) that did not
    // exist before and that only administrators and the system may change;
    // its path, or empty when none could be made.
    std::function<std::wstring(const std::wstring& parent)> makeOwnFolder;
    // Removes an empty folder.
    std::function<void(const std::wstring& folder)> removeFolder;
};

// The forwarding link of the bootstrapper on an origin such as
// "https://go.microsoft.com" (the program passes its compiled-in one).
std::wstring bootstrapperLink(const std::string& origin);

bool isWebView2RuntimeInstalled(const PlatformOperations& platform);
bool ensureWebView2Runtime(const PlatformOperations& platform, const std::string& linkOrigin);

// The Win32 operations (Windows program only).
const PlatformOperations& windowsOperations();

}  // namespace WebView2Prerequisite

// The Windows program's entry points, on the Win32 operations.
bool isWebView2RuntimeInstalled();
bool ensureWebView2Runtime(const std::string& linkOrigin);
