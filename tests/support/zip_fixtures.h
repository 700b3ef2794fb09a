// ZIP archives built at test time with libzip, so nothing binary is committed.
#pragma once

#include <zip.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zrvk_test {

struct ZipEntry {
    enum class Kind { File, Folder, Link };
    std::string name;  // stored as given (raw), backslashes included
    std::string data;  // file content, or the link's target text
    Kind kind = Kind::File;
    bool store = false;            // no compression (lets a test find and corrupt the bytes)
    bool dosFolderBit = false;     // external attributes carry 0x10 without a trailing slash

    static ZipEntry file(std::string name, std::string data, bool store = false) {
        return ZipEntry{std::move(name), std::move(data), Kind::File, store, false};
    }
    static ZipEntry folder(std::string name) { return ZipEntry{std::move(name), "", Kind::Folder, false, false}; }
    static ZipEntry link(std::string name, std::string target) {
        return ZipEntry{std::move(name), std::move(target), Kind::Link, true, false};
    }
};

// Writes the archive; returns "" or a description of what failed.
inline std::string buildZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return "zip_open failed: " + std::to_string(err);
    for (const ZipEntry& e : entries) {
        zip_int64_t index = -1;
        if (e.kind == ZipEntry::Kind::Folder) {
            index = zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_RAW);
        } else {
            zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
            if (!src) break;
            index = zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_RAW);
            if (index < 0) zip_source_free(src);
        }
        if (index < 0) {
            std::string msg = std::string("adding ") + e.name + ": " + zip_strerror(za);
            zip_discard(za);
            return msg;
        }
        if (e.store) zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        if (e.kind == ZipEntry::Kind::Link) {
            zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                             static_cast<zip_uint32_t>(0120777u) << 16);
        } else if (e.dosFolderBit) {
            zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_DOS, 0x10);
        }
    }
    if (zip_close(za) != 0) {
        std::string msg = std::string("zip_close: ") + zip_strerror(za);
        zip_discard(za);
        return msg;
    }
    return "";
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Flips one byte of the first occurrence of marker (a stored entry's data),
// so that entry fails its CRC check.
inline bool corruptMarker(const std::string& path, const std::string& marker) {
    std::string bytes = slurp(path);
    size_t pos = bytes.find(marker);
    if (pos == std::string::npos) return false;
    bytes[pos + marker.size() / 2] ^= 0x55;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

// Splits a file into parts of the given sizes (the last takes the rest).
inline std::vector<std::string> splitBytes(const std::string& bytes, const std::vector<size_t>& sizes) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (size_t i = 0; i < sizes.size() && pos < bytes.size(); ++i) {
        parts.push_back(bytes.substr(pos, sizes[i]));
        pos += sizes[i];
    }
    if (pos < bytes.size()) parts.push_back(bytes.substr(pos));
    return parts;
}

}  // namespace zrvk_test
