// The run's private temporary folder: made once, on first use, and removed
// at exit when nothing is left in it.
#include "run_temp_directory.h"

#include <cerrno>
#include <iostream>
#include <mutex>
#include <string>

#include "installer_download.h"
#include "installer_utils.h"

namespace {

// This run's private folder. A detached worker may still use the record while
// the process exits, so it is never destroyed; the folder goes at exit when
// nothing is left in it.
struct RunTempDirectory {
    std::mutex mutex;
    std::string path;
    std::string base;
    std::string baseOverride;  // a test's base folder ("" = getTempDirectory())
};
RunTempDirectory& g_runTemp = *new RunTempDirectory;

// The folder and the multi-part folder inside it, when they are empty.
void removeRunFolder(const std::string& path) {
    RunTemp::removeEmptyDirectory(path + "/zorvik_multipart");
    RunTemp::removeEmptyDirectory(path);
}

struct RunTempCleanup {
    ~RunTempCleanup() {
        std::lock_guard<std::mutex> lock(g_runTemp.mutex);
        if (g_runTemp.path.empty()) return;
        removeRunFolder(g_runTemp.path);
    }
} g_runTempCleanup;

}  // namespace

std::string getRunTempDirectory() {
    std::lock_guard<std::mutex> lock(g_runTemp.mutex);
    std::string base = g_runTemp.baseOverride.empty() ? getTempDirectory() : g_runTemp.baseOverride;
    if (!g_runTemp.path.empty() && g_runTemp.base == base && pathExists(g_runTemp.path)) return g_runTemp.path;
    if (!g_runTemp.path.empty()) removeRunFolder(g_runTemp.path);
    g_runTemp.path.clear();
    createDirectory(base);
    std::string made;
    if (!RunTemp::makePrivateDirectory(base, made)) {
        std::cerr << "[download] Failed to create private temporary folder in: " << base << " (errno: " << errno
                  << ")" << std::endl;
        return std::string();
    }
    g_runTemp.path = made;
    g_runTemp.base = base;
    return made;
}

// ---------------------------------------------------------------------------
// Test seams.

namespace DeliveryTesting {

void setTempDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_runTemp.mutex);
    g_runTemp.baseOverride = dir;
}
void resetTempDirectory() { setTempDirectory(std::string()); }

}  // namespace DeliveryTesting
