#include "webview2_prerequisite.h"

#include <iostream>
#include <sstream>
#include <vector>

namespace WebView2Prerequisite {

const wchar_t* const CLIENT_KEY =
    L"SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
const wchar_t* const VERSION_VALUE = L"pv";
const wchar_t* const PROGRAM_FILES_VARIABLE = L"ProgramFiles(x86)";
const wchar_t* const RUNTIME_FILE = L"\\Microsoft\\EdgeWebView\\Application\\msedgewebview2.exe";
const wchar_t* const BOOTSTRAPPER_FILE = L"MicrosoftEdgeWebview2Setup.exe";
const wchar_t* const BOOTSTRAPPER_LINK_PATH = L"/fwlink/p/?LinkId=2124703";
const wchar_t* const BOOTSTRAPPER_PARAMETERS = L"/silent /install";
const wchar_t* const PROGRESS_TEXT = L"Downloading WebView2 Runtime installer...\n\nPlease wait...";

namespace {

// Every line goes through the narrow streams, which the log file tees.
void logLine(const std::string& line) { std::cout << "[WebView2] " << line << std::endl; }
void logError(const std::string& line) { std::cerr << "[WebView2] " << line << std::endl; }

// An uninstall can leave the client key behind; only a real version counts.
bool isInstalledVersion(const std::wstring& version) { return !version.empty() && version != L"0.0.0.0"; }

bool foundInRegistry(const PlatformOperations& platform) {
    const RegistryAnswer answer = platform.readRegistryValue(CLIENT_KEY, VERSION_VALUE);
    if (!answer.opened) return false;
    if (!isInstalledVersion(answer.value)) {
        logLine("Registry key present without an installed version");
        return false;
    }
    logLine("Found in registry");
    return true;
}

bool foundInProgramFiles(const PlatformOperations& platform) {
    std::wstring folder;
    if (!platform.getEnvironmentVariable(PROGRAM_FILES_VARIABLE, &folder)) return false;
    if (!platform.fileExists(folder + RUNTIME_FILE)) return false;
    logLine("Found in Program Files");
    return true;
}

bool isWindows11(const WindowsVersion& version) {
    return version.major > 10 || (version.major == 10 && version.build >= 22000);
}

bool builtIntoWindows(const PlatformOperations& platform) {
    WindowsVersion version;
    if (!platform.getWindowsVersion(&version) || !isWindows11(version)) return false;
    logLine("Windows 11 detected (built-in)");
    return true;
}

bool isAbsolutePath(const std::wstring& path) {
    const bool drive = path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool share = path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
    return drive || share;
}

// The temporary folder; empty when the system cannot give it whole, so the
// bootstrapper never lands in a relative place.
std::wstring temporaryFolder(const PlatformOperations& platform) {
    std::vector<wchar_t> buffer(TEMP_PATH_BUFFER, L'\0');
    const std::uint32_t length = platform.getTempPath(TEMP_PATH_BUFFER, buffer.data());
    if (length == 0 || length >= TEMP_PATH_BUFFER) return L"";
    const std::wstring folder(buffer.data(), length);
    return isAbsolutePath(folder) ? folder : L"";
}

// The bootstrapper runs elevated: it goes into a folder made for this run,
// never under a fixed name that another program could have put there first.
struct BootstrapperPlace {
    std::wstring folder;
    std::wstring path;

