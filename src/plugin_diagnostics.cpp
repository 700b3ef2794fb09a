#include "plugin_diagnostics.h"

#include "installer_config.h"
#include "installer_utils.h"
#include "plugin_diagnostics_internal.h"
#include "text_escape.h"

#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace PluginDiagnostics {

namespace {

uint32_t littleEndianWord(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

std::size_t findRecord(const std::vector<uint8_t>& d, std::size_t from, const char signature[4]) {
    const std::size_t n = d.size();
    if (from + RECORD_HEADER_SIZE >= n) return n;
    // A record header must start before n - 16; memchr finds the candidates.
    const uint8_t* const last = d.data() + (n - RECORD_HEADER_SIZE);
    for (const uint8_t* p = d.data() + from; p < last;) {
        const void* hit = std::memchr(p, signature[0], static_cast<std::size_t>(last - p));
        if (hit == nullptr) break;
        p = static_cast<const uint8_t*>(hit);
        if (std::memcmp(p, signature, 4) == 0) return static_cast<std::size_t>(p - d.data());
        ++p;
    }
    return n;
}

std::string fileNameOf(const std::string& path, const char* separators) {
    const std::size_t slash = path.find_last_of(separators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

namespace {

std::string decodePascalString(const uint8_t* p, std::size_t maxLen) {
    if (maxLen == 0) return "";
    const uint8_t count = p[0];
    if (count != 0 && count < maxLen) return std::string(reinterpret_cast<const char*>(p + 1), count);
    std::string text;
    for (std::size_t k = 0; k < maxLen && p[k] != 0; ++k) {
        if (p[k] >= 0x20 && p[k] <= 0x7E) text += static_cast<char>(p[k]);
    }
    return text;
}

std::string decodeVersion(uint32_t v) {
    const unsigned major = ((v >> 26) & 0xF) * 8 + ((v >> 19) & 0x7);
    const unsigned minor = (v >> 15) & 0xF;
    const unsigned fix = (v >> 11) & 0xF;
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(fix);
}

}  // namespace

void storeProperty(PluginInfo& info, const std::string& key, const uint8_t* data, uint32_t length,
                   uint32_t (*word)(const uint8_t*)) {
    if (key == "name") {
        info.name = decodePascalString(data, length);
    } else if (key == "eVER" && length >= 4) {
        info.version = decodeVersion(word(data));
    } else if (key == "eMNA") {
        info.match_name = decodePascalString(data, length);
    }
}

namespace {

// A resource file's bytes; empty for anything but a regular file within the size limit.
std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    readRegularFile(path, MAX_RESOURCE_FILE_SIZE, bytes);
    return bytes;
}

void scanWinRecords(const std::vector<uint8_t>& d, PluginInfo& info) {
    const std::size_t n = d.size();
    for (std::size_t i = findRecord(d, 0, "MIB8"); i < n;) {
        const std::string key{static_cast<char>(d[i + 7]), static_cast<char>(d[i + 6]), static_cast<char>(d[i + 5]),
                              static_cast<char>(d[i + 4])};
        // The length follows the zero bytes after the key (the property id is
        // usually zero), up to the end of the header.
        std::size_t p = i + 8;
        while (p < i + RECORD_HEADER_SIZE && p < n && d[p] == 0) ++p;
        if (p + 4 > n) return;
        const uint32_t length = littleEndianWord(&d[p]);
        if (length == 0 || length > MAX_PROPERTY_LENGTH || p + 4 + length > n) {
            i = findRecord(d, i + 1, "MIB8");
            continue;
        }
        storeProperty(info, key, &d[p + 4], length, littleEndianWord);
        i = findRecord(d, p + 4 + length, "MIB8");
    }
}

bool isOwnPlugin(const std::string& path) {
    return path.find("/ZRVK/") != std::string::npos || path.find("\\ZRVK\\") != std::string::npos;
}

// Keeps a plug-in that has a name or a version, marking the maker's own.
void addPlugin(PluginInfo info, const std::string& path, std::vector<PluginInfo>& out) {
    if (info.name.empty() && info.version.empty()) return;
    info.own = isOwnPlugin(path);
    if (info.own) info.status = Platform::signatureStatusOf(path);
    out.push_back(std::move(info));
}

// The walk of the MediaCore folder: depth first in listing order. Links are
// never followed: a link may lead out of the folder (anywhere on the
// machine), back up into a loop, or to the maker's own folder under another
// name. Which entries are plug-ins is the platform's rule.
void scanDirectory(const std::string& dir, std::vector<PluginInfo>& out) {
    std::vector<FolderEntry> entries;
    if (!listFolder(dir, entries)) return;
    for (const FolderEntry& entry : entries) {
        if (entry.isLink) continue;
        const std::string path = dir + Platform::PATH_SEPARATOR + entry.name;
        if (Platform::isPluginEntry(entry)) {
            addPlugin(Platform::readPlugin(path), path, out);
        } else if (entry.isFolder) {
            scanDirectory(path, out);
        }
    }
}

const char* statusName(int32_t status) {
    static const char* const names[] = {"valid", "adhoc", "invalid", "unsigned", "quarantined"};
    return status >= 1 && status <= 5 ? names[status - 1] : "unknown";
}

std::string escapeJson(const std::string& text) { return escapeJsonText(text); }

}  // namespace

PluginInfo parsePluginWin(const std::string& aexPath) {
    PluginInfo info;
    info.file = fileNameOf(aexPath, "/\\");
    scanWinRecords(readFile(aexPath), info);
    return info;
}

std::vector<PluginInfo> collectInstalledPlugins() {
    const std::string& dir = InstallerConfig::Paths::MEDIACORE_DIR;
    std::cout << "[DIAGNOSTICS] Scanning MediaCore directory: " << dir << std::endl;
    std::vector<PluginInfo> plugins;
    scanDirectory(dir, plugins);
    std::cout << "[DIAGNOSTICS] Found " << plugins.size() << " plugins:" << std::endl;
    int own = 0;
    int issues = 0;
    for (const PluginInfo& plugin : plugins) {
        const std::string& name = plugin.name.empty() ? plugin.file : plugin.name;
        const std::string& version = plugin.version.empty() ? std::string("?") : plugin.version;
        if (plugin.own) {
            ++own;
            if (plugin.status >= SIGNATURE_ADHOC) ++issues;
            std::cout << "  [ZRVK] " << name << " " << version << " (sig: " << statusName(plugin.status) << ")"
                      << std::endl;
        } else {
            std::cout << "  " << name << " " << version << std::endl;
        }
    }
    std::cout << "[DIAGNOSTICS] ZRVK plugins: " << own << ", signature issues: " << issues << std::endl;
    return plugins;
}

std::string pluginsToJson(const std::vector<PluginInfo>& plugins) {
    std::string json = "[";
    for (std::size_t i = 0; i < plugins.size(); ++i) {
        const PluginInfo& p = plugins[i];
        if (i > 0) json += ",";
        json += "{\"file\":\"" + escapeJson(p.file) + "\"," + "\"name\":\"" + escapeJson(p.name) + "\"," +
                "\"version\":\"" + escapeJson(p.version) + "\"," + "\"match_name\":\"" +
                escapeJson(p.match_name) + "\"}";
    }
    return json + "]";
}

}  // namespace PluginDiagnostics
