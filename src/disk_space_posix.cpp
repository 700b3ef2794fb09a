// The file system's room on macOS and Linux, from statvfs, and what a tree
// on disk takes of it.
#include "disk_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace DiskSpace {

bool fileSystemRoomAt(const std::string& folder, Room& room) {
    struct statvfs info;
    if (statvfs(folder.c_str(), &info) != 0) return false;
    const uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    room.freeBytes = static_cast<uint64_t>(info.f_bavail) * unit;
    room.blockSize = unit ? unit : 4096;
    // A file system that counts no inodes (f_files 0) sets them no limit.
    room.freeInodes = info.f_files == 0 ? kNoLimit : static_cast<uint64_t>(info.f_favail);
    return true;
}

namespace {

constexpr int kFolderOpen = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// One folder of the walk: where it is, and its folders not yet visited.
struct Level {
    dev_t device;
    ino_t inode;
    std::vector<std::string> folders;
};

// Counts the open folder and its entries; its folders' names go to the level.
bool enter(int fd, uint64_t blockSize, Footprint& need, std::vector<Level>& levels) {
    struct stat info;
    if (fstat(fd, &info) != 0) return false;
    need.addFolders(1, blockSize);
    levels.push_back({info.st_dev, info.st_ino, {}});
    const int listed = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
    if (dir == nullptr) {
        if (listed >= 0) ::close(listed);
        return false;
    }
    bool ok = true;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            break;
        }
        if (S_ISDIR(info.st_mode)) {
            levels.back().folders.push_back(name);
        } else {
            need.addFile(S_ISREG(info.st_mode) || S_ISLNK(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0,
                         blockSize);
        }
    }
    closedir(dir);
    return ok;
}

}  // namespace

// One descriptor open at a time whatever the depth (a staged tree may be
// deeper than a path can name): down by name without following a link, back
// up by "..", which must be the folder the walk came from.
bool footprintOfTree(const std::string& folder, uint64_t blockSize, Footprint& need) {
    int fd = ::open(folder.c_str(), kFolderOpen | O_NOFOLLOW);
    if (fd < 0) return false;
    std::vector<Level> levels;
    bool ok = enter(fd, blockSize, need, levels);
    while (ok && !levels.empty()) {
        int next = -1;
        if (!levels.back().folders.empty()) {
            const std::string name = std::move(levels.back().folders.back());
            levels.back().folders.pop_back();
            next = ::openat(fd, name.c_str(), kFolderOpen | O_NOFOLLOW);
            ok = next >= 0 && enter(next, blockSize, need, levels);
        } else {
            levels.pop_back();
            if (levels.empty()) break;
            next = ::openat(fd, "..", kFolderOpen);
            struct stat info;
            ok = next >= 0 && fstat(next, &info) == 0 && info.st_dev == levels.back().device &&
                 info.st_ino == levels.back().inode;
        }
        ::close(fd);
        fd = next;
    }
    if (fd >= 0) ::close(fd);
    return ok;
}

}  // namespace DiskSpace
