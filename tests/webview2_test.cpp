// The WebView2 prerequisite's decisions, driven by fake platform operations
// that record every call and every log line in the order they happen.
#include "installer_config.h"
#include "installer_logging.h"
#include "support/death_test.h"
#include "support/test_paths.h"
#include "webview2_prerequisite.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace WebView2Prerequisite;
using zrvk_test::readFile;
using zrvk_test::TempDir;
using zrvk_test::writeFile;

namespace {

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

const std::string KEY =
    "SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
const std::string PROGRAM_FILES = "C:\\Program Files (x86)";
const std::string RUNTIME = PROGRAM_FILES + "\\Microsoft\\EdgeWebView\\Application\\msedgewebview2.exe";
const std::string TEMP = "C:\\Users\\me\\AppData\\Local\\Temp\\";
// The folder made for the run, and the bootstrapper in it.
const std::string FRESH = TEMP + "zrvk-webview2-1";
const std::string SETUP = FRESH + "\\MicrosoftEdgeWebview2Setup.exe";
// Built on use: the configuration's strings are not there yet at static initialisation.
std::string link() { return InstallerConfig::WEBVIEW2_LINK_ORIGIN + "/fwlink/p/?LinkId=2124703"; }

// What the user sees: every box the prerequisite can show, exactly.
struct Box {
    unsigned int flags;
    std::string text;
};
const std::map<std::string, Box>& boxes() {
    static const std::map<std::string, Box> all = {
    {"WebView2 Runtime Required",
     {68,
      "Zorvik Installer requires Microsoft Edge WebView2 Runtime to function.\n\n"
      "WebView2 provides a modern web browser component for displaying the installer interface.\n\n"
      "Download and install WebView2 Runtime now?\n"
      "(Download size: ~2 MB, installation takes about 1 minute)\n\n"
      "Supported: Windows 10 version 1803 and later, Windows 11"}},
    {"Installation Canceled",
     {48, "WebView2 Runtime is required to run this installer.\n\nYou can download it manually from:\n" + link() +
              "\n\nThe installer will now exit."}},
    {"Download Failed",
     {16, "Failed to download WebView2 Runtime installer.\n\n"
          "Please check your internet connection and try again, or\ndownload manually from: " +
              link()}},
    {"Installation Failed",
     {16, "Failed to launch WebView2 Runtime installer.\n\nPlease try downloading and running it manually from:\n" +
              link()}},
    {"Installation May Have Failed",
     {48, "WebView2 Runtime installation may have failed.\n\nPlease try installing it manually from:\n" + link()}},
    {"Installation Complete",
     {64, "WebView2 Runtime has been installed successfully!\n\nThe installer will now continue."}},
    {"Verification Failed",
     {48, "WebView2 Runtime installation could not be verified.\n\n"
          "Please restart your computer and try again, or\ninstall manually from: " +
              link()}},
};
    return all;
}

// Collects what is written to a stream, line by line, into the event list.
class LineRecorder : public std::streambuf {
public:
    LineRecorder(std::vector<std::string>* events, std::string prefix) : events(events), prefix(std::move(prefix)) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
        if (traits_type::to_char_type(c) == '\n') {
            events->push_back(prefix + pending);
            pending.clear();
        } else {
            pending += traits_type::to_char_type(c);
        }
        return c;
    }

private:
    std::vector<std::string>* events;
    std::string prefix;
    std::string pending;
};

// A machine without the runtime, a user who says Yes and a bootstrapper that
// installs it; each test changes what it needs.
struct FakeWindows {
    bool keyPresent = false;
    std::wstring keyVersion;
    bool programFilesSet = true;
    std::set<std::wstring> files;
    bool versionKnown = true;
    WindowsVersion version{10, 0, 19045};
    int answer = ANSWER_YES;
    std::wstring tempFolder = widen(TEMP);
    std::optional<std::uint32_t> tempAnswer;  // unset: the folder, as the system gives it
    bool progressWindowMade = true;
    std::int32_t downloadResult = 0;
    bool downloadLeavesPartialFile = true;
    bool starts = true;
    std::uint32_t exitCode = 0;
    bool bootstrapperInstalls = true;
    bool folderMade = true;

    std::vector<std::string> events;
    std::set<std::wstring> folders;  // made by makeOwnFolder and not removed yet
    int foldersMade = 0;
    std::vector<std::string> boxTitles;
    int progressWindow = 0;
    int process = 0;

