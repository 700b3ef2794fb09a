// Archive content for the installation benchmark, generated one entry at a
// time and written with libzip.
#include "install_bench.h"

#include <zip.h>

#include <algorithm>
#include <cstring>

namespace bench::install {
namespace {

struct Rng {
    std::uint64_t state;
    explicit Rng(std::uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    std::uint64_t below(std::uint64_t n) { return n ? next() % n : 0; }
};

const char* const WORDS[] = {"def",    "return", "self",   "import", "from",   "class",  "None",  "if",
                             "else",   "for",    "in",     "while",  "try",    "except", "raise", "with",
                             "as",     "lambda", "yield",  "value",  "result", "path",   "name",  "args",
                             "kwargs", "data",   "buffer", "module", "object", "len",    "dict",  "list",
                             "str",    "int",    "os",     "sys",    "encode", "decode", "open",  "close",
                             "_cache", "handle", "index",  "offset", "count",  "config", "error", "state"};

// Text reads like source code (deflates to about a quarter); bytecode is half
// structure, half noise; binaries are mostly noise with some zero runs.
std::string makeContent(Kind kind, std::uint64_t size, std::uint64_t seed) {
    std::string out;
    out.reserve(size + 64);
    Rng rng(seed);
    if (kind == Kind::Text) {
        int column = 0;
        while (out.size() < size) {
            if (column == 0) out.append(4 * rng.below(3), ' ');
            out += WORDS[rng.below(sizeof(WORDS) / sizeof(WORDS[0]))];
            if (++column >= 4 + static_cast<int>(rng.below(6))) {
                out += rng.below(4) == 0 ? ":\n" : "\n";
                column = 0;
            } else {
                out += rng.below(5) == 0 ? "(" : " ";
            }
        }
    } else {
        const std::size_t noise = kind == Kind::Bytecode ? 96 : 200;
        while (out.size() < size) {
            for (std::size_t i = 0; i < noise; i += 8) {
                const std::uint64_t v = rng.next();
                out.append(reinterpret_cast<const char*>(&v), 8);
            }
            out.append(256 - noise, kind == Kind::Bytecode ? 'c' : '\0');
        }
    }
    out.resize(size);
    return out;
}
// A libzip source that makes an entry's bytes when libzip opens it, so the
// whole archive is never held in memory.
struct GeneratedSource {
    Entry entry;
    std::string data;
    std::size_t offset = 0;
    zip_error_t error;
};

zip_int64_t generatedCallback(void* user, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* src = static_cast<GeneratedSource*>(user);
    switch (cmd) {
    case ZIP_SOURCE_OPEN:
        src->data = src->entry.linkTarget.empty() ? makeContent(src->entry.kind, src->entry.size, src->entry.seed)
                                                  : src->entry.linkTarget;
        src->offset = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        const std::size_t n = std::min<std::size_t>(len, src->data.size() - src->offset);
        std::memcpy(data, src->data.data() + src->offset, n);
        src->offset += n;
        return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
        std::string().swap(src->data);
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = src->entry.linkTarget.empty() ? src->entry.size : src->entry.linkTarget.size();
        st->mtime = 1700000000;
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        return sizeof(*st);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&src->error, data, len);
    case ZIP_SOURCE_FREE:
        zip_error_fini(&src->error);
        delete src;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
        zip_error_set(&src->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}
// Directory entries for every parent folder, as archivers write them.
void addParents(std::vector<Entry>& entries) {
    std::set<std::string> dirs;
    for (const Entry& e : entries) {
        for (std::size_t pos = e.name.find('/'); pos != std::string::npos; pos = e.name.find('/', pos + 1)) {
            dirs.insert(e.name.substr(0, pos + 1));
        }
    }
    std::vector<Entry> all;
    for (const std::string& d : dirs) {
        Entry dir;
        dir.name = d;
        dir.directory = true;
        dir.mode = 0755;
        all.push_back(dir);
    }
    all.insert(all.end(), entries.begin(), entries.end());
    entries.swap(all);
}

}  // namespace

bool writeArchive(const std::string& path, const std::vector<Entry>& entries, std::string& error) {
    int code = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!za) {
        error = "cannot create " + path;
        return false;
    }
    for (const Entry& e : entries) {
        zip_int64_t index = -1;
        unsigned type = 0100000;
        if (e.directory) {
            index = zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_UTF_8);
            type = 0040000;
        } else {
            auto* src = new GeneratedSource{e, {}, 0, {}};
            zip_error_init(&src->error);
            zip_source_t* source = zip_source_function(za, generatedCallback, src);
            if (!source) {
                delete src;
                error = "cannot make a source";
                zip_discard(za);
                return false;
            }
            index = zip_file_add(za, e.name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
            } else if (!e.linkTarget.empty()) {
                type = 0120000;
                zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
            }
        }
        if (index < 0) {
            error = std::string("cannot add ") + e.name + ": " + zip_strerror(za);
            zip_discard(za);
            return false;
        }
        zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>((type | e.mode) << 16));
    }
    if (zip_close(za) != 0) {
        error = std::string("cannot write ") + path + ": " + zip_strerror(za);
        zip_discard(za);
        return false;
    }
    return true;
}

