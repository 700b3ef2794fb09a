// Diagnostics on Windows: plug-ins are .aex files, and no signature is tested.
#include "plugin_diagnostics.h"

#include "installer_utils.h"
#include "plugin_diagnostics_internal.h"

#include <string>

namespace PluginDiagnostics {

namespace Platform {

extern const char* const PATH_SEPARATOR = "\\";

// A folder is entered whatever its name.
bool isPluginEntry(const FolderEntry& entry) {
    return !entry.isFolder && entry.name.size() > 4 && endsWith(entry.name, ".aex");
}

PluginInfo readPlugin(const std::string& path) { return parsePluginWin(path); }

int signatureStatusOf(const std::string&) { return SIGNATURE_UNKNOWN; }

}  // namespace Platform

}  // namespace PluginDiagnostics
