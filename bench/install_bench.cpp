// Whole-installation benchmark.
//
// Builds a catalogue at run time (a runtime-like render engine split into
// three parts, a small server package and two plug-ins), serves it from the
// loopback server and measures two runs of the same work:
//   floor      curl -s -o for every archive, cat to join the parts, unzip -q
//              into staging folders, then the same copy chains the installer
//              runs (mkdir, rm, cp -R, chown, chmod);
//   installer  installationThreadFunc started through startInstallation_cb,
//              in a child process of its own so its peak memory is its own.
// Prints both wall times, their ratio, peak memory, the progress scripts that
// reached the page (total and per second) and a phase split of both runs.
//
// Everything goes under the sandbox root of the build and is removed at the
// end (--keep leaves the work folder and the timestamped installer log). It
// shares the sandbox with the tests: do not run it while ctest runs.
//
//   bench/install                        full size: a 200 MB render engine
//   bench/install --engine-mb 20         quick run
//   bench/install --rounds 3             medians of three alternating rounds
//   xvfb-run -a bench/install --page     also replay the scripts into the page
//   bench/install --settle 61            wait before each timed run: ext4
//       passes over inodes freed in the last minute on every file it creates,
//       so a run right after the removal of the other's trees pays for it
#include "bridge.h"
#include "installation.h"
#include "manifest.h"
#include "progress.h"

#include "installer_config.h"
#include "loopback_server.h"
#include "bench_common.h"
#include "stand_ins.h"

#include <curl/curl.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <spawn.h>

extern char** environ;

using json = nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;
using zrvk::test::LoopbackServer;
using zrvk::test::Response;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

int run(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool removeTree(const std::string& path) { return run("rm -rf " + shellQuote(path)) == 0; }

bool makeDirs(const std::string& path) { return run("mkdir -p " + shellQuote(path)) == 0; }

std::uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::set<std::string> listDir(const std::string& path) {
    std::set<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        ::closedir(dir);
    }
    return names;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return static_cast<bool>(out);
}

// ---------------------------------------------------------------------------
// Archive content, generated deterministically one entry at a time.

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

enum class Kind { Text, Bytecode, Binary };

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

struct Entry {
    std::string name;
    Kind kind = Kind::Text;
    std::uint64_t size = 0;
    std::uint64_t seed = 0;
    unsigned mode = 0644;
    std::string linkTarget;  // symbolic link when set
    bool directory = false;
};

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

// A runtime-like tree: many small sources, their bytecode, extension modules,
// a few large libraries. Sizes are chosen so the archive is about
// `archiveBytes` (measured deflate ratios: text ~0.27, bytecode ~0.45,
// binary ~0.8).
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
                             const std::vector<std::pair<std::string, std::uint64_t>>& binaries = {}) {
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

bool splitFile(const std::string& path, int parts, std::vector<std::string>& out, std::string& error) {
    const std::string data = readAll(path);
    if (data.empty()) {
        error = "cannot read " + path;
        return false;
    }
    const std::size_t slice = data.size() / static_cast<std::size_t>(parts) + 1;
    for (int i = 0; i < parts; ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), ".%03d", i);
        const std::size_t from = std::min(data.size(), slice * static_cast<std::size_t>(i));
        const std::size_t to = std::min(data.size(), from + slice);
        const std::string partPath = path + suffix;
        if (!writeAll(partPath, data.substr(from, to - from))) {
            error = "cannot write " + partPath;
            return false;
        }
        out.push_back(partPath);
    }
    return ::unlink(path.c_str()) == 0 || (error = "cannot remove " + path, false);
}

// ---------------------------------------------------------------------------
// The catalogue

struct Catalogue {
    std::string dir;
    std::vector<std::string> engineParts;  // local files
    std::string server, glowAdobe, glowMrv, blurMrv, blurExtra;
    std::uint64_t engineBytes = 0;
    std::size_t engineEntries = 0;
};

const char* const ENGINE_VERSION = "3";
const char* const SERVER_VERSION = "1.4.2";

// The names and sizes of a built catalogue, for the process that serves it.
void catalogueNames(const std::string& dir, int files, Catalogue& cat) {
    cat.dir = dir;
    cat.engineParts.clear();
    cat.engineBytes = 0;
    for (int i = 0; i < 3; ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), ".%03d", i);
        cat.engineParts.push_back(dir + "/render_engine_v3.zip" + suffix);
        cat.engineBytes += fileSize(cat.engineParts.back());
    }
    cat.engineEntries = renderEngineTree(1, files).size();
    cat.server = dir + "/mrv_server_1.4.2.zip";
    cat.glowAdobe = dir + "/zrvk_glow_adobe.zip";
    cat.glowMrv = dir + "/zrvk_glow_mrv.zip";
    cat.blurMrv = dir + "/zrvk_blur_mrv.zip";
    cat.blurExtra = dir + "/zrvk_blur_extra.zip";
}

