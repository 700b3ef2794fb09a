// extractZip on any bytes: no crash, no leak, and nothing created outside the
// destination. Each input gets a private folder holding the archive and the
// destination; after the extraction,
//  - the private folder holds nothing but the archive, the stamp and the
//    destination (which catches "..", absolute names and links to the folder);
//  - for every entry name and each of its leading parts, a path under the
//    destination that resolves (through links the archive made) to a place
//    outside the destination must not have been created or changed by this run
//    (which catches writes through links to anywhere else);
//  - every link the run made resolves inside the destination, through the
//    links before it (which catches links that lead out for later use, such
//    as a target cut short at a NUL byte).
// What "this run" made is told by the status-change time (files, links) and
// the birth time (folders), compared with a stamp file made just before the
// extraction.
//
// Besides libFuzzer's byte mutations, which mostly break the archive's
// checksums, half the mutations read the archive's entries, change one
// (its name, its content or link target, its kind) or add or drop one, and
// write a valid archive again, so that names and targets are explored too.
#include "../support/link_resolution.h"
#include "fuzz_support.h"
#include "installer_download.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

using zrvk_fuzz::fail;

struct Stamp {
    struct statx_timestamp changed;
    struct statx_timestamp born;
};

bool notBefore(const struct statx_timestamp& a, const struct statx_timestamp& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// A file or link changed after the stamp, or a folder made after it (a
// folder's change time moves whenever anything is added to it, so a folder
// that was there before, such as /tmp, is not counted).
bool newSince(const std::string& path, const Stamp& stamp) {
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    if (S_ISDIR(sx.stx_mode)) return (sx.stx_mask & STATX_BTIME) && notBefore(sx.stx_btime, stamp.born);
    return notBefore(sx.stx_ctime, stamp.changed);
}

bool within(const std::string& path, const std::string& folder) {
    return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// The names the archive gives its entries, as extractZip reads them.
std::vector<std::string> entryNames(const std::string& archive) {
    std::vector<std::string> names;
    int error = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_RDONLY, &error);
    if (!za) return names;
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n && i < 4096; ++i) {
        const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        if (!name) continue;
        std::string path = name;
        for (char& c : path)
            if (c == '\\') c = '/';
        names.push_back(path);
    }
    zip_discard(za);
    return names;
}

void checkFolderHoldsOnly(const zrvk_fuzz::PrivateFolder& root) {
    DIR* dir = opendir(root.path().c_str());
    if (!dir) fail("private folder vanished");
    while (const struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "archive.zip" || name == "stamp" || name == "dest") continue;
        closedir(dir);
        fail("extractZip created " + root / name + " outside the destination");
    }
    closedir(dir);
    struct stat st;
    if (lstat((root / "dest").c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) fail("the destination is no longer a folder");
}

// A path below the destination that leads outside it and was created or
// changed after the stamp.
void checkNoWriteThroughLinks(const std::string& dest, const std::vector<std::string>& names, const Stamp& stamp,
                              const std::string& stampPath) {
    for (const std::string& name : names) {
        for (size_t end = name.find('/');; end = name.find('/', end + 1)) {
            const std::string path = dest + "/" + name.substr(0, end);
            const size_t slash = path.rfind('/');
            const std::string last = path.substr(slash + 1);
            // ".", ".." and "" name folders that exist already; nothing is made there.
            char* parent = last.empty() || last == "." || last == ".." ? nullptr
                                                                        : realpath(path.substr(0, slash).c_str(), nullptr);
            if (parent) {
                const std::string resolved = std::string(parent) + "/" + last;
                std::free(parent);
                if (!within(resolved, dest) && resolved != stampPath && newSince(resolved, stamp))
                    fail("extractZip wrote " + resolved + " (entry " + name + ") outside the destination");
            }
            if (end == std::string::npos) break;
        }
    }
}

void checkLinksStayInside(const std::string& dest) {
    const std::string where = zrvk_links::firstLinkLeadingOut(dest);
    if (!where.empty()) fail("extractZip made a link that leads outside: " + where);
}

// ---------------------------------------------------------------------------
// Mutations of the archive's entries.

constexpr zip_uint32_t kLinkAttributes = 0120777u << 16;
constexpr zip_uint32_t kFileAttributes = 0100644u << 16;
constexpr size_t kMaxEntryBytes = 8192;

struct Entry {
    std::string name;
    std::string data;
    zip_uint32_t attributes = kFileAttributes;
    bool folder = false;
};

