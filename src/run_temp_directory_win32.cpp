// The run's private temporary folder on Windows.
#include "run_temp_directory.h"

#include <direct.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace RunTemp {

bool makePrivateDirectory(const std::string& base, std::string& made) {
    // TEMP is already per user; a fresh, unguessable name keeps runs apart.
    LARGE_INTEGER counter;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QueryPerformanceCounter(&counter);
        char name[64];
        std::snprintf(name, sizeof name, "/zorvik_installer_%08lx%08lx", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(counter.LowPart ^ (attempt * 2654435761u)));
        std::string candidate = base + name;
        if (_mkdir(candidate.c_str()) == 0) {
            made = candidate;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

void removeEmptyDirectory(const std::string& path) { _rmdir(path.c_str()); }

}  // namespace RunTemp