bool buildCatalogue(const std::string& dir, std::uint64_t engineBytes, int files, Catalogue& cat, std::string& error) {
    cat.dir = dir;
    if (!makeDirs(dir)) {
        error = "cannot create " + dir;
        return false;
    }
    const std::string engine = dir + "/render_engine_v3.zip";
    const std::vector<Entry> tree = renderEngineTree(engineBytes, files);
    cat.engineEntries = tree.size();
    if (!writeArchive(engine, tree, error)) return false;
    cat.engineBytes = fileSize(engine);
    if (!splitFile(engine, 3, cat.engineParts, error)) return false;

    cat.server = dir + "/mrv_server_1.4.2.zip";
    cat.glowAdobe = dir + "/zrvk_glow_adobe.zip";
    cat.glowMrv = dir + "/zrvk_glow_mrv.zip";
    cat.blurMrv = dir + "/zrvk_blur_mrv.zip";
    cat.blurExtra = dir + "/zrvk_blur_extra.zip";
    return writeArchive(cat.server, smallTree("", 150, 3u << 20, 7), error) &&
           writeArchive(cat.glowAdobe,
                        smallTree("zrvk_glow.plugin/Contents/Resources/", 3, 20000, 11,
                                  {{"zrvk_glow.plugin/Contents/MacOS/zrvk_glow", 1500000}}),
                        error) &&
           writeArchive(cat.glowMrv, smallTree("", 20, 200000, 13, {{"models/glow.bin", 4u << 20}}), error) &&
           writeArchive(cat.blurMrv, smallTree("", 20, 200000, 17, {{"models/blur.bin", 3u << 20}}), error) &&
           writeArchive(cat.blurExtra, smallTree("", 10, 100000, 19, {{"extra/lut.bin", 1u << 20}}), error);
}

std::string manifestFor(const std::string& base) {
    nlohmann::json m;
    m["latest_render_engine_mac_x64_version"] = std::stoi(ENGINE_VERSION);
    m["latest_render_engine_mac_x64_url"] = base + "/engine/render_engine_v{number}.zip";
    m["latest_mrv_server_version_mac"] = SERVER_VERSION;
    m["mrv_server_mac_url"] = base + "/server/mrv_server_{text}.zip";
    m["plugins"] = nlohmann::json::array(
        {{{"id", "zrvk_glow"},
          {"name", "Glow"},
          {"adobe_plugin_mac_url", base + "/plugins/zrvk_glow_adobe.zip"},
          {"mrv_plugin_mac_url", base + "/plugins/zrvk_glow_mrv.zip"}},
         {{"id", "zrvk_blur"},
          {"name", "Blur"},
          {"mrv_plugin_mac_url", base + "/plugins/zrvk_blur_mrv.zip"},
          {"additional_files_url", base + "/plugins/zrvk_blur_extra.zip"}}});
    return m.dump(2);
}

void serveCatalogue(LoopbackServer& server, const Catalogue& cat) {
    for (std::size_t i = 0; i < cat.engineParts.size(); ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), ".%03d", static_cast<int>(i % 1000));
        server.route("GET", std::string("/engine/render_engine_v3.zip") + suffix, Response::file(cat.engineParts[i]));
    }
    server.route("GET", "/server/mrv_server_1.4.2.zip", Response::file(cat.server));
    server.route("GET", "/plugins/zrvk_glow_adobe.zip", Response::file(cat.glowAdobe));
    server.route("GET", "/plugins/zrvk_glow_mrv.zip", Response::file(cat.glowMrv));
    server.route("GET", "/plugins/zrvk_blur_mrv.zip", Response::file(cat.blurMrv));
    server.route("GET", "/plugins/zrvk_blur_extra.zip", Response::file(cat.blurExtra));
}

// ---------------------------------------------------------------------------
// The floor: the same work with standard tools.

struct Timed {
    std::string name;
    double seconds;
    long scripts = -1;  // progress scripts sent in the phase, when known
};

std::string rerooted(const std::string& path, const std::string& root) {
    const std::string& prefix = InstallerConfig::ROOT_PREFIX;
    return root + (path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path);
}

std::string ownerText() { return std::to_string(::getuid()) + ":" + std::to_string(::getgid()); }

