// Crash reports, what every platform shares: where the report and its side
// files lie, which report is ours, and the client's calls that send a report
// left by the previous session and keep the details a later report carries.
#include "posthog_internal.h"

#include "system.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

namespace PostHog {

namespace CrashHandler {

namespace Internal {
bool g_installed = false;
char g_crashFilePath[512] = {0};
}  // namespace Internal

namespace {

using namespace Internal;

std::string sidePath(const char* name, const char* suffix) {
    std::string crash = g_crashFilePath;
    if (crash.empty()) return "";
    const std::string marker = "pending_crash.txt";
    std::string::size_type at = crash.rfind(marker);
    if (at != std::string::npos) return crash.substr(0, at) + name;
    return crash + suffix;
}

}  // namespace

std::string getCrashFilePath() { return g_crashFilePath; }
std::string getMetadataFilePath() { return sidePath("crash_metadata.txt", ".metadata"); }
std::string getLogFileConfigPath() { return sidePath("crash_logfile.txt", ".logfile"); }
bool isInstalled() { return g_installed; }

std::string getDefaultCrashDir(const std::string& appName) {
    const char* home = std::getenv("HOME");
    if (home != nullptr) return std::string(home) + "/Library/Application Support/" + appName + "/CrashReports";
    return "/tmp/" + appName + "/CrashReports";
}

std::string readLastLines(const std::string& path, int maxLines) {
    std::ifstream in(path);
    if (!in.is_open() || maxLines <= 0) return "";
    std::ostringstream text;
    text << in.rdbuf();
    return System::lastLines(text.str(), maxLines, nullptr);
}

bool hasAddressesFromOurModule(const Report& report) {
    auto parseHex = [](std::string text, unsigned long long& value) {
        if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) text = text.substr(2);
        if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        value = std::stoull(text, nullptr, 16);
        return true;
    };
    unsigned long long base = 0;
    unsigned long long size = 0;
    if (report.loadAddress.empty() || report.moduleSize.empty() || !parseHex(report.loadAddress, base) ||
        !parseHex(report.moduleSize, size) || size == 0) {
        return true;
    }
    int inside = 0;
    std::istringstream in(report.stackTrace);
    std::string line;
    while (std::getline(in, line)) {
        for (std::string::size_type at = line.find("0x"); at != std::string::npos; at = line.find("0x", at + 2)) {
            std::string::size_type start = at + 2;
            std::string::size_type end = line.find_first_not_of("0123456789abcdefABCDEF", start);
            if (end == std::string::npos) end = line.size();
            unsigned long long address = 0;
            if (end == start || !parseHex(line.substr(start, end - start), address)) continue;
            if (address >= base && address - base < size && ++inside >= 2) return true;
        }
    }
    return false;
}

}  // namespace CrashHandler

