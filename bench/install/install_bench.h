// The parts of the whole-installation benchmark (bench/install): archive
// generation, the catalogue, the floor, the measured child and the page run.
#pragma once

#include "loopback_server.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace bench::install {

using Clock = std::chrono::steady_clock;

// Files and commands (files.cpp).
double secondsSince(Clock::time_point start);
std::string shellQuote(const std::string& text);
int run(const std::string& command);
bool removeTree(const std::string& path);
bool makeDirs(const std::string& path);
std::uint64_t fileSize(const std::string& path);
std::set<std::string> listDir(const std::string& path);
std::string readAll(const std::string& path);
bool writeAll(const std::string& path, const std::string& content);

// Archive content, generated deterministically one entry at a time (archive.cpp).
enum class Kind { Text, Bytecode, Binary };

struct Entry {
    std::string name;
    Kind kind = Kind::Text;
    std::uint64_t size = 0;
    std::uint64_t seed = 0;
    unsigned mode = 0644;
    std::string linkTarget;  // symbolic link when set
    bool directory = false;
};

bool writeArchive(const std::string& path, const std::vector<Entry>& entries, std::string& error);

// A runtime-like tree: many small sources, their bytecode, extension modules,
// a few large libraries. Sizes are chosen so the archive is about
// `archiveBytes` (measured deflate ratios: text ~0.27, bytecode ~0.45,
// binary ~0.8).
std::vector<Entry> renderEngineTree(std::uint64_t archiveBytes, int files);
std::vector<Entry> smallTree(const std::string& prefix, int files, std::uint64_t bytes, std::uint64_t seed,
                             const std::vector<std::pair<std::string, std::uint64_t>>& binaries = {});

// The catalogue (catalogue.cpp).
struct Catalogue {
    std::string dir;
    std::vector<std::string> engineParts;  // local files
    std::string server, glowAdobe, glowMrv, blurMrv, blurExtra;
    std::uint64_t engineBytes = 0;
    std::size_t engineEntries = 0;
};

inline constexpr const char* ENGINE_VERSION = "3";
inline constexpr const char* SERVER_VERSION = "1.4.2";

// The names and sizes of a built catalogue, for the process that serves it.
void catalogueNames(const std::string& dir, int files, Catalogue& cat);
bool buildCatalogue(const std::string& dir, std::uint64_t engineBytes, int files, Catalogue& cat, std::string& error);
std::string manifestFor(const std::string& base);
void serveCatalogue(zrvk::test::LoopbackServer& server, const Catalogue& cat);

// The floor: the same work with standard tools (floor.cpp).
struct Timed {
    std::string name;
    double seconds;
    long scripts = -1;  // progress scripts sent in the phase, when known
};

// The path under `root` instead of the sandbox root.
std::string rerooted(const std::string& path, const std::string& root);

// With `memFile` set, every command runs under GNU time, which appends the
// command's peak RSS (kB) to that file; started from a small process, the
// tools do not inherit this program's peak.
bool runFloor(const std::string& base, const std::string& root, const std::string& memFile,
              std::vector<Timed>& phases, std::string& error);

// The installer run, in a child process (child.cpp).
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

int childMain(const std::string& manifestPath, const std::string& resultPath, const std::string& recordPath);
bool readChildResult(const std::string& path, ChildResult& r);

// User and system time of the waited-for children so far.
double childrenCpuSeconds();

// Runs the child with its output on a pipe; every line is written to the log
// with the time since the start, for the phase split.
bool runInstallerChild(const std::vector<std::string>& childArgs, const std::string& logPath,
                       double& wallSeconds, long& childMaxKb, std::string& error, double* cpu = nullptr);

// Intervals between the first lines that mark the installer's phases.
std::vector<Timed> installerPhases(const std::string& logPath);

// The recorded scripts replayed into the real page (page.cpp).
int pageChildMain(const std::string& scriptsPath, const std::string& resultPath, const std::string& home);
// "key value" lines of a result file.
std::map<std::string, double> readValues(const std::string& path);

}  // namespace bench::install
