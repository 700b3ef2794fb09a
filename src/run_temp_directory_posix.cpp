// The run's private temporary folder on macOS and Linux.
#include "run_temp_directory.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace RunTemp {

bool makePrivateDirectory(const std::string& base, std::string& made) {
    std::string templ = base + "/zorvik_installer_XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return false;  // mkdtemp makes it 0700
    made = buf.data();
    return true;
}

void removeEmptyDirectory(const std::string& path) { rmdir(path.c_str()); }

}  // namespace RunTemp
