// The log file of the Windows program: its folder (LOCALAPPDATA, or the
// temporary folder when that is not set), its name and its CRLF lines. Each
// case starts this program again, since the logger opens one file per process.
#include "case_runner.h"
#include "windows_support.h"

#include "installer_logging.h"

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

using namespace wintest;

namespace {

bool isLogFileName(const std::string& name) {
    // installer_YYYYMMDD_HHMMSS.log
    const std::string prefix = "installer_";
    if (name.size() != prefix.size() + 15 + 4 || name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(name.size() - 4, 4, ".log") != 0 || name[prefix.size() + 8] != '_') return false;
    for (std::size_t i = prefix.size(); i < name.size() - 4; ++i) {
        if (i != prefix.size() + 8 && (name[i] < '0' || name[i] > '9')) return false;
    }
    return true;
}

// Starts the logger in a child process and checks the one file it leaves in `folder`.
void checkLogWrittenTo(const std::string& folder) {
    CHECK_EQ(runProgram(roleCommand(selfPath(), "open_log")), 0L);
    const auto entries = folderEntries(folder);
    REQUIRE(entries.size() == 1);
    const std::string name = entries.begin()->first;
    CHECK(isLogFileName(name));
    const std::string path = folder + "\\" + name;
    const std::string text = readFile(path);
    const std::string head = std::string(58, '=') + "\r\nZRVK Installer Log\r\nStarted: ";
    CHECK_EQ(text.substr(0, head.size()), head);
    CHECK(text.find("\r\nLog file: " + path + "\r\n" + std::string(58, '=') + "\r\n\r\n") != std::string::npos);
    CHECK(text.find("\r\n[LOGGER] Log file created: " + path + "\r\n") != std::string::npos);
    const std::string tail = "\r\nInstaller log ended\r\n" + std::string(40, '=') + "\r\n";
    CHECK(text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
}

}  // namespace

ZRVK_ROLE(open_log) { return InstallerLogging::FileLogger::getInstance().initialize() ? 0 : 1; }

ZRVK_CASE(logFolderComesFromLocalAppData) {
    const std::string localAppData = withBackslashes(caseFolder() + "/local app data");
    ScopedEnv local("LOCALAPPDATA", localAppData.c_str());
    checkLogWrittenTo(localAppData + "\\ZRVK\\Logs");
}

ZRVK_CASE(logFolderFallsBackToTheTemporaryFolder) {
    const std::string temp = withBackslashes(caseFolder() + "/temporary folder");
    ScopedEnv local("LOCALAPPDATA", nullptr);
    ScopedEnv tmp("TMP", temp.c_str());
    ScopedEnv tempVariable("TEMP", temp.c_str());
    checkLogWrittenTo(temp + "\\ZRVK\\Logs");
}

// With every numbered name of the next seconds taken, the run still gets a
// log: installer_<stamp>_<six letters or digits>.log.
ZRVK_CASE(logTakesANameWithARandomPartWhenTheNumberedOnesAreTaken) {
    const std::string localAppData = withBackslashes(caseFolder() + "/local app data");
    const std::string folder = localAppData + "\\ZRVK\\Logs";
    makeFolders(folder);
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t <= now + 5; ++t) {
        std::tm local{};
        localtime_s(&local, &t);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
        const std::string stem = folder + "\\installer_" + stamp;
        writeFile(stem + ".log", "taken");
        for (int n = 1; n <= 99; ++n) writeFile(stem + "_" + std::to_string(n) + ".log", "taken");
    }
    ScopedEnv local("LOCALAPPDATA", localAppData.c_str());
    CHECK_EQ(runProgram(roleCommand(selfPath(), "open_log")), 0L);
    std::vector<std::string> made;
    for (const auto& entry : folderEntries(folder)) {
        if (readFile(folder + "\\" + entry.first) != "taken") made.push_back(entry.first);
    }
    REQUIRE(made.size() == 1);
    const std::string& name = made.front();
    CHECK_EQ(name.size(), std::string("installer_20250131_142501_abc123.log").size());
    CHECK(isLogFileName(name.substr(0, 25) + ".log"));
    CHECK_EQ(name.substr(25, 1), std::string("_"));
    const std::string part = name.substr(26, 6);
    CHECK(std::all_of(part.begin(), part.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }));
    CHECK(readFile(folder + "\\" + name).find("\r\n[LOGGER] Log file created: " + folder + "\\" + name + "\r\n") !=
          std::string::npos);
}
