// The file system's room on Windows: free bytes and the cluster size of the
// volume; NTFS sets no limit on files that a count could reach first.
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

}  // namespace DiskSpace
