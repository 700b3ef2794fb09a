// The bytes of Adobe plug-in property records, in the byte orders of the two
// programs. Portable: the Windows test program builds its .aex files with it.
#pragma once

#include <cstdint>
#include <string>

namespace zrvk_test {

// The packed plug-in version word: major is split 4+3 bits, then minor and fix.
inline uint32_t versionWord(unsigned major, unsigned minor, unsigned fix) {
    return ((major / 8 & 0xF) << 26) | ((major % 8 & 0x7) << 19) | ((minor & 0xF) << 15) | ((fix & 0xF) << 11);
}

inline std::string bigEndian32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
inline std::string littleEndian32(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

inline std::string pascal(const std::string& text) { return std::string(1, static_cast<char>(text.size())) + text; }

// One record as the macOS resource file holds it ("8BIM", key, id, big-endian length, data).
inline std::string macRecord(const std::string& key, const std::string& data, uint32_t id = 0) {
    return "8BIM" + key + bigEndian32(id) + bigEndian32(static_cast<uint32_t>(data.size())) + data;
}
// The same record as an .aex file holds it: "MIB8", the key reversed, little-endian.
inline std::string winRecord(const std::string& key, const std::string& data, uint32_t id = 0) {
    return "MIB8" + std::string(key.rbegin(), key.rend()) + littleEndian32(id) +
           littleEndian32(static_cast<uint32_t>(data.size())) + data;
}

// name, eVER and eMNA records in either byte order, with filler around them.
inline std::string pluginProperties(const std::string& name, uint32_t version, const std::string& matchName,
                                    bool windows) {
    auto record = windows ? winRecord : macRecord;
    auto word = windows ? littleEndian32 : bigEndian32;
    std::string out = std::string(40, '\x11');
    if (!name.empty()) out += record("name", pascal(name), 0);
    if (version != 0) out += record("eVER", word(version), 0);
    if (!matchName.empty()) out += record("eMNA", pascal(matchName), 0);
    return out + std::string(24, '\x22');
}

// An .aex file: the first bytes of a PE header, code-like filler, the records.
inline std::string aexFile(const std::string& name, uint32_t version, const std::string& matchName) {
    return "MZ" + std::string(200, '\x90') + pluginProperties(name, version, matchName, true) + std::string(100, '\0');
}

}  // namespace zrvk_test
