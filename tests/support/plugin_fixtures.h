// Adobe plug-in fixtures built at test time: property records in the byte
// orders of the two programs, macOS bundles with a resource file and .aex files.
#pragma once

#include "plugin_records.h"
#include "test_paths.h"

#include <sys/stat.h>

#include <string>

namespace zrvk_test {

// <dir>/<bundle>/Contents/Resources/<stem>.rsrc holding the given bytes; returns the bundle's path.
inline std::string makeMacBundle(const std::string& dir, const std::string& bundle, const std::string& rsrcBytes) {
    const std::string path = dir + "/" + bundle;
    ::mkdir(dir.c_str(), 0755);
    ::mkdir(path.c_str(), 0755);
    ::mkdir((path + "/Contents").c_str(), 0755);
    ::mkdir((path + "/Contents/Resources").c_str(), 0755);
    const std::string stem = bundle.substr(0, bundle.rfind('.'));
    writeFile(path + "/Contents/Resources/" + stem + ".rsrc", rsrcBytes);
    return path;
}

}  // namespace zrvk_test