// With `memFile` set, every command runs under GNU time, which appends the
// command's peak RSS (kB) to that file; started from a small process, the
// tools do not inherit this program's peak.
bool runFloor(const std::string& base, const std::string& root, const std::string& memFile,
              std::vector<Timed>& phases, std::string& error) {
    using namespace InstallerConfig::Paths;
    const std::string tmp = root + "/tmp/floor";
    auto step = [&](const std::string& name, const std::vector<std::string>& commands) {
        const auto start = Clock::now();
        for (const std::string& c : commands) {
            const std::string wrapped =
                memFile.empty() ? c : "/usr/bin/time -f %M -a -o " + shellQuote(memFile) + " sh -c " + shellQuote(c);
            if (run(wrapped) != 0) {
                error = "floor command failed: " + c;
                return false;
            }
        }
        phases.push_back({name, secondsSince(start)});
        return true;
    };
    auto sq = shellQuote;
    const std::string owner = ownerText();
    auto moveChain = [&](const std::string& staged, const std::string& dest) {
        return std::vector<std::string>{"mkdir -p " + sq(dest), "rm -rf " + sq(dest),
                                        "cp -R " + sq(staged) + " " + sq(dest), "chown -R " + owner + " " + sq(dest),
                                        "chmod -R 755 " + sq(dest), "rm -rf " + sq(staged)};
    };
    auto mergeChain = [&](const std::string& staged, const std::string& dest, const std::string& owned) {
        return std::vector<std::string>{"mkdir -p " + sq(dest), "cp -R " + sq(staged) + "/* " + sq(dest + "/"),
                                        "chown -R " + owner + " " + sq(owned), "chmod -R 755 " + sq(owned),
                                        "rm -rf " + sq(staged)};
    };
    auto fetchExtract = [&](const std::string& url, const std::string& staged) {
        const std::string zip = tmp + "/download.zip";
        return std::vector<std::string>{"curl -s -o " + sq(zip) + " " + sq(url), "unzip -q " + sq(zip) + " -d " + sq(staged),
                                        "rm -f " + sq(zip)};
    };
    if (!makeDirs(tmp)) {
        error = "cannot create " + tmp;
        return false;
    }
    const std::string engineStage = tmp + "/render_engine";
    const std::string engineDest = rerooted(RENDER_ENGINE_DIR, root);
    const std::string parts = sq(tmp + "/part_0") + " " + sq(tmp + "/part_1") + " " + sq(tmp + "/part_2");
    std::vector<std::string> downloads;
    for (int i = 0; i < 3; ++i) {
        downloads.push_back("curl -s -o " + sq(tmp + "/part_" + std::to_string(i)) + " " +
                            sq(base + "/engine/render_engine_v3.zip.00" + std::to_string(i)));
    }
    if (!step("engine: download 3 parts", downloads) ||
        !step("engine: join (cat)", {"cat " + parts + " > " + sq(tmp + "/combined.zip"), "rm -f " + parts}) ||
        !step("engine: extract (unzip)",
              {"unzip -q " + sq(tmp + "/combined.zip") + " -d " + sq(engineStage), "rm -f " + sq(tmp + "/combined.zip"),
               "printf %s " + std::string(ENGINE_VERSION) + " > " + sq(engineStage + "/version.txt")}) ||
        !step("engine: place (cp/chown/chmod)", moveChain(engineStage, engineDest))) {
        return false;
    }

    const std::string serverStage = tmp + "/mrv_server";
    const std::string baseDir = rerooted(MRV_BASE_DIR, root);
    const std::string crash = rerooted(CRASH_REPORTS_DIR, root);
    std::vector<std::string> server = fetchExtract(base + "/server/mrv_server_1.4.2.zip", serverStage);
    server.push_back("printf %s " + std::string(SERVER_VERSION) + " > " + sq(serverStage + "/version.txt"));
    server.push_back("mkdir -p " + sq(baseDir));
    server.push_back("chmod 777 " + sq(baseDir));
    for (const std::string& c : moveChain(serverStage, rerooted(MRV_SERVER_DIR, root))) server.push_back(c);
    server.push_back("mkdir -p " + sq(crash));
    server.push_back("chmod 777 " + sq(crash));
    if (!step("server", server)) return false;

    const std::string pluginsDir = rerooted(PLUGINS_DIR, root);
    const std::string mrvPlugins = rerooted(MRV_PLUGINS_DIR, root);
    std::vector<std::string> plugins;
    auto append = [&](const std::vector<std::string>& more) { plugins.insert(plugins.end(), more.begin(), more.end()); };
    append(fetchExtract(base + "/plugins/zrvk_glow_adobe.zip", tmp + "/adobe_glow"));
    plugins.push_back("rm -rf " + sq(pluginsDir + "/zrvk_glow.plugin"));
    append(mergeChain(tmp + "/adobe_glow", pluginsDir, pluginsDir + "/zrvk_glow.plugin"));
    append(fetchExtract(base + "/plugins/zrvk_glow_mrv.zip", tmp + "/mrv_glow"));
    append(moveChain(tmp + "/mrv_glow", mrvPlugins + "/zrvk_glow"));
    append(fetchExtract(base + "/plugins/zrvk_blur_mrv.zip", tmp + "/mrv_blur"));
    append(moveChain(tmp + "/mrv_blur", mrvPlugins + "/zrvk_blur"));
    append(fetchExtract(base + "/plugins/zrvk_blur_extra.zip", tmp + "/extra_blur"));
    append(mergeChain(tmp + "/extra_blur", mrvPlugins + "/zrvk_blur", mrvPlugins + "/zrvk_blur"));
    return step("plugins", plugins);
}

// ---------------------------------------------------------------------------
// The installer run, in a child process.

// Peak resident size of this process image, in kB. ru_maxrss would carry
// the spawning process's peak across exec; VmHWM belongs to this image.
long peakResidentKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
    }
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct ChildResult {
    bool success = false;
    double seconds = 0;
    std::size_t scripts = 0;
    std::size_t peakPerSecond = 0;
    std::size_t peakPer100ms = 0;
    std::size_t repeated = 0;
    long baselineKb = 0;
    long peakKb = 0;
};

