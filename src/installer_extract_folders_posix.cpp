// ZIP extraction's folders, files and links on macOS and Linux: descriptors
// reached by no-follow opens, so nothing is written through a link.
#include "installer_extract_folders_platform.h"

#include "installer_utils.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace Extraction {

namespace {

// A new file for an entry. O_EXCL | O_NOFOLLOW: an ordinary file already
// there is removed first; a link or a folder there is left alone and fails.
int createFileAt(int folder, const std::string& leaf) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
        struct stat st;
        if (fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode)) return -1;
        if (unlinkat(folder, leaf.c_str(), 0) != 0 && errno != ENOENT) return -1;
    }
    return -1;
}

}  // namespace

bool openDestination(const std::string& destDir, FolderHandle& root) {
    root = ::open(destDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return root >= 0;
}

Walk openFolderBelow(const FolderHandle& parent, const char* name, FolderHandle& folder) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder >= 0) return Walk::Opened;
        if (errno != ENOENT) break;
        if (mkdirat(parent, name, 0755) != 0 && errno != EEXIST)
            return errno == ENOENT ? Walk::Gone : Walk::Failed;
    }
    struct stat st;
    const bool isLink = fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    return isLink ? Walk::ThroughLink : Walk::Failed;
}

void closeFolder(const FolderHandle& folder) { ::close(folder); }

// A quarter of the descriptors the process may open, within bounds: the
// rest of the program (transfers, logs) needs its own.
size_t defaultFolderBudget() {
    struct rlimit limit;
    rlim_t soft = 256;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) soft = limit.rlim_cur;
    return std::min<size_t>(512, std::max<size_t>(16, static_cast<size_t>(soft / 4)));
}

// Made with one open in its kept folder.
OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

Walk OutputFile::open(const FolderHandle& folder, const std::string& leaf) {
    folder_ = folder;
    leaf_ = leaf;
    fd_ = createFileAt(folder_, leaf_);
    if (fd_ >= 0) return Walk::Opened;
    // Creating in a folder fails so only when the folder was removed.
    return errno == ENOENT ? Walk::Gone : Walk::Failed;
}

bool OutputFile::write(const char* data, size_t size) { return writeAll(fd_, data, size); }

bool OutputFile::close() {
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) unlinkat(folder_, leaf_.c_str(), 0);
    return rc == 0;
}

void OutputFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    unlinkat(folder_, leaf_.c_str(), 0);
}

bool makeLinkAt(const FolderHandle& folder, const std::string& leaf, const std::string& linkTarget, int& err) {
    unlinkat(folder, leaf.c_str(), 0);
    if (symlinkat(linkTarget.c_str(), folder, leaf.c_str()) != 0) {
        err = errno;
        return false;
    }
    return true;
}

}  // namespace Extraction