    void remove(const PlatformOperations& platform) const {
        platform.deleteFile(path);
        platform.removeFolder(folder);
    }
};

std::int32_t downloadWithProgressWindow(const PlatformOperations& platform, const std::wstring& link,
                                        const std::wstring& path) {
    void* window = platform.openProgressWindow(PROGRESS_TEXT);
    const std::int32_t result = platform.download(link, path);
    if (window) platform.closeProgressWindow(window);
    return result;
}

std::string hex(std::int32_t value) {
    std::ostringstream text;
    text << std::hex << static_cast<std::uint32_t>(value);
    return text.str();
}

void showBox(const PlatformOperations& platform, const std::wstring& title, const std::wstring& text,
             unsigned int flags) {
    platform.showMessageBox(title, text, flags);
}

bool declined(const PlatformOperations& platform, const std::wstring& link) {
    const int answer = platform.showMessageBox(
        L"WebView2 Runtime Required",
        L"Zorvik Installer requires Microsoft Edge WebView2 Runtime to function.\n\n"
        L"WebView2 provides a modern web browser component for displaying the installer interface.\n\n"
        L"Download and install WebView2 Runtime now?\n"
        L"(Download size: ~2 MB, installation takes about 1 minute)\n\n"
        L"Supported: Windows 10 version 1803 and later, Windows 11",
        BOX_YES_NO | BOX_ICON_INFORMATION);
    if (answer == ANSWER_YES) return false;
    showBox(platform, L"Installation Canceled",
            L"WebView2 Runtime is required to run this installer.\n\nYou can download it manually from:\n" +
                link + L"\n\nThe installer will now exit.",
            BOX_ICON_WARNING);
    return true;
}

void showDownloadFailed(const PlatformOperations& platform, const std::wstring& link) {
    showBox(platform, L"Download Failed",
            L"Failed to download WebView2 Runtime installer.\n\n"
            L"Please check your internet connection and try again, or\ndownload manually from: " + link,
            BOX_ICON_ERROR);
}

}  // namespace

std::wstring bootstrapperLink(const std::string& origin) {
    // The origin is an ASCII address.
    return std::wstring(origin.begin(), origin.end()) + BOOTSTRAPPER_LINK_PATH;
}

bool isWebView2RuntimeInstalled(const PlatformOperations& platform) {
    if (foundInRegistry(platform) || foundInProgramFiles(platform) || builtIntoWindows(platform)) return true;
    logLine("Not found on system");
    return false;
}

bool ensureWebView2Runtime(const PlatformOperations& platform, const std::string& linkOrigin) {
    if (isWebView2RuntimeInstalled(platform)) return true;
    const std::wstring link = bootstrapperLink(linkOrigin);
    if (declined(platform, link)) return false;

    const std::wstring temp = temporaryFolder(platform);
    if (temp.empty()) {
        logError("Failed to download installer: no usable temporary folder");
        showDownloadFailed(platform, link);
        return false;
    }
    BootstrapperPlace place;
    place.folder = platform.makeOwnFolder(temp);
    if (place.folder.empty()) {
        logError("Failed to download installer: cannot make a folder for it");
        showDownloadFailed(platform, link);
        return false;
    }
    place.path = place.folder + L"\\" + BOOTSTRAPPER_FILE;
    const std::wstring& path = place.path;
    logLine("Downloading installer...");
    const std::int32_t result = downloadWithProgressWindow(platform, link, path);
    if (result < 0) {
        logError("Failed to download installer, HRESULT: " + hex(result));
        showDownloadFailed(platform, link);
        place.remove(platform);
        return false;
    }

    logLine("Running installer...");
    void* process = platform.startProcess(path, BOOTSTRAPPER_PARAMETERS);
    if (!process) {
        logError("Failed to launch installer");
        showBox(platform, L"Installation Failed",
                L"Failed to launch WebView2 Runtime installer.\n\n"
                L"Please try downloading and running it manually from:\n" +
                    link,
                BOX_ICON_ERROR);
        place.remove(platform);
        return false;
    }

    logLine("Waiting for installation to complete...");
    const std::uint32_t exitCode = platform.waitForProcess(process);
    place.remove(platform);
    if (exitCode != 0) {
        logError("Installer exited with code: " + std::to_string(exitCode));
        showBox(platform, L"Installation May Have Failed",
                L"WebView2 Runtime installation may have failed.\n\nPlease try installing it manually from:\n" +
                    link,
                BOX_ICON_WARNING);
        return false;
    }

    if (isWebView2RuntimeInstalled(platform)) {
        logLine("Installation successful!");
        showBox(platform, L"Installation Complete",
                L"WebView2 Runtime has been installed successfully!\n\nThe installer will now continue.",
                BOX_ICON_INFORMATION);
        return true;
    }
    logError("Installation verification failed");
    showBox(platform, L"Verification Failed",
            L"WebView2 Runtime installation could not be verified.\n\n"
            L"Please restart your computer and try again, or\ninstall manually from: " +
                link,
            BOX_ICON_WARNING);
    return false;
}

}  // namespace WebView2Prerequisite