    PlatformOperations operations() {
        PlatformOperations ops;
        ops.readRegistryValue = [this](const std::wstring& key, const std::wstring& name) {
            events.push_back("registry " + narrow(key) + " " + narrow(name));
            RegistryAnswer answer;
            answer.opened = keyPresent;
            if (keyPresent) answer.value = keyVersion;
            return answer;
        };
        ops.getEnvironmentVariable = [this](const std::wstring& name, std::wstring* value) {
            events.push_back("environment " + narrow(name));
            if (programFilesSet) *value = widen(PROGRAM_FILES);
            return programFilesSet;
        };
        ops.fileExists = [this](const std::wstring& path) {
            events.push_back("file " + narrow(path));
            return files.count(path) > 0;
        };
        ops.getWindowsVersion = [this](WindowsVersion* answer) {
            events.push_back("version");
            if (versionKnown) *answer = version;
            return versionKnown;
        };
        ops.showMessageBox = [this](const std::wstring& title, const std::wstring& text, unsigned int flags) {
            events.push_back("box " + narrow(title));
            boxTitles.push_back(narrow(title));
            const auto expected = boxes().find(narrow(title));
            EXPECT_NE(expected, boxes().end()) << narrow(title);
            if (expected != boxes().end()) {
                EXPECT_EQ(flags, expected->second.flags) << narrow(title);
                EXPECT_EQ(narrow(text), expected->second.text) << narrow(title);
            }
            return narrow(title) == "WebView2 Runtime Required" ? answer : 1;
        };
        ops.getTempPath = [this](std::uint32_t length, wchar_t* buffer) -> std::uint32_t {
            events.push_back("temp " + std::to_string(length));
            const bool fits = tempFolder.size() < length;
            if (fits) {
                std::copy(tempFolder.begin(), tempFolder.end(), buffer);
                buffer[tempFolder.size()] = L'\0';
            }
            if (tempAnswer) return *tempAnswer;  // whatever the buffer holds
            return static_cast<std::uint32_t>(fits ? tempFolder.size() : tempFolder.size() + 1);
        };
        ops.openProgressWindow = [this](const std::wstring& text) -> void* {
            events.push_back("progress open " + narrow(text));
            return progressWindowMade ? &progressWindow : nullptr;
        };
        ops.closeProgressWindow = [this](void* window) {
            EXPECT_EQ(window, &progressWindow);
            events.push_back("progress close");
        };
        ops.download = [this](const std::wstring& url, const std::wstring& path) {
            events.push_back("download " + narrow(url) + " " + narrow(path));
            EXPECT_EQ(folders.count(path.substr(0, path.rfind(L'\\'))), 1u) << "not in a folder made for it";
            if (downloadResult >= 0 || downloadLeavesPartialFile) files.insert(path);
            return downloadResult;
        };
        ops.startProcess = [this](const std::wstring& path, const std::wstring& parameters) -> void* {
            events.push_back("start " + narrow(path) + " " + narrow(parameters));
            return starts && files.count(path) ? &process : nullptr;
        };
        ops.waitForProcess = [this](void* handle) {
            EXPECT_EQ(handle, &process);
            events.push_back("wait");
            if (bootstrapperInstalls) {
                keyPresent = true;
                keyVersion = L"120.0.2210.91";
            }
            return exitCode;
        };
        ops.deleteFile = [this](const std::wstring& path) {
            events.push_back("delete " + narrow(path));
            files.erase(path);
        };
        ops.makeOwnFolder = [this](const std::wstring& parent) -> std::wstring {
            events.push_back("folder make " + narrow(parent));
            if (!folderMade) return L"";
            const std::wstring folder = parent + L"zrvk-webview2-" + std::to_wstring(++foldersMade);
            folders.insert(folder);
            return folder;
        };
        ops.removeFolder = [this](const std::wstring& folder) {
            events.push_back("folder remove " + narrow(folder));
            for (const std::wstring& file : files) EXPECT_NE(file.rfind(folder + L"\\", 0), 0u) << "not empty";
            folders.erase(folder);
        };
        return ops;
    }
};

// Runs one call with both streams recorded into the fake's events.
template <typename Call>
bool recorded(FakeWindows& fake, Call call) {
    LineRecorder out(&fake.events, "out ");
    LineRecorder err(&fake.events, "err ");
    std::streambuf* savedOut = std::cout.rdbuf(&out);
    std::streambuf* savedErr = std::cerr.rdbuf(&err);
    const bool result = call(fake.operations());
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    return result;
}

bool detect(FakeWindows& fake) {
    return recorded(fake, [](const PlatformOperations& ops) { return isWebView2RuntimeInstalled(ops); });
}
bool ensure(FakeWindows& fake) {
    return recorded(fake, [](const PlatformOperations& ops) { return ensureWebView2Runtime(ops, InstallerConfig::WEBVIEW2_LINK_ORIGIN); });
}