int childMain(const std::string& manifestPath, const std::string& resultPath, const std::string& recordPath) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const long baselineKb = peakResidentKb();
    {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        g_manifestJson = readAll(manifestPath);
    }
    std::mutex mutex;
    std::condition_variable done;
    std::vector<Clock::time_point> stamps;
    std::string completion;
    std::string previous;
    std::size_t repeated = 0;  // scripts identical to the one before
    std::vector<std::string> recorded;  // only for the page replay
    stamps.reserve(1 << 20);
    setReturnSinkForTesting([](const std::string&, int status, const std::string& result) {
        std::cout << "[BENCH] startInstallation answered " << status << ": " << result << std::endl;
    });
    setScriptSinkForTesting([&](const std::string& script) {
        std::lock_guard<std::mutex> lock(mutex);
        stamps.push_back(Clock::now());
        if (script == previous) ++repeated;
        if (!recordPath.empty()) recorded.push_back(script);
        previous = script;
        if (script.find("onInstallationComplete(") != std::string::npos) {
            completion = script;
            done.notify_all();
        }
    });
    // The script count goes into the log every 50 ms, so the log shows which
    // phase sends how many.
    std::atomic<bool> finished{false};
    std::thread sampler([&] {
        while (!finished) {
            std::size_t n;
            {
                std::lock_guard<std::mutex> lock(mutex);
                n = stamps.size();
            }
            std::cout << "[BENCH] scripts " << n << std::endl;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const auto start = Clock::now();
    startInstallation_cb("1", R"([{"pluginIds":["zrvk_glow","zrvk_blur"],"forceReinstallRenderEngine":true}])",
                         nullptr);
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return !completion.empty(); });
    const double seconds = secondsSince(start);
    lock.unlock();
    finished = true;
    sampler.join();
    std::cout << "[BENCH] scripts " << stamps.size() << std::endl;

    std::map<long, std::size_t> perSecond, per100ms;
    for (const auto& t : stamps) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - start).count();
        ++perSecond[static_cast<long>(ms / 1000)];
        ++per100ms[static_cast<long>(ms / 100)];
    }
    auto peak = [](const std::map<long, std::size_t>& m) {
        std::size_t best = 0;
        for (const auto& kv : m) best = std::max(best, kv.second);
        return best;
    };
    const long peakKb = peakResidentKb();
    if (!recordPath.empty()) {
        std::ofstream rec(recordPath, std::ios::trunc);
        // "<microseconds since start> <script>"; scripts are escaped, one line each.
        for (std::size_t i = 0; i < recorded.size(); ++i) {
            rec << std::chrono::duration_cast<std::chrono::microseconds>(stamps[i] - start).count() << ' '
                << recorded[i] << '\n';
        }
    }
    std::ofstream out(resultPath, std::ios::trunc);
    out << "success " << (completion.find("success: true") != std::string::npos ? 1 : 0) << "\n"
        << "seconds " << seconds << "\n"
        << "scripts " << stamps.size() << "\n"
        << "peak_per_second " << peak(perSecond) << "\n"
        << "peak_per_100ms " << peak(per100ms) << "\n"
        << "repeated " << repeated << "\n"
        << "baseline_kb " << baselineKb << "\n"
        << "peak_kb " << peakKb << "\n";
    out.close();
    std::cout << "[BENCH] completion: " << completion << std::endl;
    // The worker has ended; leave without running static destructors under it.
    std::cout.flush();
    std::_Exit(out ? 0 : 1);
}

bool readChildResult(const std::string& path, ChildResult& r) {
    std::ifstream in(path);
    std::string key;
    std::map<std::string, double> values;
    double v = 0;
    while (in >> key >> v) values[key] = v;
    if (!values.count("peak_kb")) return false;
    r.success = values["success"] != 0;
    r.seconds = values["seconds"];
    r.scripts = static_cast<std::size_t>(values["scripts"]);
    r.peakPerSecond = static_cast<std::size_t>(values["peak_per_second"]);
    r.peakPer100ms = static_cast<std::size_t>(values["peak_per_100ms"]);
    r.repeated = static_cast<std::size_t>(values["repeated"]);
    r.baselineKb = static_cast<long>(values["baseline_kb"]);
    r.peakKb = static_cast<long>(values["peak_kb"]);
    return true;
}

std::string selfPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("/proc/self/exe");
}

