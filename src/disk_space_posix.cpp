// The file system's room on macOS and Linux, from statvfs.
#include "disk_space.h"

#include <sys/statvfs.h>

#include <string>

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

}  // namespace DiskSpace
