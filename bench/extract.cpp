// Extraction by extractZip against unzip and bsdtar on the same archive, in
// one run, of two workloads: a generated Python-runtime-like archive (about
// 200 MB in 9,000 files, few large folders) and real trees that every Debian
// machine has (/usr/include, /usr/share/perl, /usr/lib/python3: many small
// folders), zipped at run time. Each is measured on the build folder's disk,
// then on /dev/shm (memory) where it exists, so the disk side and the CPU
// side both show: wall time and kernel CPU time as ratios to unzip's, and
// peak memory. Then archives whose cost lies in their depth (deep branches,
// one deep path shared by many files, a deep file and many links) against
// bsdtar, each run capped in address space. Then the count that decides
// whether an archive fits, on deep, flat and real names, against unzip
// listing the same names.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_common.h"
#include "installer_download.h"
#include "installer_extract_paths.h"

namespace {

struct Rng {
    uint64_t s;
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

const char* const kWords[] = {"def",    "return", "self",   "import", "from",   "class",  "if",     "else",
                              "for",    "in",     "None",   "True",   "False",  "raise",  "value",  "name",
                              "args",   "kwargs", "result", "data",   "path",   "os",     "sys",    "len",
                              "range",  "try",    "except", "with",   "as",     "yield",  "lambda", "buffer",
                              "encode", "decode", "format", "append", "items",  "keys",   "object", "super"};

std::string pythonSource(Rng& rng, size_t size) {
    std::string s;
    s.reserve(size + 64);
    s += "# Generated module\n\"\"\"Docstring of a module.\"\"\"\n";
    while (s.size() < size) {
        int indent = static_cast<int>(rng.next() % 4) * 4;
        s.append(static_cast<size_t>(indent), ' ');
        int words = 3 + static_cast<int>(rng.next() % 9);
        for (int w = 0; w < words; ++w) {
            s += kWords[rng.next() % (sizeof kWords / sizeof *kWords)];
            s += (rng.next() % 5 == 0) ? "(" : " ";
        }
        s += "\n";
    }
    s.resize(size);
    return s;
}

// Byte code and shared objects: runs of structure, text and noise.
std::string binaryBlob(Rng& rng, size_t size) {
    std::string s;
    s.reserve(size);
    while (s.size() < size) {
        size_t run = 64 + rng.next() % 2048;
        switch (rng.next() % 3) {
            case 0: s.append(run, '\0'); break;
            case 1:
                for (size_t i = 0; i < run; ++i) s += static_cast<char>(rng.next());
                break;
            default: s += pythonSource(rng, run); break;
        }
    }
    s.resize(size);
    return s;
}

// Entries in the order an archiver writes a tree: each folder, then its files.
struct Entry {
    enum Kind { Folder, File, Link } kind;
    std::string name;
    std::string data;  // file content or link target
};

struct Tree {
    std::vector<Entry> entries;
    size_t files = 0, links = 0, bytes = 0;
};

Tree makeTree() {
    Tree t;
    Rng rng{0x9e3779b97f4a7c15ull};
    auto folder = [&](std::string name) { t.entries.push_back({Entry::Folder, std::move(name), ""}); };
    auto file = [&](std::string name, std::string data) {
        t.bytes += data.size();
        ++t.files;
        t.entries.push_back({Entry::File, std::move(name), std::move(data)});
    };
    auto link = [&](std::string name, std::string target) {
        ++t.links;
        t.entries.push_back({Entry::Link, std::move(name), std::move(target)});
    };
    const std::string root = "Python 3.10/";
    const std::string lib = root + "lib/python3.10/";
    folder(root);
    link(root + "Current", "lib");
    folder(root + "bin/");
    file(root + "bin/python3.10", binaryBlob(rng, 40000));
    link(root + "bin/python3", "python3.10");
    link(root + "bin/python", "python3.10");
    folder(root + "lib/");
    file(root + "lib/libpython3.10.dylib", binaryBlob(rng, 26 * 1024 * 1024));
    folder(lib);
    folder(lib + "lib-dynload/");
    for (int so = 0; so < 320; ++so)
        file(lib + "lib-dynload/_ext" + std::to_string(so) + ".cpython-310-darwin.so",
             binaryBlob(rng, 20000 + rng.next() % 280000));
    folder(lib + "site-packages/");
    for (int pkg = 0; pkg < 265; ++pkg) {
        std::string dir = lib + (pkg < 120 ? "" : "site-packages/") + "pkg" + std::to_string(pkg) + "/";
        folder(dir);
        std::vector<std::string> cached;
        for (int m = 0; m < 22; ++m) {
            std::string mod = "module" + std::to_string(m);
            file(dir + mod + ".py", pythonSource(rng, 2000 + rng.next() % 26000));
            if (m % 2 == 0) cached.push_back(mod);
        }
        folder(dir + "__pycache__/");
        for (const std::string& mod : cached)
            file(dir + "__pycache__/" + mod + ".cpython-310.pyc", binaryBlob(rng, 1500 + rng.next() % 20000));
    }
    return t;
}

bool writeZip(const std::string& path, const Tree& t) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return false;
    for (const Entry& e : t.entries) {
        zip_int64_t i;
        if (e.kind == Entry::Folder) {
            i = zip_dir_add(za, e.name.c_str(), 0);
        } else {
            zip_source_t* src = zip_source_buffer(za, e.data.data(), e.data.size(), 0);
            i = zip_file_add(za, e.name.c_str(), src, 0);
        }
        if (i < 0) return false;
        zip_uint32_t mode = e.kind == Entry::Folder ? 040755u : e.kind == Entry::Link ? 0120777u : 0100644u;
        zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX, mode << 16);
    }
    return zip_close(za) == 0;
}