std::vector<Entry> renderEngineTree(std::uint64_t archiveBytes, int files) {
    std::vector<Entry> entries;
    Rng rng(42);
    std::uint64_t seed = 1000;
    auto add = [&](const std::string& name, Kind kind, std::uint64_t size, unsigned mode = 0644) {
        Entry e;
        e.name = name;
        e.kind = kind;
        e.size = std::max<std::uint64_t>(size, 16);
        e.seed = seed++;
        e.mode = mode;
        entries.push_back(e);
    };
    const double textRatio = 0.27, bytecodeRatio = 0.45, binaryRatio = 0.8;
    const int sources = files * 50 / 100;
    const int bytecode = files * 35 / 100;
    const int extensions = files * 12 / 100;
    const int headers = std::max(1, files - sources - bytecode - extensions);
    const double b = static_cast<double>(archiveBytes);
    // Shares of the archive: sources 14%, bytecode 11%, extensions 20%,
    // headers 1%, large libraries 54%.
    auto jitter = [&](double mean) {
        return static_cast<std::uint64_t>(mean * (0.2 + 1.6 * static_cast<double>(rng.below(1000)) / 1000.0));
    };
    const int packages = std::max(1, sources / 25);
    for (int i = 0; i < sources; ++i) {
        const std::string dir = "lib/python3.10/" + (i % 3 == 0 ? std::string("site-packages/") : std::string()) +
                                "pkg" + std::to_string(i % packages) + "/";
        add(dir + "module" + std::to_string(i) + ".py", Kind::Text, jitter(b * 0.14 / sources / textRatio));
        if (i < bytecode) {
            add(dir + "__pycache__/module" + std::to_string(i) + ".cpython-310.pyc", Kind::Bytecode,
                jitter(b * 0.11 / bytecode / bytecodeRatio));
        }
    }
    for (int i = 0; i < extensions; ++i) {
        add("lib/python3.10/lib-dynload/_ext" + std::to_string(i) + ".cpython-310-darwin.so", Kind::Binary,
            jitter(b * 0.20 / extensions / binaryRatio), 0755);
    }
    for (int i = 0; i < headers; ++i) {
        add("include/python3.10/header" + std::to_string(i) + ".h", Kind::Text, jitter(b * 0.01 / headers / textRatio));
    }
    const char* const large[] = {"lib/libpython3.10.dylib", "lib/python3.10/site-packages/torch/lib/libtorch_cpu.dylib",
                                 "lib/python3.10/site-packages/torch/lib/libtorch.dylib",
                                 "lib/python3.10/site-packages/numpy/core/_multiarray_umath.cpython-310-darwin.so",
                                 "lib/python3.10/site-packages/cv2/cv2.abi3.so"};
    const double largeShares[] = {0.06, 0.30, 0.08, 0.04, 0.06};
    for (int i = 0; i < 5; ++i) add(large[i], Kind::Binary, static_cast<std::uint64_t>(b * largeShares[i] / binaryRatio), 0755);
    add("bin/python3.10", Kind::Binary, 60 * 1024, 0755);
    Entry link;
    link.name = "bin/python3";
    link.linkTarget = "python3.10";
    link.mode = 0777;
    entries.push_back(link);
    addParents(entries);
    return entries;
}

std::vector<Entry> smallTree(const std::string& prefix, int files, std::uint64_t bytes, std::uint64_t seed,
                             const std::vector<std::pair<std::string, std::uint64_t>>& binaries) {
    std::vector<Entry> entries;
    for (int i = 0; i < files; ++i) {
        Entry e;
        e.name = prefix + (i == 0 ? std::string("launcher.py") : "app/part" + std::to_string(i % 7) + "/file" +
                                                                    std::to_string(i) + ".py");
        e.kind = Kind::Text;
        e.size = bytes / static_cast<std::uint64_t>(files);
        e.seed = seed + static_cast<std::uint64_t>(i);
        entries.push_back(e);
    }
    for (const auto& bin : binaries) {
        Entry e;
        e.name = bin.first;
        e.kind = Kind::Binary;
        e.size = bin.second;
        e.seed = seed + 100000;
        e.mode = 0755;
        entries.push_back(e);
    }
    addParents(entries);
    return entries;
}

}  // namespace bench::install
