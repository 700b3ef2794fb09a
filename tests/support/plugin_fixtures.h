// Adobe plug-in fixtures built at test time: property records in the byte
// orders of the two programs, macOS bundles with a resource file and .aex files.
#pragma once

#include "plugin_records.h"
#include "test_paths.h"

#include <filesystem>

#include <string>

namespace zrvk_test {

// <dir>/<bundle>/Contents/Resources/<stem>.rsrc holding the given bytes; returns the bundle's path.
inline std::string makeMacBundle(const std::string& dir, const std::string& bundle, const std::string& rsrcBytes) {
    const std::string path = dir + "/" + bundle;
    // Every parent too: on a fresh build tree nothing has made the sandbox's folders yet.
    std::filesystem::create_directories(path + "/Contents/Resources");
    const std::string stem = bundle.substr(0, bundle.rfind('.'));
    writeFile(path + "/Contents/Resources/" + stem + ".rsrc", rsrcBytes);
    return path;
}

}  // namespace zrvk_test