using Events = std::vector<std::string>;

const std::string REGISTRY = "registry " + KEY + " pv";
const Events NOT_FOUND = {REGISTRY, "environment ProgramFiles(x86)", "file " + RUNTIME, "version",
                          "out [WebView2] Not found on system"};
const Events FOUND_AFTER_INSTALL = {REGISTRY, "out [WebView2] Found in registry"};

Events join(std::initializer_list<Events> parts) {
    Events all;
    for (const Events& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Events ASK = {"box WebView2 Runtime Required"};
Events downloadEvents() {
    return {"temp 260", "folder make " + TEMP, "out [WebView2] Downloading installer...",
            "progress open Downloading WebView2 Runtime installer...\n\nPlease wait...",
            "download " + link() + " " + SETUP, "progress close"};
}
const Events START = {"out [WebView2] Running installer...", "start " + SETUP + " /silent /install"};
const Events WAIT = {"out [WebView2] Waiting for installation to complete...", "wait", "delete " + SETUP,
                     "folder remove " + FRESH};

TEST(WebView2Link, IsTheCompiledInOriginWithTheForwardingPath) {
    EXPECT_EQ(narrow(bootstrapperLink(InstallerConfig::WEBVIEW2_LINK_ORIGIN)), link());
    EXPECT_EQ(InstallerConfig::WEBVIEW2_LINK_ORIGIN.rfind("http://127.0.0.1:", 0), 0u);
}

// ---------------------------------------------------------------------------
// Detection: the first test that succeeds decides.

struct DetectionCase {
    const char* name;
    bool keyPresent;
    const wchar_t* keyVersion;
    bool programFilesSet;
    bool fileThere;
    bool versionKnown;
    WindowsVersion version;
    bool expected;
    Events events;
};

const std::string NO_VERSION = "out [WebView2] Registry key present without an installed version";
const std::string ENVIRONMENT = "environment ProgramFiles(x86)";
const std::string FILE_TEST = "file " + RUNTIME;

const DetectionCase DETECTION_CASES[] = {
    {"key with a version decides alone", true, L"120.0.2210.91", true, true, true, {11, 0, 22631}, true,
     {REGISTRY, "out [WebView2] Found in registry"}},
    {"key with an empty version falls through to the file", true, L"", true, true, true, {10, 0, 19045}, true,
     {REGISTRY, NO_VERSION, ENVIRONMENT, FILE_TEST, "out [WebView2] Found in Program Files"}},
    {"key with version 0.0.0.0 falls through", true, L"0.0.0.0", true, false, true, {10, 0, 19045}, false,
     {REGISTRY, NO_VERSION, ENVIRONMENT, FILE_TEST, "version", "out [WebView2] Not found on system"}},
    {"file without the key", false, L"", true, true, true, {10, 0, 19045}, true,
     {REGISTRY, ENVIRONMENT, FILE_TEST, "out [WebView2] Found in Program Files"}},
    {"no program-files variable skips the file test", false, L"", false, true, true, {10, 0, 19045}, false,
     {REGISTRY, ENVIRONMENT, "version", "out [WebView2] Not found on system"}},
    {"Windows 11 build 22000", false, L"", true, false, true, {10, 0, 22000}, true,
     {REGISTRY, ENVIRONMENT, FILE_TEST, "version", "out [WebView2] Windows 11 detected (built-in)"}},
    {"build 21999 is not Windows 11", false, L"", true, false, true, {10, 0, 21999}, false, NOT_FOUND},
    {"major version above 10", false, L"", true, false, true, {11, 0, 0}, true,
     {REGISTRY, ENVIRONMENT, FILE_TEST, "version", "out [WebView2] Windows 11 detected (built-in)"}},
    {"an old major version with a high build", false, L"", true, false, true, {6, 3, 30000}, false, NOT_FOUND},
    {"unknown version", false, L"", true, false, false, {10, 0, 22631}, false, NOT_FOUND},
};

TEST(IsWebView2RuntimeInstalled, FollowsTheDetectionTable) {
    for (const DetectionCase& row : DETECTION_CASES) {
        SCOPED_TRACE(row.name);
        FakeWindows fake;
        fake.keyPresent = row.keyPresent;
        fake.keyVersion = row.keyVersion;
        fake.programFilesSet = row.programFilesSet;
        if (row.fileThere) fake.files.insert(widen(RUNTIME));
        fake.versionKnown = row.versionKnown;
        fake.version = row.version;
        EXPECT_EQ(detect(fake), row.expected);
        EXPECT_EQ(fake.events, row.events);
    }
}

// ---------------------------------------------------------------------------
// Ensuring the runtime.

TEST(EnsureWebView2Runtime, PresentRuntimeShowsNothing) {
    FakeWindows fake;
    fake.keyPresent = true;
    fake.keyVersion = L"120.0.2210.91";
    EXPECT_TRUE(ensure(fake));
    EXPECT_EQ(fake.events, FOUND_AFTER_INSTALL);
}

TEST(EnsureWebView2Runtime, AnyAnswerButYesCancelsWithoutDownloading) {
    for (int answer : {7 /* No */, 2 /* Cancel */, 0 /* no box */}) {
        SCOPED_TRACE(answer);
        FakeWindows fake;
        fake.answer = answer;
        EXPECT_FALSE(ensure(fake));
        EXPECT_EQ(fake.events, join({NOT_FOUND, ASK, {"box Installation Canceled"}}));
    }
}

TEST(EnsureWebView2Runtime, FailedDownloadShowsDownloadFailedAndLeavesNoFile) {
    FakeWindows fake;
    fake.downloadResult = static_cast<std::int32_t>(0x800C0005u);
    EXPECT_FALSE(ensure(fake));
    EXPECT_EQ(fake.events, join({NOT_FOUND, ASK, downloadEvents(),
                                 {"err [WebView2] Failed to download installer, HRESULT: 800c0005",
                                  "box Download Failed", "delete " + SETUP, "folder remove " + FRESH}}));
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.folders.empty());
}

TEST(EnsureWebView2Runtime, DownloadsWithoutTheProgressWindowWhenItCannotBeMade) {
    FakeWindows fake;
    fake.progressWindowMade = false;
    EXPECT_TRUE(ensure(fake));
    Events download = downloadEvents();
    download.pop_back();  // nothing to close
    EXPECT_EQ(fake.events, join({NOT_FOUND, ASK, download, START, WAIT, FOUND_AFTER_INSTALL,
                                 {"out [WebView2] Installation successful!", "box Installation Complete"}}));
}

TEST(EnsureWebView2Runtime, TemporaryFolderThatCannotBeGivenWholeFailsTheDownload) {
    struct Case {
        const char* name;
        std::optional<std::uint32_t> answer;
        std::wstring folder;
    };
    const Case cases[] = {
        {"call failed", 0u, widen(TEMP)},
        {"answer needs the whole buffer", 260u, widen(TEMP)},
        {"answer longer than the buffer", 300u, widen(TEMP)},
        {"folder too long for the buffer", std::nullopt, L"C:\\" + std::wstring(300, L'x') + L"\\"},
        {"relative folder", std::nullopt, L"Temp\\"},
        {"drive-relative folder", std::nullopt, L"C:Temp\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWindows fake;
        fake.tempAnswer = c.answer;
        fake.tempFolder = c.folder;
        EXPECT_FALSE(ensure(fake));
        EXPECT_EQ(fake.events, join({NOT_FOUND, ASK,
                                     {"temp 260", "err [WebView2] Failed to download installer: no usable temporary folder",
                                      "box Download Failed"}}));
        EXPECT_TRUE(fake.files.empty());
    }
}

// A bootstrapper put under the old fixed name in the temporary folder by
// another program is never the one that runs.
TEST(EnsureWebView2Runtime, BootstrapperGoesIntoAFolderMadeForTheRun) {
    FakeWindows fake;
    const std::wstring planted = widen(TEMP + "MicrosoftEdgeWebview2Setup.exe");
    fake.files.insert(planted);
    EXPECT_TRUE(ensure(fake));
    EXPECT_EQ(fake.events, join({NOT_FOUND, ASK, downloadEvents(), START, WAIT, FOUND_AFTER_INSTALL,
                                 {"out [WebView2] Installation successful!", "box Installation Complete"}}));
    EXPECT_EQ(fake.files, std::set<std::wstring>{planted});
    EXPECT_TRUE(fake.folders.empty());
}

TEST(EnsureWebView2Runtime, FolderThatCannotBeMadeFailsTheDownload) {
    FakeWindows fake;
    fake.folderMade = false;
    EXPECT_FALSE(ensure(fake));
    EXPECT_EQ(fake.events, join({NOT_FOUND, ASK,
                                 {"temp 260", "folder make " + TEMP,
                                  "err [WebView2] Failed to download installer: cannot make a folder for it",
                                  "box Download Failed"}}));
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.folders.empty());
}

TEST(EnsureWebView2Runtime, BootstrapperThatCannotStartShowsInstallationFailedAndLeavesNoFile) {
    FakeWindows fake;
    fake.starts = false;
    EXPECT_FALSE(ensure(fake));
    EXPECT_EQ(fake.events, join({NOT_FOUND, ASK, downloadEvents(), START,
                                 {"err [WebView2] Failed to launch installer", "box Installation Failed",
                                  "delete " + SETUP, "folder remove " + FRESH}}));
    EXPECT_TRUE(fake.folders.empty());
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.folders.empty());
}