// The names in a folder but "." and "..", sorted; closes the folder.
std::vector<std::string> sortedNames(DIR* d) {
    std::vector<std::string> names;
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Real trees, zipped the way an archiver walks them: a folder's entry, then
// its names in sorted order, descending into folders as they come; links are
// stored as links. Unreadable files and special files are left out, and so
// are links that lead out of the archive, which extraction refuses.
struct TreeZip {
    zip_t* za = nullptr;
    size_t files = 0, links = 0, folders = 0, linksLeftOut = 0;
    uint64_t bytes = 0;
    std::deque<std::string> targets;  // link targets, in place until zip_close

    bool add(const std::string& path, const std::string& name) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return true;
        zip_int64_t i = -1;
        if (S_ISDIR(st.st_mode)) {
            i = zip_dir_add(za, (name + "/").c_str(), 0);
            ++folders;
        } else if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            ssize_t n = readlink(path.c_str(), buf, sizeof buf);
            if (n <= 0) return true;
            if (!Extraction::linkStaysInside(name, std::string(buf, static_cast<size_t>(n)))) {
                ++linksLeftOut;
                return true;
            }
            targets.emplace_back(buf, static_cast<size_t>(n));
            zip_source_t* src = zip_source_buffer(za, targets.back().data(), targets.back().size(), 0);
            i = zip_file_add(za, name.c_str(), src, 0);
            ++links;
        } else if (S_ISREG(st.st_mode)) {
            if (access(path.c_str(), R_OK) != 0) return true;
            zip_source_t* src = zip_source_file(za, path.c_str(), 0, 0);
            i = src ? zip_file_add(za, name.c_str(), src, 0) : -1;
            ++files;
            bytes += static_cast<uint64_t>(st.st_size);
        } else {
            return true;
        }
        if (i < 0) return false;
        zip_file_set_external_attributes(za, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                         static_cast<zip_uint32_t>(st.st_mode) << 16);
        if (!S_ISDIR(st.st_mode)) return true;
        for (const std::string& n : sortedNames(opendir(path.c_str())))
            if (!add(path + "/" + n, name + "/" + n)) return false;
        return true;
    }
};

// The trees of this machine that the real-tree archive takes.
std::vector<std::string> realTrees() {
    std::vector<std::string> found;
    for (const char* dir : {"/usr/include", "/usr/share/perl", "/usr/lib/python3"}) {
        struct stat st;
        if (stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) found.push_back(dir);
    }
    return found;
}

bool writeRealZip(const std::string& path, const std::vector<std::string>& trees) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return false;
    TreeZip t;
    t.za = za;
    for (const std::string& dir : trees) {
        if (!t.add(dir, dir.substr(dir.rfind('/') + 1))) {
            zip_discard(za);
            return false;
        }
    }
    std::printf("archive: %zu files, %zu links (%zu leading out left out), %zu folders, %.1f MB uncompressed (from",
                t.files, t.links, t.linksLeftOut, t.folders, t.bytes / 1048576.0);
    for (const std::string& dir : trees) std::printf(" %s", dir.c_str());
    std::printf("); compressing...\n");
    std::fflush(stdout);
    std::ofstream(path + ".count") << t.files + t.links << "\n";
    return zip_close(za) == 0;
}

// Archives whose names alone are large, for the count of what extraction
// would make: "deep", 4,000 empty files each 1,990 folders deep, and "flat",
// 4,000 empty files with names as long and no folder (4 KB names, which
// unzip lists whole).
bool writeNamesZip(const std::string& path, const std::string& kind) {
    int err = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!za) return false;
    std::string deep;
    for (int d = 0; d < 1990; ++d) deep += "d/";
    for (int i = 0; i < 4000; ++i) {
        const std::string n = std::to_string(i);
        const std::string name = kind == "deep" ? "n" + n + "/" + deep + "f" : "n" + n + std::string(3982, 'f');
        zip_source_t* src = zip_source_buffer(za, "", 0, 0);
        if (zip_file_add(za, name.c_str(), src, 0) < 0) {
            zip_discard(za);
            return false;
        }
    }
    return zip_close(za) == 0;
}

// Archives whose cost lies in their depth, 0.5 to 2 MB each, of empty
// files whose names come just under the 65,535 bytes that a ZIP name can
// hold, with no folder entries: "branches", 4 files each 32,760 folders deep
// on its own top-level branch; "shared", 16 files under one 32,760-folder
// path; "links", one file 32,760 folders deep below "a", then 4,000 links
// lNNNN -> a (stored as writeZip stores links).
const int kDeepFolders = 32760;

