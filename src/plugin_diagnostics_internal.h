// What the diagnostics' shared code and its platform files share: the record
// search of the resource readers, and each platform's rule for the walk.
#pragma once

#include "installer_utils.h"
#include "plugin_diagnostics.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace PluginDiagnostics {

constexpr std::size_t RECORD_HEADER_SIZE = 16;
constexpr uint32_t MAX_PROPERTY_LENGTH = 9999;
// A resource file larger than this is not a plug-in's resources.
constexpr std::size_t MAX_RESOURCE_FILE_SIZE = 104857600;

// The first vendor signature at or after `from` that leaves room for a record
// header, or the data's size when there is none.
std::size_t findRecord(const std::vector<uint8_t>& d, std::size_t from, const char signature[4]);
// Stores one property; the key is in reading order, `word` reads the version word.
void storeProperty(PluginInfo& info, const std::string& key, const uint8_t* data, uint32_t length,
                   uint32_t (*word)(const uint8_t*));
std::string fileNameOf(const std::string& path, const char* separators);
bool endsWith(const std::string& text, const std::string& suffix);

namespace Platform {

extern const char* const PATH_SEPARATOR;
// The walk reads such an entry as a plug-in instead of entering it.
bool isPluginEntry(const FolderEntry& entry);
PluginInfo readPlugin(const std::string& path);
// The signature state of one of the maker's own plug-ins.
int signatureStatusOf(const std::string& path);

}  // namespace Platform

}  // namespace PluginDiagnostics
