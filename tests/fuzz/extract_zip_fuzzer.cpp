// extractZip on any bytes: no crash, no leak, and nothing created outside the
// destination. Each input gets a private folder holding the archive and the
// destination; after the extraction,
//  - the private folder holds nothing but the archive, the stamp and the
//    destination (which catches "..", absolute names and links to the folder);
//  - for every entry name and each of its leading parts, a path under the
//    destination that resolves (through links the archive made) to a place
//    outside the destination must not have been created or changed by this run
//    (which catches writes through links to anywhere else).
// What "this run" made is told by the status-change time (files, links) and
// the birth time (folders), compared with a stamp file made just before the
// extraction.
#include "fuzz_support.h"
#include "installer_download.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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

}  // namespace

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
    return 0;
}