// Runs the child with its output on a pipe; every line is written to the log
// with the time since the start, for the phase split.
double cpuSeconds(const struct rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double childrenCpuSeconds() {
    struct rusage u {};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return cpuSeconds(u);
}

bool runInstallerChild(const std::vector<std::string>& childArgs, const std::string& logPath,
                       double& wallSeconds, long& childMaxKb, std::string& error, double* cpu = nullptr) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        error = "pipe failed";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    // ZRVK_BENCH_WRAP puts a tool in front of the installer child, e.g.
    // "valgrind --tool=callgrind --callgrind-out-file=build/callgrind.out".
    std::vector<std::string> args;
    const char* wrap = std::getenv("ZRVK_BENCH_WRAP");
    if (wrap && *wrap && childArgs.front() == "--installer-child") {
        std::istringstream words(wrap);
        for (std::string w; words >> w;) args.push_back(w);
    }
    args.push_back(selfPath());
    args.insert(args.end(), childArgs.begin(), childArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args.front().c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        error = std::string("spawn failed: ") + std::strerror(spawned);
        return false;
    }
    std::ofstream log(logPath, std::ios::trunc);
    std::string pending;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const double t = secondsSince(start);
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t pos;
        while ((pos = pending.find('\n')) != std::string::npos) {
            char stamp[32];
            std::snprintf(stamp, sizeof(stamp), "[+%9.3f] ", t);
            log << stamp << pending.substr(0, pos) << '\n';
            pending.erase(0, pos + 1);
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    wallSeconds = secondsSince(start);
    childMaxKb = usage.ru_maxrss;
    if (cpu) *cpu = cpuSeconds(usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "installer child failed (status " + std::to_string(status) + "), log: " + logPath;
        return false;
    }
    return true;
}

// Intervals between the first lines that mark the installer's phases.
std::vector<Timed> installerPhases(const std::string& logPath) {
    const std::vector<std::pair<std::string, std::string>> marks = {
        {"=== INSTALLATION THREAD STARTED", "start-up"},
        {"[detectMultiPart] Checking", "engine: detect parts (HEAD probes)"},
        {"[downloadMultiPart] Downloading part 1/", "engine: download parts"},
        {"[downloadMultiPart] All parts downloaded", "engine: join"},
        {"[concatenate] Total:", "engine: remove parts"},
        {"[downloadMultiPart] Extracting combined ZIP", "engine: extract"},
        {"[extractZip] 100%", "engine: after extract (remove zip, version, stop server)"},
        {"[RENDER_ENGINE] Moving files to installation location", "engine: place (privileged chain)"},
        {"[RENDER_ENGINE] Files moved successfully", "engine: remove staging"},
        {"=== STEP 2/3", "server"},
        {"=== STEP 3/3", "plugins"},
        {"=== INSTALLATION COMPLETE", "completion (diagnostics, launch)"},
        {"[BENCH] completion", ""},
    };
    std::vector<double> found(marks.size(), -1);
    std::vector<std::pair<double, long>> samples;  // (time, scripts so far)
    std::ifstream in(logPath);
    std::string line;
    std::size_t next = 0;
    while (std::getline(in, line)) {
        const std::string::size_type sample = line.find("[BENCH] scripts ");
        if (sample != std::string::npos) {
            samples.emplace_back(std::atof(line.c_str() + 2), std::atol(line.c_str() + sample + 16));
            continue;
        }
        for (std::size_t i = next; i < marks.size(); ++i) {
            if (line.find(marks[i].first) != std::string::npos) {
                found[i] = std::atof(line.c_str() + 2);
                next = i + 1;
                break;
            }
        }
    }
    // Scripts sent by time t: the last sample taken at or before t.
    auto scriptsAt = [&](double t) {
        long n = 0;
        for (const auto& s : samples) {
            if (s.first > t) break;
            n = s.second;
        }
        return n;
    };
    std::vector<Timed> phases;
    for (std::size_t i = 0; i + 1 < marks.size(); ++i) {
        if (found[i] < 0) continue;
        std::size_t j = i + 1;
        while (j < marks.size() && found[j] < 0) ++j;
        if (j < marks.size()) {
            phases.push_back({marks[i].second, found[j] - found[i], scriptsAt(found[j]) - scriptsAt(found[i])});
        }
    }
    return phases;
}

// ---------------------------------------------------------------------------
// Replaying the recorded scripts into the real page: every script goes the
// product's way (webview_dispatch of executeJS) as one burst, then a marker
// calls back once the page has run them all.

struct PageRun {
    webview_t w = nullptr;
    std::vector<std::pair<long long, std::string>> scripts;  // (µs offset, script)
    // Paced replay at the recorded times, then the same scripts as one burst.
    Clock::time_point pacedStart, pacedLastPosted, pacedDone, burstStart, burstDone;
    int round = 0;
    double uiSeconds = 0;  // time the UI thread spent inside executeJS
    double longestEval = 0;
    std::atomic<bool> started{false};
    std::thread poster;
};

PageRun* g_pageRun = nullptr;

void timedExecute(webview_t w, void* arg) {
    const auto t = Clock::now();
    executeJS(w, arg);
    const double took = secondsSince(t);
    g_pageRun->uiSeconds += took;
    g_pageRun->longestEval = std::max(g_pageRun->longestEval, took);
}

void postPaced(PageRun* run) {
    webview_dispatch(run->w, executeJS, new std::string("app.showPage('progress');"));
    run->pacedStart = Clock::now();
    for (const auto& s : run->scripts) {
        std::this_thread::sleep_until(run->pacedStart + std::chrono::microseconds(s.first));
        webview_dispatch(run->w, timedExecute, new std::string(s.second));
    }
    run->pacedLastPosted = Clock::now();
    webview_dispatch(run->w, executeJS, new std::string("window.benchDone();"));
}

void postBurst(PageRun* run) {
    webview_dispatch(run->w, executeJS, new std::string("app.showPage('progress');"));
    run->burstStart = Clock::now();
    for (const auto& s : run->scripts) webview_dispatch(run->w, executeJS, new std::string(s.second));
    webview_dispatch(run->w, executeJS, new std::string("window.benchDone();"));
}

void pageReady(const char* id, const char*, void* arg) {
    auto* run = static_cast<PageRun*>(arg);
    webview_return(run->w, id, 0, "{}");
    if (run->started.exchange(true)) return;
    run->poster = std::thread(postPaced, run);
}

void pageDone(const char* id, const char*, void* arg) {
    auto* run = static_cast<PageRun*>(arg);
    webview_return(run->w, id, 0, "{}");
    if (run->round++ == 0) {
        run->pacedDone = Clock::now();
        run->poster.join();
        run->poster = std::thread(postBurst, run);
        return;
    }
    run->burstDone = Clock::now();
    webview_terminate(run->w);
}

int pageChildMain(const std::string& scriptsPath, const std::string& resultPath, const std::string& home) {
    // WebKit and Mesa keep caches under HOME and the XDG folders.
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    auto* run = new PageRun;
    g_pageRun = run;
    std::ifstream in(scriptsPath);
    for (std::string line; std::getline(in, line);) {
        const std::string::size_type space = line.find(' ');
        if (space == std::string::npos) continue;
        run->scripts.emplace_back(std::atoll(line.c_str()), line.substr(space + 1));
    }
    run->w = webview_create(0, nullptr);
    if (!run->w) {
        std::cerr << "[BENCH] no window (no display?)" << std::endl;
        std::_Exit(3);
    }
    webview_set_size(run->w, 600, 520, WEBVIEW_HINT_FIXED);
    webview_bind(run->w, "benchReady", pageReady, run);
    webview_bind(run->w, "benchDone", pageDone, run);
    webview_init(run->w, "window.addEventListener('load', function () { window.benchReady(); });");
    webview_set_html(run->w, EmbeddedResources::HTML_CONTENT.c_str());
    webview_run(run->w);
    if (run->poster.joinable()) run->poster.join();
    std::ofstream out(resultPath, std::ios::trunc);
    auto span = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
    out << "page_scripts " << run->scripts.size() << "\n"
        << "paced_seconds " << span(run->pacedStart, run->pacedLastPosted) << "\n"
        << "paced_lag " << span(run->pacedLastPosted, run->pacedDone) << "\n"
        << "burst_seconds " << span(run->burstStart, run->burstDone) << "\n"
        << "page_ui_seconds " << run->uiSeconds << "\n"
        << "page_longest_eval " << run->longestEval << "\n";
    out.close();
    std::cout.flush();
    std::_Exit(run->round == 2 && out ? 0 : 1);
}

std::map<std::string, double> readValues(const std::string& path) {
    std::ifstream in(path);
    std::string key;
    std::map<std::string, double> values;
    double v = 0;
    while (in >> key >> v) values[key] = v;
    return values;
}

struct Options {
    double engineMb = 200;
    int files = 0;
    bool keep = false;
    bool page = false;
    int rounds = 1;
    int settle = 0;
};

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--engine-mb" && i + 1 < argc) {
            o.engineMb = std::atof(argv[++i]);
        } else if (a == "--files" && i + 1 < argc) {
            o.files = std::atoi(argv[++i]);
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--rounds" && i + 1 < argc) {
            o.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--settle" && i + 1 < argc) {
            o.settle = std::max(0, std::atoi(argv[++i]));
        } else if (a == "--page") {
            o.page = true;
        } else {
            std::cerr << "usage: " << argv[0] << " [--engine-mb MB (200)] [--files N (50 per MB)] [--rounds N (1)] [--settle S (0)] [--keep] [--page]\n"
                         "  --rounds  repeat floor and installer N times (alternating); medians are printed\n"
                         "  --page  also replay the progress scripts into the real page (needs a display;\n"
                         "          the installer's peak memory then includes the recorded scripts)\n";
            return false;
        }
    }
    if (o.engineMb < 1) o.engineMb = 1;
    if (o.files <= 0) o.files = std::max(100, static_cast<int>(o.engineMb * 50));
    return true;
}

