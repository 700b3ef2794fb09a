// ZIP extraction's folders and files on Windows: paths, written through the
// C runtime.
#include "installer_extract_folders_platform.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "installer_utils.h"

namespace Extraction {

bool openDestination(const std::string& destDir, FolderHandle& root) {
    root = destDir;
    return true;
}

// The parent was reached already: only this one folder is made, so a walk
// costs one step per folder on its way, not one per folder above each.
Walk openFolderBelow(const FolderHandle& parent, const char* name, FolderHandle& folder) {
    folder = parent + "/" + name;
    return makeFolder(folder) ? Walk::Opened : Walk::Failed;
}

void closeFolder(const FolderHandle&) {}

// Paths cost no descriptors.
size_t defaultFolderBudget() { return 4096; }

OutputFile::~OutputFile() {
    if (f_) std::fclose(f_);
}

Walk OutputFile::open(const FolderHandle& folder, const std::string& leaf) {
    path_ = folder + "/" + leaf;
    f_ = std::fopen(path_.c_str(), "wb");
    return f_ ? Walk::Opened : Walk::Failed;
}

bool OutputFile::write(const char* data, size_t size) { return std::fwrite(data, 1, size, f_) == size; }

bool OutputFile::close() {
    bool ok = std::fclose(f_) == 0;
    f_ = nullptr;
    if (!ok) std::remove(path_.c_str());
    return ok;
}

void OutputFile::discard() {
    if (f_) std::fclose(f_);
    f_ = nullptr;
    std::remove(path_.c_str());
}

// A link entry becomes a small file holding the target text, byte for byte
// as it was checked (kMakesLinks).
bool makeLinkAt(const FolderHandle& folder, const std::string& leaf, const std::string& linkTarget, int& err) {
    OutputFile out;
    if (out.open(folder, leaf) != Walk::Opened) {
        err = errno;
        return false;
    }
    if (!out.write(linkTarget.data(), linkTarget.size())) {
        err = errno;
        out.discard();
        return false;
    }
    if (!out.close()) {
        err = errno;
        return false;
    }
    return true;
}

}  // namespace Extraction