bool readEntries(const uint8_t* data, size_t size, std::vector<Entry>& entries) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(data, size, 0, &error);
    zip_error_fini(&error);
    if (!src) return false;
    zip_t* za = zip_open_from_source(src, ZIP_RDONLY, nullptr);
    if (!za) {
        zip_source_free(src);
        return false;
    }
    const zip_int64_t n = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < n && i < 64; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* name = zip_get_name(za, index, ZIP_FL_ENC_RAW);
        if (!name) continue;
        Entry e;
        e.name = name;
        zip_uint8_t opsys = 0;
        if (zip_file_get_external_attributes(za, index, 0, &opsys, &e.attributes) != 0) e.attributes = 0;
        e.folder = !e.name.empty() && e.name.back() == '/';
        if (zip_file_t* zf = zip_fopen_index(za, index, 0)) {
            char buf[kMaxEntryBytes];
            const zip_int64_t got = zip_fread(zf, buf, sizeof buf);
            if (got > 0) e.data.assign(buf, static_cast<size_t>(got));
            zip_fclose(zf);
        }
        entries.push_back(std::move(e));
    }
    zip_discard(za);
    return true;
}

std::string writeEntries(const std::vector<Entry>& entries) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_error_fini(&error);
    if (!src) return "";
    zip_t* za = zip_open_from_source(src, ZIP_TRUNCATE, nullptr);
    if (!za) {
        zip_source_free(src);
        return "";
    }
    zip_source_keep(src);
    for (const Entry& e : entries) {
        zip_int64_t index = -1;
        if (e.folder) {
            index = zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_RAW);
        } else if (zip_source_t* content = zip_source_buffer(za, e.data.data(), e.data.size(), 0)) {
            index = zip_file_add(za, e.name.c_str(), content, ZIP_FL_ENC_RAW);
            if (index < 0) zip_source_free(content);
        }
        if (index < 0) continue;
        zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
        zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX, e.attributes);
    }
    std::string bytes;
    if (zip_close(za) != 0) {
        zip_discard(za);
    } else if (zip_source_open(src) == 0) {
        char buf[8192];
        for (zip_int64_t got; (got = zip_source_read(src, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(got));
        zip_source_close(src);
    }
    zip_source_free(src);
    return bytes;
}

// libFuzzer's own mutation of one field.
void mutateText(std::string& text, size_t maxSize) {
    std::vector<uint8_t> buf(text.begin(), text.end());
    buf.resize(maxSize);
    const size_t size = LLVMFuzzerMutate(buf.data(), text.size(), maxSize);
    text.assign(reinterpret_cast<const char*>(buf.data()), size);
}

void mutateEntries(std::vector<Entry>& entries, std::minstd_rand& rng) {
    if (entries.empty() || rng() % 8 == 0) {
        Entry e;
        e.name = entries.empty() ? "a" : entries[rng() % entries.size()].name + "x";
        e.attributes = rng() % 2 ? kLinkAttributes : kFileAttributes;
        e.data = "..";
        entries.insert(entries.begin() + static_cast<long>(entries.empty() ? 0 : rng() % (entries.size() + 1)), e);
        return;
    }
    Entry& e = entries[rng() % entries.size()];
    switch (rng() % 6) {
        case 0:
        case 1: mutateText(e.data, e.data.size() + 16); break;
        case 2:
        case 3: mutateText(e.name, e.name.size() + 16); break;
        case 4:
            e.folder = false;
            e.attributes = e.attributes == kLinkAttributes ? kFileAttributes : kLinkAttributes;
            break;
        default:
            if (entries.size() > 1) entries.erase(entries.begin() + static_cast<long>(&e - entries.data()));
            break;
    }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
    std::minstd_rand rng(seed);
    std::vector<Entry> entries;
    if (rng() % 2 == 0 || !readEntries(data, size, entries)) return LLVMFuzzerMutate(data, size, maxSize);
    mutateEntries(entries, rng);
    const std::string bytes = writeEntries(entries);
    if (bytes.empty() || bytes.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, bytes.data(), bytes.size());
    return bytes.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zrvk_fuzz::PrivateFolder root;
    const std::string archive = root / "archive.zip";
    const std::string dest = root / "dest";
    if (!zrvk_fuzz::writeBytes(archive, data, size) || mkdir(dest.c_str(), 0700) != 0) fail("cannot set up the input");
    if (!zrvk_fuzz::writeBytes(root / "stamp", data, 0)) fail("cannot write the stamp");
    struct statx sx;
    if (statx(AT_FDCWD, (root / "stamp").c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        fail("cannot read the stamp");
    const Stamp stamp{sx.stx_ctime, sx.stx_btime};

    extractZip(archive, dest, [](uint64_t current, uint64_t total) {
        if (current > total) fail("progress beyond its total");
    }, [](const std::string&) {});

    checkFolderHoldsOnly(root);
    checkNoWriteThroughLinks(dest, entryNames(archive), stamp, root / "stamp");
    checkLinksStayInside(dest);
    return 0;
}
