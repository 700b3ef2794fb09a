// Diagnostics on Windows: plug-ins are .aex files, and no signature is tested.
#include "plugin_diagnostics.h"

#include "installer_utils.h"
#include "plugin_diagnostics_internal.h"

#include <windows.h>

#include <string>

namespace PluginDiagnostics {

namespace Platform {

extern const char* const PATH_SEPARATOR = "\\";

// A folder is entered whatever its name.
bool isPluginEntry(const FolderEntry& entry) {
    return !entry.isFolder && entry.name.size() > 4 && endsWith(entry.name, ".aex");
}

// The walk saw a plain file; it is held open as itself (a reparse point put
// in its place is opened, not followed, and refused), with no sharing for
// deletion, while it is read by name: the name cannot be replaced between
// the check and the read. What is refused reads as absent.
PluginInfo readPlugin(const std::string& path) {
    HANDLE held = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) return PluginInfo{};
    BY_HANDLE_FILE_INFORMATION facts;
    const bool plain = GetFileInformationByHandle(held, &facts) &&
                       (facts.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    PluginInfo info = plain ? parsePluginWin(path) : PluginInfo{};
    CloseHandle(held);
    return info;
}

int signatureStatusOf(const std::string&) { return SIGNATURE_UNKNOWN; }

}  // namespace Platform

}  // namespace PluginDiagnostics
