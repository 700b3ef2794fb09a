#include "installer_config.h"

#include "zrvk_build_config.h"

namespace {

std::vector<std::string> splitHosts(const std::string& list) {
    std::vector<std::string> hosts;
    std::string::size_type start = 0;
    while (start <= list.size()) {
        std::string::size_type end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) hosts.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return hosts;
}

#ifdef _WIN32
std::string rooted(const char* path) { return path; }
#else
std::string rooted(const char* path) { return std::string(ZRVK_ROOT_PREFIX) + path; }
#endif

}  // namespace

namespace InstallerConfig {

namespace Paths {
#ifdef _WIN32
const std::string RENDER_ENGINE_DIR = "C:/Program Files/ZRVK/RenderEngine";
const std::string MRV_BASE_DIR = "C:/ProgramData/ZRVK/MORVANE";
const std::string MRV_SERVER_DIR = "C:/Program Files/ZRVK/MORVANE/Server";
const std::string PLUGINS_DIR = "C:/Program Files/Adobe/Common/Plug-ins/7.0/MediaCore/ZRVK";
const std::string MEDIACORE_DIR = "C:/Program Files/Adobe/Common/Plug-ins/7.0/MediaCore";
const std::string MRV_PLUGINS_DIR = "C:/Program Files/ZRVK/MORVANE/Plugins";
const std::string CRASH_REPORTS_DIR = "C:/ProgramData/ZRVK/MORVANE/CrashReports";
const std::string MRV_SERVER_PROCESS_NAME = "MORVANE Server.exe";
#else
const std::string RENDER_ENGINE_DIR = rooted("/Library/Application Support/ZRVK/Render Engine/Python 3.10");
const std::string MRV_BASE_DIR = rooted("/Library/Application Support/ZRVK/MORVANE");
const std::string MRV_SERVER_DIR = rooted("/Library/Application Support/ZRVK/MORVANE/Server");
const std::string PLUGINS_DIR = rooted("/Library/Application Support/Adobe/Common/Plug-ins/7.0/MediaCore/ZRVK");
const std::string MEDIACORE_DIR = rooted("/Library/Application Support/Adobe/Common/Plug-ins/7.0/MediaCore");
const std::string MRV_PLUGINS_DIR = rooted("/Library/Application Support/ZRVK/MORVANE/Plugins");
const std::string CRASH_REPORTS_DIR = rooted("/Library/Application Support/ZRVK/MORVANE/CrashReports");
const std::string MRV_SERVER_PROCESS_NAME = "bin/MORVANE Server";
#endif
}  // namespace Paths

#ifdef _WIN32
const char* const PLUGIN_FILE_SUFFIX = ".aex";
#else
const char* const PLUGIN_FILE_SUFFIX = ".plugin";
#endif

const InstallationPhase INSTALLATION_PHASES[INSTALLATION_PHASE_COUNT] = {
    {0, "Render Engine", 1500.0, true},
    {1, "MRV Server", 27.0, true},
    {2, "Plugins", 1400.0, true},
};

const std::string VERSION = ZRVK_VERSION;
const std::string ROOT_PREFIX = ZRVK_ROOT_PREFIX;
const std::string MANIFEST_URL = ZRVK_MANIFEST_URL;
const std::string WEBSITE_URL = ZRVK_WEBSITE_URL;
const std::string PLACEHOLDER_IMAGE_URL = ZRVK_PLACEHOLDER_IMAGE_URL;
const std::vector<std::string> GITHUB_PROXY_HOSTS = splitHosts(ZRVK_GITHUB_PROXY_HOSTS);
const std::string HF_MIRROR_HOST = ZRVK_HF_MIRROR_HOST;
const std::string ANALYTICS_HOST = ZRVK_ANALYTICS_HOST;
const std::string ANALYTICS_API_KEY = ZRVK_ANALYTICS_API_KEY;
const std::string WEBVIEW2_LINK_ORIGIN = ZRVK_WEBVIEW2_LINK_ORIGIN;
const std::string TRANSFER_PROTOCOLS = ZRVK_TRANSFER_PROTOCOLS;

const std::string MAC_LOGS_DIR = rooted("/Library/Application Support/ZRVK/Logs");
const std::string MAC_TEMP_DIR = rooted("/tmp");

}  // namespace InstallerConfig
