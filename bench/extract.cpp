// Extraction of a Python-runtime-like archive (about 200 MB in 9,000 files)
// by extractZip against unzip and bsdtar on the same archive, in one run: on
// the build folder's disk, then on /dev/shm (memory) where it exists, so the
// disk side and the CPU side both show.
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bench_common.h"
#include "installer_download.h"

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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Figures {
    double ours = 0, unzip = 0, bsdtar = 0;
    long oursPeak = 0, unzipPeak = 0, bsdtarPeak = 0;
    bool ok = true;
};

// Moves a run's output aside, to be removed at the end. ext4 passes over
// inodes freed in the last minute when it allocates new ones, so a tree made
// right after removing one of the same size pays a scan per file that grows
// with the files removed: no run should pay for the one before it.
void setAside(const std::string& out, const std::string& trash) {
    static int count = 0;
    bench::runProgram({"mkdir", "-p", trash});
    if (std::rename(out.c_str(), (trash + "/" + std::to_string(count++)).c_str()) != 0) bench::removeTree(out);
}

// Rounds of extractZip, unzip and bsdtar into work/out, each from flushed
// file-system state with the output of the run before set aside; the order
// rotates.
Figures measure(const std::string& self, const std::string& zip, const std::string& work, int rounds,
                const std::string& threads) {
    Figures f;
    std::vector<double> ours, unzip, bsdtar;
    const std::string out = work + "/out", trash = work + "/done";
    auto settle = [&] {
        setAside(out, trash);
        bench::runProgram({"sync"});
    };
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 3; ++k) {
            settle();
            bench::Run run;
            switch ((r + k) % 3) {
                case 0:
                    // A fresh process, so its peak memory is the extraction's own.
                    run = bench::runProgram({self, "--extract", zip, out, threads});
                    ours.push_back(run.seconds);
                    f.oursPeak = std::max(f.oursPeak, run.peakKiB);
                    if (r == 0 && run.ok) {
                        std::string check = work + "/check";
                        bench::runProgram({"unzip", "-q", zip, "-d", check});
                        bench::Run same = bench::runProgram({"diff", "-r", "-q", out, check});
                        std::printf("  extractZip output equals unzip output: %s\n", same.ok ? "yes" : "NO");
                        f.ok = f.ok && same.ok;
                        bench::removeTree(check);
                    }
                    break;
                case 1:
                    bench::runProgram({"mkdir", "-p", out});
                    run = bench::runProgram({"unzip", "-q", zip, "-d", out});
                    unzip.push_back(run.seconds);
                    f.unzipPeak = std::max(f.unzipPeak, run.peakKiB);
                    break;
                default:
                    bench::runProgram({"mkdir", "-p", out});
                    run = bench::runProgram({"bsdtar", "-xf", zip, "-C", out});
                    bsdtar.push_back(run.seconds);
                    f.bsdtarPeak = std::max(f.bsdtarPeak, run.peakKiB);
                    break;
            }
            f.ok = f.ok && run.ok;
        }
    }
    setAside(out, trash);
    f.ours = median(ours);
    f.unzip = median(unzip);
    f.bsdtar = median(bsdtar);
    return f;
}

void printFigures(const Figures& f, int rounds, long startPeak) {
    std::printf("  extractZip: %.3f s (median of %d), peak %.1f MB (%.1f MB above the program at start)\n", f.ours,
                rounds, f.oursPeak / 1024.0, (f.oursPeak - startPeak) / 1024.0);
    std::printf("  unzip -q:   %.3f s, peak %.1f MB\n", f.unzip, f.unzipPeak / 1024.0);
    std::printf("  bsdtar -xf: %.3f s, peak %.1f MB\n", f.bsdtar, f.bsdtarPeak / 1024.0);
    std::printf("  ratio extractZip/unzip: %.2f (goal <= 0.50), extractZip/bsdtar: %.2f\n", f.ours / f.unzip,
                f.ours / f.bsdtar);
}

}  // namespace

// bench_extract [--rounds N] [--threads N] [--sweep]
//   --sweep  also time extractZip alone with 1, 2, 4, 6 and 8 writer threads
int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--extract") {
        DeliveryTesting::setExtractThreads(std::atoi(argv[4]));
        return extractZip(argv[2], argv[3], nullptr, nullptr) ? 0 : 1;
    }
    if (argc == 2 && std::string(argv[1]) == "--idle") return 0;
    if (argc == 3 && std::string(argv[1]) == "--make") {
        Tree tree = makeTree();
        std::printf("archive: %zu files, %zu links, %.1f MB uncompressed; compressing...\n", tree.files,
                    tree.links, tree.bytes / 1048576.0);
        std::fflush(stdout);
        return writeZip(argv[2], tree) ? 0 : 1;
    }
    int rounds = 5;
    std::string threads = "0";
    bool sweep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--threads" && i + 1 < argc) {
            threads = argv[++i];
        } else if (a == "--sweep") {
            sweep = true;
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N (5)] [--threads N (built-in)] [--sweep]\n", argv[0]);
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
    const std::string zip = work + "/runtime.zip";
    // Made by a child process: this one stays small, so the peak memory that
    // the measured children inherit through exec is not the archive's.
    std::fflush(stdout);
    if (!bench::runProgram({self, "--make", zip}, false).ok) {
        std::fprintf(stderr, "could not write the archive\n");
        return 1;
    }
    struct stat st;
    if (stat(zip.c_str(), &st) == 0) std::printf("archive size: %.1f MB\n", st.st_size / 1048576.0);
    const long startPeak = bench::runProgram({self, "--idle"}).peakKiB;

    std::vector<std::string> places = {work};
    struct stat shm;
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) places.push_back("/dev/shm/zrvk-extract-bench");
    bool allOk = true;
    for (const std::string& place : places) {
        bench::runProgram({"mkdir", "-p", place});
        std::printf("\non %s\n  disk: %s\n", place.c_str(), bench::diskOf(place).c_str());
        std::fflush(stdout);
        const Figures f = measure(self, zip, place, rounds, threads);
        printFigures(f, rounds, startPeak);
        allOk = allOk && f.ok;
        if (sweep) {
            for (const char* t : {"1", "2", "4", "6", "8"}) {
                std::vector<double> times;
                long peak = 0;
                for (int r = 0; r < rounds; ++r) {
                    setAside(place + "/out", place + "/done");
                    bench::runProgram({"sync"});
                    bench::Run run = bench::runProgram({self, "--extract", zip, place + "/out", t});
                    times.push_back(run.seconds);
                    peak = std::max(peak, run.peakKiB);
                    allOk = allOk && run.ok;
                }
                setAside(place + "/out", place + "/done");
                std::printf("  %s writer thread(s): %.3f s, ratio to unzip %.2f, peak %.1f MB\n", t, median(times),
                            median(times) / f.unzip, peak / 1024.0);
            }
        }
        bench::removeTree(place + "/done");
        if (place != work) bench::removeTree(place);
        std::fflush(stdout);
    }
    bench::removeTree(work);
    return allOk ? 0 : 1;
}
