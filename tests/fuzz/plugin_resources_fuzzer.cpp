// The plug-in resource reader on any bytes, as a macOS bundle's resource file
// and as an .aex file: no crash, no read outside the data (ASan), and the
// same name, version and match name as a plain second reading of the record
// layout done here.
#include "fuzz_support.h"
#include "plugin_diagnostics.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using PluginDiagnostics::PluginInfo;
using zrvk_fuzz::check;

struct Fields {
    std::string name, version, matchName;
};

uint32_t bigEndian(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t littleEndian(const uint8_t* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

std::string pascalText(const uint8_t* p, size_t maxLen) {
    if (maxLen == 0) return "";
    if (p[0] != 0 && p[0] < maxLen) return std::string(reinterpret_cast<const char*>(p + 1), p[0]);
    std::string out;
    for (size_t k = 0; k < maxLen && p[k] != 0; ++k)
        if (p[k] >= 0x20 && p[k] <= 0x7E) out += static_cast<char>(p[k]);
    return out;
}

std::string versionText(uint32_t v) {
    const unsigned major = ((v >> 26) & 0xF) * 8 + ((v >> 19) & 0x7);
    return std::to_string(major) + "." + std::to_string((v >> 15) & 0xF) + "." + std::to_string((v >> 11) & 0xF);
}

void take(Fields& f, const std::string& key, const uint8_t* data, size_t len, uint32_t (*word)(const uint8_t*)) {
    if (key == "name") f.name = pascalText(data, len);
    if (key == "eVER" && len >= 4) f.version = versionText(word(data));
    if (key == "eMNA") f.matchName = pascalText(data, len);
}

Fields macReading(const uint8_t* d, size_t n) {
    Fields f;
    for (size_t i = 0; i + 16 < n;) {
        if (std::memcmp(d + i, "8BIM", 4) != 0) {
            ++i;
            continue;
        }
        const uint32_t len = bigEndian(d + i + 12);
        if (len == 0 || len >= 10000 || i + 16 + len > n) {
            ++i;
            continue;
        }
        take(f, std::string(reinterpret_cast<const char*>(d + i + 4), 4), d + i + 16, len, bigEndian);
        i += 16 + len;
    }
    return f;
}

Fields winReading(const uint8_t* d, size_t n) {
    Fields f;
    for (size_t i = 0; i + 16 < n;) {
        if (std::memcmp(d + i, "MIB8", 4) != 0) {
            ++i;
            continue;
        }
        const std::string key = {static_cast<char>(d[i + 7]), static_cast<char>(d[i + 6]), static_cast<char>(d[i + 5]),
                                 static_cast<char>(d[i + 4])};
        size_t p = i + 8;
        while (p < i + 16 && p < n && d[p] == 0) ++p;
        if (p + 4 > n) break;
        const uint32_t len = littleEndian(d + p);
        if (len == 0 || len > 9999 || p + 4 + len > n) {
            ++i;
            continue;
        }
        take(f, key, d + p + 4, len, littleEndian);
        size_t next = p + 4 + len;
        while (next + 4 <= n && std::memcmp(d + next, "MIB8", 4) != 0) ++next;
        i = next + 4 <= n ? next : n - 4;
    }
    return f;
}

void compare(const PluginInfo& got, const Fields& want, const std::string& file, const char* reader) {
    const std::string who = reader;
    check(got.file == file, who + ": file is " + got.file);
    check(got.name == want.name, who + ": name differs");
    check(got.version == want.version, who + ": version differs: " + got.version + " vs " + want.version);
    check(got.match_name == want.matchName, who + ": match name differs");
    check(!got.own && got.status == 0, who + ": own or status set");
}

// One bundle and one .aex file for the whole run; each input rewrites them.
struct Files {
    zrvk_fuzz::PrivateFolder root;
    std::string bundle = root / "Fuzz.plugin";
    std::string rsrc = bundle + "/Contents/Resources/Fuzz.rsrc";
    std::string aex = root / "Fuzz.aex";
    Files() {
        for (const std::string& dir : {bundle, bundle + "/Contents", bundle + "/Contents/Resources"})
            if (mkdir(dir.c_str(), 0700) != 0) zrvk_fuzz::fail("cannot make " + dir);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Files files;
    if (!zrvk_fuzz::writeBytes(files.rsrc, data, size) || !zrvk_fuzz::writeBytes(files.aex, data, size))
        zrvk_fuzz::fail("cannot write the resource files");
    compare(PluginDiagnostics::parsePluginMac(files.bundle), macReading(data, size), "Fuzz.plugin", "parsePluginMac");
    compare(PluginDiagnostics::parsePluginWin(files.aex), winReading(data, size), "Fuzz.aex", "parsePluginWin");
    return 0;
}
