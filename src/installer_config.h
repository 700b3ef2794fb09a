// Compiled-in configuration: the folders the installer works in, the
// installation phases, the build-time hosts and the embedded page.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace InstallerConfig {

namespace Paths {
extern const std::string RENDER_ENGINE_DIR;
extern const std::string MRV_BASE_DIR;
extern const std::string MRV_SERVER_DIR;
extern const std::string PLUGINS_DIR;
extern const std::string MEDIACORE_DIR;
extern const std::string MRV_PLUGINS_DIR;
extern const std::string CRASH_REPORTS_DIR;
extern const std::string MRV_SERVER_PROCESS_NAME;
}  // namespace Paths

struct InstallationPhase {
    int id;
    const char* name;
    double weight;
    bool enabled;
};

constexpr std::size_t INSTALLATION_PHASE_COUNT = 3;
extern const InstallationPhase INSTALLATION_PHASES[INSTALLATION_PHASE_COUNT];

// The program's version (cmake/ZrvkVersion.cmake).
extern const std::string VERSION;

// Build-time values. ROOT_PREFIX is empty in the product build; tests and the
// demo set it to a sandbox, and every folder of Linux and macOS lies under it.
extern const std::string ROOT_PREFIX;
extern const std::string MANIFEST_URL;
extern const std::string WEBSITE_URL;
extern const std::string PLACEHOLDER_IMAGE_URL;
extern const std::vector<std::string> GITHUB_PROXY_HOSTS;
extern const std::string HF_MIRROR_HOST;
extern const std::string ANALYTICS_HOST;
extern const std::string ANALYTICS_API_KEY;
extern const std::string WEBVIEW2_LINK_ORIGIN;
// The protocols of every transfer and redirect: "https" in the product,
// "http,https" where loopback catalogues are served.
extern const std::string TRANSFER_PROTOCOLS;

// The extension of a plug-in in PLUGINS_DIR: ".plugin" bundles on macOS
// (and Linux), ".aex" files on Windows.
extern const char* const PLUGIN_FILE_SUFFIX;

// The shared logs folder of macOS (Linux uses it too); Windows picks its own.
extern const std::string MAC_LOGS_DIR;
// The temporary folder of Linux and macOS.
extern const std::string MAC_TEMP_DIR;

}  // namespace InstallerConfig

namespace EmbeddedResources {
extern const std::string HTML_CONTENT;
}