bool writeDeepZip(const std::string& path, const std::string& shape) {
    std::string down;
    for (int d = 1; d < kDeepFolders; ++d) down += "d/";
    Tree t;
    std::vector<Entry>& entries = t.entries;
    if (shape == "branches") {
        for (int b = 0; b < 4; ++b) entries.push_back({Entry::File, "b" + std::to_string(b) + "/" + down + "f", ""});
    } else if (shape == "shared") {
        for (int f = 0; f < 16; ++f) entries.push_back({Entry::File, "d/" + down + "f" + std::to_string(10 + f), ""});
    } else if (shape == "links") {
        entries.push_back({Entry::File, "a/" + down + "f", ""});
        for (int l = 0; l < 4000; ++l) {
            const std::string n = std::to_string(l);
            entries.push_back({Entry::Link, "l" + std::string(4 - n.size(), '0') + n, "a"});
        }
    } else {
        return false;
    }
    return writeZip(path, t);
}

// What a folder holds, walked without following links: counts, and a digest
// of every name, kind, file content and link target in it, folder by folder
// in sorted order. It goes down and up with openat one level at a time, so
// neither the depth nor PATH_MAX limits it and it holds one descriptor.
struct TreeSummary {
    uint64_t folders = 0, files = 0, links = 0, others = 0, bytes = 0, digest = 0;
    bool ok = false;
};

uint64_t mixed(uint64_t h, const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001b3ull;  // FNV-1a
    return h;
}

uint64_t mixedEntry(uint64_t h, char kind, const std::string& name, uint64_t content) {
    h = mixed(h, &kind, 1);
    h = mixed(h, name.data(), name.size() + 1);
    return mixed(h, &content, sizeof content);
}

std::vector<std::string> sortedNames(int dirFd) {
    const int fd = dup(dirFd);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d && fd >= 0) close(fd);
    return sortedNames(d);
}

