// Adobe plug-in resources (name, version, match name), the inventory of the
// MediaCore plug-in folder and the signature state of the maker's own plug-ins.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace PluginDiagnostics {

enum SignatureStatus : int32_t {
    SIGNATURE_UNKNOWN = 0,
    SIGNATURE_VALID = 1,
    SIGNATURE_ADHOC = 2,
    SIGNATURE_INVALID = 3,
    SIGNATURE_UNSIGNED = 4,
    SIGNATURE_QUARANTINED = 5,
};

struct PluginInfo {
    std::string file;
    std::string name;
    std::string version;
    std::string match_name;
    bool own = false;
    int32_t status = 0;
};

#ifndef _WIN32
PluginInfo parsePluginMac(const std::string& bundlePath);
#endif
PluginInfo parsePluginWin(const std::string& aexPath);

std::vector<PluginInfo> collectInstalledPlugins();
#ifndef _WIN32
int checkPluginSignature(const std::string& path);
#endif
std::string pluginsToJson(const std::vector<PluginInfo>& plugins);

#ifndef _WIN32
// A seam that the tests set: how long xattr and codesign may run before they count as failed.
void setToolTimeLimitForTesting(std::chrono::milliseconds limit);
#endif

}  // namespace PluginDiagnostics