bool Client::Impl::trackCrashReport(const CrashHandler::Report& report) {
    if (!accepting()) return false;
    std::string crashTime = report.timestamp;
    try {
        size_t used = 0;
        long long seconds = std::stoll(report.timestamp, &used, 10);
        std::time_t t = static_cast<std::time_t>(seconds);
        std::tm broken{};
#ifdef _WIN32
        bool ok = gmtime_s(&broken, &t) == 0;
#else
        bool ok = gmtime_r(&t, &broken) != nullptr;
#endif
        char buffer[32];
        if (ok && std::strftime(buffer, sizeof(buffer), "%Y-%m-%dT%H:%M:%SZ", &broken) > 0) crashTime = buffer;
    } catch (...) {
        crashTime = report.timestamp;
    }
    bool queued = false;
    try {
        nlohmann::json doc = baseDocument("$exception");
        nlohmann::json& properties = doc["properties"];
        properties["crash_from_previous_session"] = true;
        properties["crash_timestamp"] = crashTime;
        if (!report.loadAddress.empty()) properties["load_address"] = report.loadAddress;
        if (!report.execPath.empty()) properties["exec_path"] = report.execPath;
        for (const auto& pair : CrashHandler::loadMetadata().values) properties[pair.first] = pair.second;
        CrashHandler::LogFileConfig logConfig = CrashHandler::loadLogFileConfig();
        if (!logConfig.path.empty()) {
            std::string logs = CrashHandler::readLastLines(logConfig.path, logConfig.maxLines);
            if (!logs.empty()) {
                properties["recent_logs"] = logs;
                std::cout << "[PostHog] Attached " << logConfig.maxLines << " lines from log file" << std::endl;
            }
        }
        nlohmann::json frames = nlohmann::json::array();
        std::istringstream in(report.stackTrace);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("0x") == std::string::npos) continue;
            frames.push_back({{"platform", "custom"},
                              {"lang", "cpp"},
                              {"function", line},
                              {"in_app", true},
                              {"resolved", false}});
        }
        properties["$exception_list"] =
            exceptionList(report.signal, "Application crashed (from previous session)", false, frames);
        queued = enqueue(doc);
    } catch (...) {
        queued = false;
    }
    if (queued) std::cout << "[PostHog] Queued crash report: " << report.signal << std::endl;
    return queued;
}

void Client::installCrashHandler(const std::string& folder) {
    std::string dir = folder.empty() ? CrashHandler::getDefaultCrashDir(impl->config.appName) : folder;
    if (!CrashHandler::install(dir)) {
        std::cerr << "[PostHog] Failed to install crash handler" << std::endl;
        return;
    }
    std::cout << "[PostHog] Crash handler installed: " << CrashHandler::getCrashFilePath() << std::endl;
    std::optional<CrashHandler::Report> report = CrashHandler::loadPendingReport();
    if (!report) return;
    if (CrashHandler::hasAddressesFromOurModule(*report)) {
        std::cout << "[PostHog] Found crash report from our module: " << report->signal << std::endl;
        if (!impl->trackCrashReport(*report)) {
            // Not lost: the next start tries again.
            std::cerr << "[PostHog] Crash report not queued, kept for the next start" << std::endl;
            return;
        }
    } else {
        std::cout << "[PostHog] Ignoring crash report (not from our module): " << report->signal << std::endl;
    }
    for (const std::string& path : {CrashHandler::getCrashFilePath(), CrashHandler::getMetadataFilePath(),
                                    CrashHandler::getLogFileConfigPath()}) {
        if (!path.empty()) std::remove(path.c_str());
    }
}

void Client::setCrashMetadata(const std::map<std::string, std::string>& metadata) {
    if (!CrashHandler::isInstalled()) {
        std::cerr << "[PostHog] Warning: setCrashMetadata called before installCrashHandler" << std::endl;
        return;
    }
    CrashHandler::Metadata copy;
    copy.values = metadata;
    if (CrashHandler::saveMetadata(copy)) {
        std::cout << "[PostHog] Crash metadata saved (" << metadata.size() << " properties)" << std::endl;
    } else {
        std::cerr << "[PostHog] Failed to save crash metadata" << std::endl;
    }
}

void Client::setLogFile(const std::string& path, int maxLines) {
    if (CrashHandler::getCrashFilePath().empty()) {
        std::cerr << "[PostHog] Warning: setLogFile called before installCrashHandler" << std::endl;
        return;
    }
    CrashHandler::LogFileConfig config;
    config.path = path;
    config.maxLines = maxLines;
    if (CrashHandler::saveLogFileConfig(config)) {
        std::cout << "[PostHog] Log file configured: " << path << " (max " << maxLines << " lines)" << std::endl;
    } else {
        std::cerr << "[PostHog] Failed to save log file config" << std::endl;
    }
}

std::string Client::getDefaultCrashDir(const std::string& appName) {
    return CrashHandler::getDefaultCrashDir(appName);
}

}  // namespace PostHog