TEST(EnsureWebView2Runtime, NonZeroExitCodeFailsWithoutCheckingAgain) {
    FakeWindows fake;
    fake.exitCode = 1603;
    fake.bootstrapperInstalls = true;  // present afterwards, still a failure
    EXPECT_FALSE(ensure(fake));
    EXPECT_EQ(fake.events, join({NOT_FOUND, ASK, downloadEvents(), START, WAIT,
                                 {"err [WebView2] Installer exited with code: 1603",
                                  "box Installation May Have Failed"}}));
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.folders.empty());
}

TEST(EnsureWebView2Runtime, VerifiedInstallationCompletes) {
    FakeWindows fake;
    EXPECT_TRUE(ensure(fake));
    EXPECT_EQ(fake.events, join({NOT_FOUND, ASK, downloadEvents(), START, WAIT, FOUND_AFTER_INSTALL,
                                 {"out [WebView2] Installation successful!", "box Installation Complete"}}));
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.folders.empty());
}

TEST(EnsureWebView2Runtime, UnverifiedInstallationFails) {
    FakeWindows fake;
    fake.bootstrapperInstalls = false;
    EXPECT_FALSE(ensure(fake));
    EXPECT_EQ(fake.events, join({NOT_FOUND, ASK, downloadEvents(), START, WAIT, NOT_FOUND,
                                 {"err [WebView2] Installation verification failed", "box Verification Failed"}}));
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.folders.empty());
}