std::size_t countEntries(const std::string& dir) {
    FILE* p = ::popen(("find " + shellQuote(dir) + " | wc -l").c_str(), "r");
    if (!p) return 0;
    std::size_t n = 0;
    if (std::fscanf(p, "%zu", &n) != 1) n = 0;
    ::pclose(p);
    return n;
}

void printPhases(const char* title, const std::vector<Timed>& phases) {
    std::printf("  %s\n", title);
    for (const Timed& p : phases) {
        std::printf("    %-58s %8.3f s", p.name.c_str(), p.seconds);
        if (p.scripts >= 0) std::printf("   %7ld scripts (~50 ms)", p.scripts);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The installer's stop of the running server reaches only the sandbox's.
    zrvk_test::useStandIns(InstallerConfig::ROOT_PREFIX);
    if (argc == 5 && std::string(argv[1]) == "--installer-child") return childMain(argv[2], argv[3], argv[4]);
    if (argc == 5 && std::string(argv[1]) == "--page-child") return pageChildMain(argv[2], argv[3], argv[4]);
    Options options;
    if (!parseOptions(argc, argv, options)) return 2;
    if (InstallerConfig::ROOT_PREFIX.empty()) {
        std::cerr << "bench/install needs the sandbox build (a root prefix)" << std::endl;
        return 2;
    }
    using namespace InstallerConfig::Paths;
    const std::string work = InstallerConfig::ROOT_PREFIX + "/bench-install";
    const std::string sandboxTmp = InstallerConfig::MAC_TEMP_DIR;
    // What the installer puts in place, removed before and after.
    const std::vector<std::string> installed = {RENDER_ENGINE_DIR, MRV_SERVER_DIR, CRASH_REPORTS_DIR,
                                                PLUGINS_DIR + "/zrvk_glow.plugin", MRV_PLUGINS_DIR + "/zrvk_glow",
                                                MRV_PLUGINS_DIR + "/zrvk_blur"};
    // Also the folders made on the way there, while they are empty.
    auto cleanInstalled = [&] {
        for (const std::string& p : installed) {
            removeTree(p);
            for (std::string dir = p.substr(0, p.rfind('/'));
                 dir.size() > InstallerConfig::ROOT_PREFIX.size() && ::rmdir(dir.c_str()) == 0;
                 dir = dir.substr(0, dir.rfind('/'))) {
            }
        }
    };
    removeTree(work);
    cleanInstalled();
    struct stat tmpStat {};
    const bool tmpExisted = ::stat(sandboxTmp.c_str(), &tmpStat) == 0;
    makeDirs(sandboxTmp);
    const std::set<std::string> tmpBefore = listDir(sandboxTmp);
    int exitCode = 1;
    std::string error;

    [&] {
        std::printf("bench/install: render engine %.0f MB target, %d files, in 3 parts\n", options.engineMb,
                    options.files);
        std::fflush(stdout);
        Catalogue cat;
        auto t0 = Clock::now();
        // Built in a child (no threads exist yet), so this process stays small
        // and the processes it starts later do not inherit its peak.
        const pid_t builder = ::fork();
        if (builder == 0) {
            std::string childError;
            Catalogue built;
            const bool ok = buildCatalogue(work + "/catalogue", static_cast<std::uint64_t>(options.engineMb * 1048576.0),
                                           options.files, built, childError);
            if (!ok) std::fprintf(stderr, "%s\n", childError.c_str());
            std::fflush(nullptr);
            std::_Exit(ok ? 0 : 1);
        }
        int builderStatus = 0;
        if (builder < 0 || ::waitpid(builder, &builderStatus, 0) != builder || !WIFEXITED(builderStatus) ||
            WEXITSTATUS(builderStatus) != 0) {
            error = "building the catalogue failed";
            return;
        }
        catalogueNames(work + "/catalogue", options.files, cat);
        std::printf("catalogue built in %.1f s: render engine archive %.1f MB, %zu entries\n", secondsSince(t0),
                    static_cast<double>(cat.engineBytes) / 1048576.0, cat.engineEntries);
        std::printf("disk: %s\n", bench::diskOf(work).c_str());

        LoopbackServer server;
        if (!server.start(error)) return;
        serveCatalogue(server, cat);
        const std::string manifestPath = work + "/manifest.json";
        writeAll(manifestPath, manifestFor(server.baseUrl()));

        const std::string floorRoot = work + "/floor-root";
        const std::string memFile = work + "/floor-tools.kb";
        const bool haveTime = ::access("/usr/bin/time", X_OK) == 0;
        const std::string logPath = work + "/installer.log";
        const std::string resultPath = work + "/installer.result";
        const std::string recordPath = options.page ? work + "/scripts.js" : std::string();
        std::vector<double> floorTimes, installerTimes;
        std::vector<Timed> floorPhases;
        double floorSeconds = 0, childWall = 0, floorCpu = 0, installerCpu = 0;
        long childMaxKb = 0;
        ChildResult r;
        for (int round = 1; round <= options.rounds; ++round) {
            if (round > 1) {
                cleanInstalled();
                removeTree(floorRoot);
            }
            // Floor first; sync so neither run pays for the other's writes.
            ::sync();
            ::sleep(static_cast<unsigned>(options.settle));
            floorPhases.clear();
            const auto floorStart = Clock::now();
            const double cpuBefore = childrenCpuSeconds();
            if (!runFloor(server.baseUrl(), floorRoot, std::string(), floorPhases, error)) return;
            floorSeconds = secondsSince(floorStart);
            floorCpu = childrenCpuSeconds() - cpuBefore;
            ::sync();
            ::sleep(static_cast<unsigned>(options.settle));
            if (!runInstallerChild({"--installer-child", manifestPath, resultPath, round == options.rounds ? recordPath : ""},
                                   logPath, childWall, childMaxKb, error, &installerCpu)) {
                return;
            }
            if (!readChildResult(resultPath, r)) {
                error = "no result from the installer child; log: " + logPath;
                return;
            }
            if (!r.success) {
                error = "the installation failed; log: " + logPath;
                return;
            }
            floorTimes.push_back(floorSeconds);
            installerTimes.push_back(r.seconds);
            if (options.rounds > 1) {
                std::printf("round %d: floor %.3f s, installer %.3f s, ratio %.2f\n", round, floorSeconds, r.seconds,
                            r.seconds / floorSeconds);
                std::fflush(stdout);
            }
        }
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
        };
        // The tools' peak memory from one more floor pass, untimed: GNU time
        // adds two process starts to every command.
        long toolsKb = -1;
        if (haveTime) {
            const std::string memRoot = work + "/floor-mem-root";
            std::vector<Timed> ignored;
            if (!runFloor(server.baseUrl(), memRoot, memFile, ignored, error)) return;
            removeTree(memRoot);
            std::ifstream in(memFile);
            for (long kb = 0; in >> kb;) toolsKb = std::max(toolsKb, kb);
        }
        bool same = true;
        for (const std::string& dir : {RENDER_ENGINE_DIR, MRV_SERVER_DIR, PLUGINS_DIR + "/zrvk_glow.plugin",
                                       MRV_PLUGINS_DIR + "/zrvk_glow", MRV_PLUGINS_DIR + "/zrvk_blur"}) {
            if (run("diff -rq " + shellQuote(rerooted(dir, floorRoot)) + " " + shellQuote(dir) + " >&2") != 0) {
                std::fprintf(stderr, "differs from the floor: %s\n", dir.c_str());
                same = false;
            }
        }
        const std::size_t installedEntries = countEntries(RENDER_ENGINE_DIR);

        std::printf("\n== whole installation (render engine %.1f MB in 3 parts, server, 2 plug-ins) ==\n",
                    static_cast<double>(cat.engineBytes) / 1048576.0);
        const char* which = options.rounds > 1 ? "median" : "";
        std::printf("  floor (curl -s -o, cat, unzip -q, cp/chown/chmod)  %8.3f s %s\n", median(floorTimes), which);
        std::printf("  installer (startInstallation -> completion)        %8.3f s %s  (last process %.3f s)\n",
                    median(installerTimes), which, childWall);
        std::printf("  ratio installer / floor                            %8.2f\n",
                    median(installerTimes) / median(floorTimes));
        std::printf("  CPU time (user+sys, last round): floor %.2f s, installer %.2f s (both with their shells)\n",
                    floorCpu, installerCpu);
        std::printf("  installed trees equal to the floor's               %8s   (%zu entries in the render engine)\n",
                    same ? "yes" : "NO", installedEntries);
        std::printf("\n== memory ==\n");
        std::printf("  installer peak RSS                                 %8.1f MB  (%.1f MB at start)\n",
                    static_cast<double>(r.peakKb) / 1024.0, static_cast<double>(r.baselineKb) / 1024.0);
        std::printf("  installer process max RSS (wait4)                  %8.1f MB\n",
                    static_cast<double>(childMaxKb) / 1024.0);
        if (toolsKb >= 0) {
            std::printf("  floor: largest tool process (GNU time)             %8.1f MB\n",
                        static_cast<double>(toolsKb) / 1024.0);
        }
        std::printf("\n== progress scripts reaching the page ==\n");
        std::printf("  total                                              %8zu\n", r.scripts);
        std::printf("  average per second                                 %8.1f\n",
                    static_cast<double>(r.scripts) / r.seconds);
        std::printf("  peak in one second                                 %8zu\n", r.peakPerSecond);
        std::printf("  peak in 100 ms                                     %8zu\n", r.peakPer100ms);
        std::printf("  identical to the script before                     %8zu\n", r.repeated);
        std::printf("\n== where the time goes ==\n");
        printPhases(options.rounds > 1 ? "floor (last round):" : "floor:", floorPhases);
        printPhases(options.rounds > 1 ? "installer (last round, from its log's timestamps):"
                                       : "installer (from its log's timestamps):",
                    installerPhases(logPath));
        if (options.page) {
            double pageWall = 0;
            long pageKb = 0;
            const std::string pageResult = work + "/page.result";
            if (!runInstallerChild({"--page-child", recordPath, pageResult, work + "/page-home"}, work + "/page.log",
                                   pageWall, pageKb, error)) {
                return;
            }
            std::map<std::string, double> v = readValues(pageResult);
            std::printf("\n== the same scripts replayed into the real page (WebKitGTK, product dispatch path) ==\n");
            std::printf("  scripts                                            %8.0f\n", v["page_scripts"]);
            std::printf("  paced as recorded: posting took                    %8.3f s\n", v["paced_seconds"]);
            std::printf("  paced: last script ran after the last post         %8.3f s  (the page's lag)\n",
                        v["paced_lag"]);
            std::printf("  paced: UI thread inside executeJS                  %8.3f s  (longest %.2f ms)\n",
                        v["page_ui_seconds"], v["page_longest_eval"] * 1000.0);
            std::printf("  one burst: page ran them all in                    %8.3f s  (%.0f per second)\n",
                        v["burst_seconds"], v["page_scripts"] / v["burst_seconds"]);
        }
        if (options.keep) std::printf("\nkept: %s (installer log: %s)\n", work.c_str(), logPath.c_str());
        exitCode = 0;
    }();

    if (exitCode != 0) {
        std::fprintf(stderr, "bench/install failed: %s\n", error.c_str());
        run("tail -n 40 " + shellQuote(work + "/installer.log") + " >&2 2>/dev/null");
    }
    if (!options.keep) {
        removeTree(work);
        cleanInstalled();
        for (const std::string& name : listDir(sandboxTmp)) {
            if (!tmpBefore.count(name)) removeTree(sandboxTmp + "/" + name);
        }
        if (!tmpExisted) ::rmdir(sandboxTmp.c_str());
    }
    return exitCode;
}
