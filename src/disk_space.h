// The room that component delivery may use on a file system: what
// downloads and extraction compare what they are about to store with. The
// file system's own figures differ by platform: disk_space_posix.cpp and
// disk_space_win32.cpp, which the build picks.
#pragma once

#include <cstdint>
#include <string>

namespace DiskSpace {

constexpr uint64_t kNoLimit = UINT64_MAX;

struct Room {
    uint64_t freeBytes = 0;       // what an unprivileged writer may still store
    uint64_t blockSize = 4096;    // what a file's data is rounded up to, and what a folder takes
    uint64_t freeInodes = kNoLimit;  // files and folders that may still be made
};

// The room on the file system that holds `folder` (test seams applied);
// false when it cannot be told.
bool roomAt(const std::string& folder, Room& room);

// The file system's own figures, without the seams.
bool fileSystemRoomAt(const std::string& folder, Room& room);

// The page's status for a store that cannot fit:
// "Error: Not enough disk space (X MB needed, Y MB free)".
std::string notEnoughSpaceText(uint64_t neededBytes, uint64_t freeBytes);

// size rounded up to whole blocks, saturating.
uint64_t roundedUp(uint64_t size, uint64_t block);

}  // namespace DiskSpace

namespace DeliveryTesting {
// Puts the file systems' own figures back.
void resetDiskSpace();
}  // namespace DeliveryTesting
