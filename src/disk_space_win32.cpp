// The file system's room on Windows: free bytes and the cluster size of the
// volume; NTFS sets no limit on files that a count could reach first. And
// what a tree on disk takes of it.
#include "disk_space.h"

#include <string>

#include <windows.h>

namespace DiskSpace {

bool fileSystemRoomAt(const std::string& folder, Room& room) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return false;
    room.freeBytes = available.QuadPart;
    room.freeInodes = kNoLimit;
    // GetDiskFreeSpaceA takes the volume's root only.
    char volume[MAX_PATH];
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (GetVolumePathNameA(folder.c_str(), volume, MAX_PATH) &&
        GetDiskFreeSpaceA(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
        sectorsPerCluster && bytesPerSector) {
        room.blockSize = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    }
    return true;
}

// A reparse point counts as the entry it is, never as what it names.
bool footprintOfTree(const std::string& folder, uint64_t blockSize, Footprint& need) {
    need.addFolders(1, blockSize);
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        const DWORD attributes = entry.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            ok = footprintOfTree(folder + "/" + name, blockSize, need);
        } else {
            need.addFile((static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow, blockSize);
        }
    } while (ok && FindNextFileA(find, &entry));
    FindClose(find);
    return ok;
}

}  // namespace DiskSpace