TreeSummary summarizeTree(const std::string& root) {
    TreeSummary sum;
    const uint64_t seed = 0xcbf29ce484222325ull;
    struct Level {
        std::vector<std::string> names;
        size_t next;
        uint64_t digest;
        std::string name;  // in the folder above
    };
    int cur = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (cur < 0) return sum;
    std::vector<Level> levels;
    levels.push_back({sortedNames(cur), 0, seed, ""});
    bool ok = true;
    while (ok) {
        Level& level = levels.back();
        if (level.next == level.names.size()) {
            const uint64_t digest = level.digest;
            const std::string name = level.name;
            levels.pop_back();
            if (levels.empty()) {
                sum.digest = digest;
                break;
            }
            const int up = openat(cur, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(cur);
            cur = up;
            ok = cur >= 0;
            levels.back().digest = mixedEntry(levels.back().digest, 'd', name, digest);
            continue;
        }
        const std::string name = level.names[level.next++];
        struct stat st;
        if (fstatat(cur, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
        } else if (S_ISDIR(st.st_mode)) {
            ++sum.folders;
            const int down = openat(cur, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(cur);
            cur = down;
            ok = cur >= 0;
            if (ok) levels.push_back({sortedNames(cur), 0, seed, name});
        } else if (S_ISLNK(st.st_mode)) {
            ++sum.links;
            char target[4096];
            const ssize_t n = readlinkat(cur, name.c_str(), target, sizeof target);
            ok = n >= 0;
            level.digest = mixedEntry(level.digest, 'l', name, mixed(seed, target, ok ? size_t(n) : 0));
        } else if (S_ISREG(st.st_mode)) {
            ++sum.files;
            sum.bytes += static_cast<uint64_t>(st.st_size);
            uint64_t content = seed;
            const int fd = openat(cur, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            ok = fd >= 0;
            char buf[65536];
            for (ssize_t n; ok && (n = read(fd, buf, sizeof buf)) != 0;) {
                ok = n > 0;
                if (ok) content = mixed(content, buf, size_t(n));
            }
            if (fd >= 0) close(fd);
            level.digest = mixedEntry(level.digest, 'f', name, content);
        } else {
            ++sum.others;
            level.digest = mixedEntry(level.digest, 'o', name, static_cast<uint64_t>(st.st_mode));
        }
    }
    if (cur >= 0) close(cur);
    sum.ok = ok;
    return sum;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Medians of a program's runs.
struct Figures {
    std::vector<double> walls, kernels;
    long peakKiB = 0;
    void add(const bench::Run& run) {
        walls.push_back(run.seconds);
        kernels.push_back(run.systemSeconds);
        peakKiB = std::max(peakKiB, run.peakKiB);
    }
    double wall() const { return median(walls); }
    double kernel() const { return median(kernels); }
};

// Moves a run's output aside, to be removed at the end. ext4 passes over
// inodes freed in the last minute when it allocates new ones, so a tree made
// right after removing one of the same size pays a scan per file that grows
// with the files removed: no run should pay for the one before it. In memory
// there is no such scan, and the trees would take the memory: removed at once.
void setAside(const std::string& out, const std::string& trash, bool inMemory) {
    static int count = 0;
    if (inMemory) {
        bench::removeTree(out);
        return;
    }
    bench::runProgram({"mkdir", "-p", trash});
    if (std::rename(out.c_str(), (trash + "/" + std::to_string(count++)).c_str()) != 0) bench::removeTree(out);
}

struct Place {
    std::string dir;
    bool inMemory;
};

// One program to measure: its name as printed and how it is started on an
// archive and an output folder (made beforehand when it needs one).
struct Tool {
    std::string name;
    std::vector<std::string> argv;  // "@zip" and "@out" are replaced
    bool needsOut;
};

std::vector<std::string> argvFor(const Tool& tool, const std::string& zip, const std::string& out) {
    std::vector<std::string> argv;
    for (const std::string& a : tool.argv) argv.push_back(a == "@zip" ? zip : a == "@out" ? out : a);
    return argv;
}

// Rounds of every tool into place/out, each from flushed file-system state
// with the output of the run before set aside; the order rotates.
std::vector<Figures> measure(const std::vector<Tool>& tools, const std::string& zip, const Place& place, int rounds,
                             bool& ok) {
    std::vector<Figures> figures(tools.size());
    const std::string out = place.dir + "/out", trash = place.dir + "/done";
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < tools.size(); ++k) {
            const size_t t = (static_cast<size_t>(r) + k) % tools.size();
            setAside(out, trash, place.inMemory);
            bench::runProgram({"sync"});
            if (tools[t].needsOut) bench::runProgram({"mkdir", "-p", out});
            const bench::Run run = bench::runProgram(argvFor(tools[t], zip, out));
            figures[t].add(run);
            ok = ok && run.ok;
            if (!run.ok) std::printf("  %s FAILED\n", tools[t].name.c_str());
        }
    }
    setAside(out, trash, place.inMemory);
    return figures;
}

// extractZip's output against unzip's: same files, same contents, same links.
bool sameAsUnzip(const std::string& self, const std::string& zip, const Place& place, const std::string& threads) {
    const std::string out = place.dir + "/out", check = place.dir + "/check", trash = place.dir + "/done";
    setAside(out, trash, place.inMemory);
    setAside(check, trash, place.inMemory);
    bench::runProgram({self, "--extract", zip, out, threads});
    bench::runProgram({"unzip", "-q", zip, "-d", check});
    const bool same = bench::runProgram({"diff", "-r", "-q", "--no-dereference", out, check}).ok;
    setAside(out, trash, place.inMemory);
    setAside(check, trash, place.inMemory);
    return same;
}

// Calls of the traced system calls over a run, from strace's summary.
std::map<std::string, long> syscallCounts(const std::vector<std::string>& argv, const std::string& report) {
    std::vector<std::string> traced = {"strace", "-f", "-c", "-o", report, "-e", "trace=openat,mkdir,mkdirat,futex"};
    traced.insert(traced.end(), argv.begin(), argv.end());
    std::map<std::string, long> counts;
    if (!bench::runProgram(traced).ok) return counts;
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        // "% time seconds usecs/call calls [errors] syscall"
        if (w.size() >= 5 && w[0].find_first_not_of("0123456789.") == std::string::npos)
            counts[w.back()] = std::atol(w[3].c_str());
    }
    std::remove(report.c_str());
    return counts;
}

bool onPath(const char* program) {
    return bench::runProgram({"sh", "-c", std::string("command -v ") + program}).ok;
}

void printSyscalls(const std::string& self, const std::string& zip, const Place& place, const std::string& threads,
                   long files) {
    const std::string out = place.dir + "/out";
    const Tool tools[] = {{"extractZip", {self, "--extract", "@zip", "@out", threads}, false},
                          {"unzip -q", {"unzip", "-q", "@zip", "-d", "@out"}, true}};
    for (const Tool& tool : tools) {
        setAside(out, place.dir + "/done", place.inMemory);
        if (tool.needsOut) bench::runProgram({"mkdir", "-p", out});
        auto counts = syscallCounts(argvFor(tool, zip, out), place.dir + "/strace.txt");
        std::printf("  strace %-10s per file:", tool.name.c_str());
        for (const char* call : {"openat", "mkdir", "mkdirat", "futex"})
            std::printf(" %s %.2f (%ld)", call, counts[call] / static_cast<double>(files), counts[call]);
        std::printf("\n");
    }
    setAside(out, place.dir + "/done", place.inMemory);
}

struct Options {
    int rounds = 5;
    bool roundsGiven = false;  // the deep shapes take 1 round unless --rounds says otherwise
    unsigned long long capGiB = 8;  // address space of each deep-shape run
    std::string threads = "0";
    bool sweep = false;
    bool syscalls = false;
    std::string workload = "both";
    std::string compare;  // another build's bench_extract, measured in the same rounds
};

// One workload in every place: the tools, then the writer threads one by one
// against unzip when asked.
bool runWorkload(const std::string& self, const std::string& title, const std::string& zip, long files,
                 const std::vector<Place>& places, const Options& opt, long startPeak) {
    bool allOk = true;
    struct stat st;
    if (stat(zip.c_str(), &st) == 0) std::printf("archive size: %.1f MB, %ld files and links\n", st.st_size / 1048576.0, files);
    std::vector<Tool> tools = {{"extractZip", {self, "--extract", "@zip", "@out", opt.threads}, false},
                               {"unzip -q", {"unzip", "-q", "@zip", "-d", "@out"}, true},
                               {"bsdtar -xf", {"bsdtar", "-xf", "@zip", "-C", "@out"}, true}};
    if (!opt.compare.empty()) tools.push_back({"compared", {opt.compare, "--extract", "@zip", "@out", opt.threads}, false});
    for (const Place& place : places) {
        bench::runProgram({"mkdir", "-p", place.dir});
        std::printf("\n%s on %s\n  disk: %s\n", title.c_str(), place.dir.c_str(), bench::diskOf(place.dir).c_str());
        const bool same = sameAsUnzip(self, zip, place, opt.threads);
        std::printf("  extractZip output equals unzip output: %s\n", same ? "yes" : "NO");
        std::fflush(stdout);
        allOk = allOk && same;
        const std::vector<Figures> f = measure(tools, zip, place, opt.rounds, allOk);
        for (size_t t = 0; t < tools.size(); ++t)
            std::printf("  %-10s wall %.3f s, kernel CPU %.3f s (medians of %d), peak %.1f MB\n", tools[t].name.c_str(),
                        f[t].wall(), f[t].kernel(), opt.rounds, f[t].peakKiB / 1024.0);
        std::printf("  extractZip/unzip: wall %.2f (goal <= 0.50), kernel CPU %.2f (goal <= 1.50); "
                    "extractZip/bsdtar wall %.2f; peak %.1f MB above the program at start (goal <= 64)\n",
                    f[0].wall() / f[1].wall(), f[0].kernel() / f[1].kernel(), f[0].wall() / f[2].wall(),
                    (f[0].peakKiB - startPeak) / 1024.0);
        if (!opt.compare.empty())
            std::printf("  compared build (%s)/unzip: wall %.2f, kernel CPU %.2f\n", opt.compare.c_str(),
                        f[3].wall() / f[1].wall(), f[3].kernel() / f[1].kernel());
        std::fflush(stdout);
        if (opt.sweep) {
            std::vector<Tool> sweep = {{"unzip -q", {"unzip", "-q", "@zip", "-d", "@out"}, true}};
            for (int t = 1; t <= 8; ++t)
                sweep.push_back({std::to_string(t), {self, "--extract", "@zip", "@out", std::to_string(t)}, false});
            const std::vector<Figures> s = measure(sweep, zip, place, opt.rounds, allOk);
            std::printf("  writer threads against unzip -q (wall %.3f s, kernel CPU %.3f s) in the same rounds:\n",
                        s[0].wall(), s[0].kernel());
            for (size_t t = 1; t < sweep.size(); ++t)
                std::printf("    %s: wall %.3f s (%.2f), kernel CPU %.3f s (%.2f), peak %.1f MB\n", sweep[t].name.c_str(),
                            s[t].wall(), s[t].wall() / s[0].wall(), s[t].kernel(), s[t].kernel() / s[0].kernel(),
                            s[t].peakKiB / 1024.0);
        }
        if (opt.syscalls) {
            if (onPath("strace")) {
                printSyscalls(self, zip, place, opt.threads, files);
            } else {
                std::printf("  (strace not installed: no system call counts)\n");
            }
        }
        std::fflush(stdout);
    }
    return allOk;
}

// Why a capped run failed: what it said, or how it ended.
std::string failureOf(const bench::Run& run, const std::string& errorFile, unsigned long long capGiB) {
    std::ifstream in(errorFile);
    std::string said, last;
    for (std::string line; std::getline(in, line);) {
        said += line + "\n";
        if (!line.empty()) last = line;
    }
    if (said.find("bad_alloc") != std::string::npos || said.find("memory") != std::string::npos)
        return "failed: out of memory (address space capped at " + std::to_string(capGiB) + " GiB)";
    const std::string how =
        run.signal ? "signal " + std::to_string(run.signal) : "exit status " + std::to_string(run.exitCode);
    return "failed (" + how + (last.empty() ? "" : ": " + last) + ")";
}

// The summary of a tree, taken by a child process (--tree) so that this
// one stays small.
TreeSummary summaryOf(const std::string& self, const std::string& dir, const std::string& file) {
    TreeSummary sum;
    if (!bench::runProgram({self, "--tree", dir, file}).ok) return sum;
    std::ifstream in(file);
    sum.ok = static_cast<bool>(in >> sum.folders >> sum.files >> sum.links >> sum.others >> sum.bytes >> sum.digest);
    std::remove(file.c_str());
    return sum;
}

bool sameTree(const TreeSummary& a, const TreeSummary& b) {
    return a.ok && b.ok && a.folders == b.folders && a.files == b.files && a.links == b.links && a.others == b.others &&
           a.bytes == b.bytes && a.digest == b.digest;
}

// Removes a run's tree at once (the deep ones would fill the disk if kept)
// and checks that it is gone.
bool removedTree(const std::string& dir) {
    bench::removeTree(dir);
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0) {
        std::printf("  could not remove %s\n", dir.c_str());
        return false;
    }
    return true;
}

// The deep shapes, on the build folder's disk: extractZip beside bsdtar (and
// the compared build) on the same archive in the same rounds. Every run has
// its address space capped, its tree (first round) checked against bsdtar's
// and removed before the next.
bool runDeep(const std::string& self, const std::string& work, const Options& opt) {
    struct Shape {
        const char* name;
        const char* title;
        uint64_t folders, files, links;
    };
    const uint64_t deep = kDeepFolders;
    const Shape shapes[] = {
        {"branches", "4 empty files, each 32,760 folders deep on its own top-level branch", 4 * deep, 4, 0},
        {"shared", "16 empty files under one 32,760-folder path", deep, 16, 0},
        {"links", "one empty file 32,760 folders deep below a, then 4,000 links lNNNN -> a", deep, 1, 4000}};
    const int rounds = opt.roundsGiven ? opt.rounds : 1;
    const unsigned long long cap = opt.capGiB << 30;
    std::printf("\n== deep names and links on %s\n  disk: %s\n  every run capped at %llu GiB of address space; "
                "medians of %d round(s)\n",
                work.c_str(), bench::diskOf(work).c_str(), opt.capGiB, rounds);
    std::fflush(stdout);
    if (!onPath("bsdtar")) {
        std::printf("  bsdtar is not installed (Debian: libarchive-tools): no deep shapes\n");
        return false;
    }
    std::vector<Tool> tools = {{"extractZip", {self, "--extract", "@zip", "@out", opt.threads}, false},
                               {"bsdtar -xf", {"bsdtar", "-xf", "@zip", "-C", "@out"}, true}};
    if (!opt.compare.empty())
        tools.push_back({"compared", {opt.compare, "--extract", "@zip", "@out", opt.threads}, false});
    const std::string out = work + "/deep-out", errors = work + "/deep-errors.txt";
    // The peak of each build doing nothing, started as the runs are.
    const long base[] = {bench::runCapped({self, "--idle"}, cap, errors).peakKiB, 0,
                         opt.compare.empty() ? 0 : bench::runCapped({opt.compare, "--idle"}, cap, errors).peakKiB};
    std::printf("  peak doing nothing: extractZip %.1f MiB", base[0] / 1024.0);
    if (!opt.compare.empty()) std::printf(", compared %.1f MiB", base[2] / 1024.0);
    std::printf("\n");
    bool allOk = true;
    for (const Shape& shape : shapes) {
        const std::string zip = work + "/deep-" + shape.name + ".zip";
        if (!bench::runProgram({self, "--make-deep", shape.name, zip}).ok) {
            std::printf("  could not write %s\n", zip.c_str());
            allOk = false;
            continue;
        }
        struct stat st;
        const double size = stat(zip.c_str(), &st) == 0 ? st.st_size / 1000.0 : 0;
        std::printf("\n%s\n  archive size: %.1f KB\n", shape.title, size);
        std::fflush(stdout);
        std::vector<Figures> f(tools.size());
        std::vector<std::string> failures(tools.size());
        std::vector<TreeSummary> trees(tools.size());
        for (int r = 0; r < rounds; ++r) {
            for (size_t k = 0; k < tools.size(); ++k) {
                const size_t t = (static_cast<size_t>(r) + k) % tools.size();
                if (!failures[t].empty()) continue;  // one that failed once (out of memory) is not run again
                allOk = removedTree(out) && allOk;
                bench::runProgram({"sync"});
                if (tools[t].needsOut) bench::runProgram({"mkdir", "-p", out});
                const bench::Run run = bench::runCapped(argvFor(tools[t], zip, out), cap, errors);
                if (run.ok) {
                    f[t].add(run);
                    if (r == 0) trees[t] = summaryOf(self, out, work + "/deep-tree.txt");
                } else {
                    failures[t] = failureOf(run, errors, opt.capGiB);
                    char after[64];
                    std::snprintf(after, sizeof after, " after %.1f s, peak %.1f MiB", run.seconds,
                                  run.peakKiB / 1024.0);
                    failures[t] += after;
                    allOk = false;
                }
                std::remove(errors.c_str());
            }
        }
        allOk = removedTree(out) && allOk;
        for (size_t t = 0; t < tools.size(); ++t) {
            if (!failures[t].empty()) {
                std::printf("  %-10s %s\n", tools[t].name.c_str(), failures[t].c_str());
            } else {
                std::printf("  %-10s wall %.3f s, kernel CPU %.3f s, peak %.1f MiB\n", tools[t].name.c_str(),
                            f[t].wall(), f[t].kernel(), f[t].peakKiB / 1024.0);
            }
        }
        const bool bsdtarRan = failures[1].empty();
        for (size_t t = 0; t < tools.size(); ++t) {
            if (t == 1 || !failures[t].empty() || !bsdtarRan) continue;
            std::printf("  %s/bsdtar: wall %.2f (goal <= 1.00); peak %.1f MiB above its peak doing nothing "
                        "(goal <= 64)\n",
                        t == 0 ? "extractZip" : ("compared build (" + opt.compare + ")").c_str(),
                        f[t].wall() / f[1].wall(), (f[t].peakKiB - base[t]) / 1024.0);
        }
        if (tools.size() > 2 && failures[0].empty() && failures[2].empty())
            std::printf("  extractZip/compared build: wall %.2f, peak above doing nothing %.2f\n",
                        f[0].wall() / f[2].wall(),
                        double(f[0].peakKiB - base[0]) / double(std::max(1L, f[2].peakKiB - base[2])));
        if (bsdtarRan) {
            const TreeSummary& b = trees[1];
            const bool expected = b.ok && b.folders == shape.folders && b.files == shape.files &&
                                  b.links == shape.links && b.others == 0;
            std::printf("  bsdtar made %llu folders, %llu files, %llu links: %s\n",
                        static_cast<unsigned long long>(b.folders), static_cast<unsigned long long>(b.files),
                        static_cast<unsigned long long>(b.links),
                        expected ? "as the archive says" : "NOT as the archive says");
            allOk = allOk && expected;
            for (size_t t = 0; t < tools.size(); ++t) {
                if (t == 1 || !failures[t].empty()) continue;
                const bool same = sameTree(trees[t], b);
                std::printf("  %s output equals bsdtar output: %s\n", tools[t].name.c_str(), same ? "yes" : "NO");
                allOk = allOk && same;
            }
        }
        std::fflush(stdout);
        std::remove(zip.c_str());
    }
    return allOk;
}

// The count that decides whether an archive fits, against listing its names
// with unzip: extractZip with no room at all refuses every archive after
// counting (and writes nothing), unzip -Z1 reads and prints every name.
bool runNames(const std::string& self, const std::string& work, const Options& opt) {
    bool allOk = true;
    std::printf("\n== the count of what an archive makes, against unzip -Z1 listing its names\n");
    struct Names {
        std::string title, zip;
        std::vector<std::string> make;
    };
    const std::string deep = work + "/deep-names.zip", flat = work + "/flat-names.zip", real = work + "/real-names.zip";
    const Names archives[] = {{"deep names", deep, {self, "--make-names", "deep", deep}},
                              {"flat names", flat, {self, "--make-names", "flat", flat}},
                              {"real trees", real, {self, "--make-real", real}}};
    for (const Names& a : archives) {
        if (!bench::runProgram(a.make).ok) {
            std::printf("  could not write %s\n", a.zip.c_str());
            allOk = false;
            continue;
        }
        const std::vector<Tool> tools = {{"count", {self, "--count", "@zip", "@out"}, false},
                                         {"unzip -Z1", {"unzip", "-Z1", "@zip"}, false}};
        const Place place{work, false};
        const std::vector<Figures> f = measure(tools, a.zip, place, opt.rounds, allOk);
        uint64_t nameBytes = 0;  // read after the runs, which inherit this program's peak
        int err = 0;
        if (zip_t* za = zip_open(a.zip.c_str(), ZIP_RDONLY, &err)) {
            for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i)
                if (const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW))
                    nameBytes += std::strlen(name);
            zip_discard(za);
        }
        std::printf("  %s (%.1f MB of names): count %.3f s (%.1f ns per name byte), peak %.1f MB; unzip -Z1 %.3f s, "
                    "peak %.1f MB; count/unzip: wall %.2f\n",
                    a.title.c_str(), nameBytes / 1048576.0, f[0].wall(), f[0].wall() * 1e9 / double(nameBytes),
                    f[0].peakKiB / 1024.0, f[1].wall(), f[1].peakKiB / 1024.0, f[0].wall() / f[1].wall());
        std::fflush(stdout);
        std::remove(a.zip.c_str());
        std::remove((a.zip + ".count").c_str());
    }
    return allOk;
}