// ---------------------------------------------------------------------------
// The log file: every line reaches it, the progress lines included.

// Runs every scenario in a child process: the logger is a process-wide
// singleton that tees the streams until exit.
void runEveryScenarioWithTheLogFile(const std::string& pathRecord) {
    InstallerLogging::FileLogger& logger = InstallerLogging::FileLogger::getInstance();
    if (!logger.initialize()) std::_Exit(2);
    writeFile(pathRecord, logger.getLogFilePath());
    FakeWindows verified, failedDownload, noTemp, noFolder, noStart, exitCode, unverified, file, windows11;
    failedDownload.downloadResult = -1;
    noFolder.folderMade = false;
    noTemp.tempAnswer = 0x1000;
    noStart.starts = false;
    exitCode.exitCode = 5;
    unverified.bootstrapperInstalls = false;
    file.files.insert(widen(RUNTIME));
    file.keyPresent = true;
    windows11.version = {10, 0, 22000};
    for (FakeWindows* fake :
         {&verified, &failedDownload, &noTemp, &noFolder, &noStart, &exitCode, &unverified, &file, &windows11}) {
        ensureWebView2Runtime(fake->operations(), InstallerConfig::WEBVIEW2_LINK_ORIGIN);
    }
    std::exit(0);
}

TEST(WebView2LogFile, EveryLineReachesTheLogFile) {
    zrvk_test::SharedTempDir tmp;
    const std::string pathRecord = tmp / "path";
    EXPECT_EXIT(runEveryScenarioWithTheLogFile(pathRecord), ::testing::ExitedWithCode(0), "");
    const std::string path = readFile(pathRecord);
    ASSERT_FALSE(path.empty());
    const std::string log = readFile(path);
    std::remove(path.c_str());
    for (const char* line : {
             "[WebView2] Found in registry", "[WebView2] Found in Program Files",
             "[WebView2] Windows 11 detected (built-in)", "[WebView2] Not found on system",
             "[WebView2] Registry key present without an installed version", "[WebView2] Downloading installer...",
             "[WebView2] Failed to download installer, HRESULT: ffffffff",
             "[WebView2] Failed to download installer: no usable temporary folder",
             "[WebView2] Failed to download installer: cannot make a folder for it",
             "[WebView2] Running installer...", "[WebView2] Failed to launch installer",
             "[WebView2] Waiting for installation to complete...", "[WebView2] Installer exited with code: 5",
             "[WebView2] Installation successful!", "[WebView2] Installation verification failed"}) {
        EXPECT_NE(log.find(std::string(line) + "\n"), std::string::npos) << line;
    }
}

}  // namespace