long countIn(const std::string& zip) {
    long n = 0;
    std::ifstream(zip + ".count") >> n;
    return n;
}

}  // namespace

// bench_extract [--rounds N] [--threads N] [--sweep] [--syscalls] [--workload generated|real|deep|names|both]
//               [--compare OTHER] [--cap-gib N]
//   deep        deep names and links against bsdtar (1 round unless --rounds is given)
//   names       the count that decides whether an archive fits, on deep, flat and real names
//               (both, or all: every workload)
//   --sweep     also time extractZip with 1 to 8 writer threads against unzip
//   --syscalls  count openat, mkdir, mkdirat and futex calls per file with strace
//   --compare   also time another build's bench_extract (an older commit, say) in the same rounds
//   --cap-gib   address space of each run on the deep shapes (8 GiB), so that none takes the machine
int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--extract") {
        DeliveryTesting::setExtractThreads(std::atoi(argv[4]));
        return extractZip(argv[2], argv[3], nullptr, nullptr) ? 0 : 1;
    }
    if (argc == 2 && std::string(argv[1]) == "--idle") return 0;
    if (argc == 4 && std::string(argv[1]) == "--count") {
        // No room at all: the archive is counted, refused and nothing is made.
        DeliveryTesting::setFreeSpace(0, 0);
        const bool refused = !extractZip(argv[2], argv[3], nullptr, nullptr);
        struct stat st;
        return refused && stat(argv[3], &st) == 0 && S_ISDIR(st.st_mode) ? 0 : 1;
    }
    if (argc == 4 && std::string(argv[1]) == "--make-names") return writeNamesZip(argv[3], argv[2]) ? 0 : 1;
    if (argc == 3 && std::string(argv[1]) == "--make") {
        Tree tree = makeTree();
        std::printf("archive: %zu files, %zu links, %.1f MB uncompressed; compressing...\n", tree.files,
                    tree.links, tree.bytes / 1048576.0);
        std::fflush(stdout);
        std::ofstream(std::string(argv[2]) + ".count") << tree.files + tree.links << "\n";
        return writeZip(argv[2], tree) ? 0 : 1;
    }
    if (argc == 3 && std::string(argv[1]) == "--make-real") return writeRealZip(argv[2], realTrees()) ? 0 : 1;
    if (argc == 4 && std::string(argv[1]) == "--make-deep") return writeDeepZip(argv[3], argv[2]) ? 0 : 1;
    if (argc == 4 && std::string(argv[1]) == "--tree") {
        const TreeSummary sum = summarizeTree(argv[2]);
        std::ofstream(argv[3]) << sum.folders << " " << sum.files << " " << sum.links << " " << sum.others << " "
                               << sum.bytes << " " << sum.digest << "\n";
        return sum.ok ? 0 : 1;
    }
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            opt.rounds = std::max(1, std::atoi(argv[++i]));
            opt.roundsGiven = true;
        } else if (a == "--cap-gib" && i + 1 < argc) {
            opt.capGiB = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--threads" && i + 1 < argc) {
            opt.threads = argv[++i];
        } else if (a == "--sweep") {
            opt.sweep = true;
        } else if (a == "--syscalls") {
            opt.syscalls = true;
        } else if (a == "--compare" && i + 1 < argc) {
            opt.compare = argv[++i];
        } else if (a == "--workload" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "generated" || std::string(argv[i + 1]) == "real" ||
                    std::string(argv[i + 1]) == "names" || std::string(argv[i + 1]) == "deep" ||
                    std::string(argv[i + 1]) == "both" || std::string(argv[i + 1]) == "all")) {
            opt.workload = argv[++i];
            if (opt.workload == "all") opt.workload = "both";
        } else {
            std::fprintf(stderr,
                         "usage: %s [--rounds N (5; deep: 1)] [--threads N (built-in)] [--sweep] [--syscalls]"
                         " [--workload generated|real|deep|names|both] [--compare OTHER_BENCH_EXTRACT]"
                         " [--cap-gib N (8)]\n",
                         argv[0]);
            return 2;
        }
    }
    char selfPath[4096];
    ssize_t len = readlink("/proc/self/exe", selfPath, sizeof selfPath - 1);
    if (len <= 0) return 1;
    const std::string self(selfPath, static_cast<size_t>(len));
    // The build folder's disk: the work folder goes next to this program.
    const std::string buildDir = self.substr(0, self.rfind('/'));
    const std::string work = buildDir + "/extract-bench-work";
    bench::removeTree(work);
    bench::runProgram({"mkdir", "-p", work});
    std::vector<Place> places = {{work, false}};
    struct stat shm;
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) places.push_back({"/dev/shm/zrvk-extract-bench", true});
    const long startPeak = bench::runProgram({self, "--idle"}).peakKiB;

    // Each archive is made by a child process: this one stays small, so the
    // peak memory that the measured children inherit through exec is not the
    // archive's.
    struct Workload {
        const char* name;
        const char* title;
        const char* make;
        const char* file;
    };
    const Workload workloads[] = {{"generated", "generated archive", "--make", "runtime.zip"},
                                  {"real", "real trees", "--make-real", "real-trees.zip"}};
    bool allOk = true;
    for (const Workload& w : workloads) {
        if (opt.workload != "both" && opt.workload != w.name) continue;
        const std::string zip = work + "/" + w.file;
        std::printf("\n== %s\n", w.title);
        std::fflush(stdout);
        if (!bench::runProgram({self, w.make, zip}, false).ok) {
            std::fprintf(stderr, "could not write the archive %s\n", zip.c_str());
            return 1;
        }
        allOk = runWorkload(self, w.title, zip, countIn(zip), places, opt, startPeak) && allOk;
        std::remove(zip.c_str());
        std::remove((zip + ".count").c_str());
    }
    if (opt.workload == "both" || opt.workload == "deep") allOk = runDeep(self, work, opt) && allOk;
    if (opt.workload == "both" || opt.workload == "names") allOk = runNames(self, work, opt) && allOk;
    for (const Place& place : places) bench::removeTree(place.dir);
    return allOk ? 0 : 1;
}
