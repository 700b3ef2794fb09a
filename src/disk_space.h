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
// The same for a path that may not exist yet: the room of its nearest
// folder that does.
bool roomFor(const std::string& path, Room& room);

// The file system's own figures, without the seams.
bool fileSystemRoomAt(const std::string& folder, Room& room);

// What storing a tree costs a file system, counted as it spends it: each
// file's data (a link's target too) in whole blocks and an inode, a block
// and an inode for every folder. The sums saturate.
struct Footprint {
    uint64_t bytes = 0;
    uint64_t inodes = 0;
    void addFile(uint64_t size, uint64_t blockSize);
    void addFolders(uint64_t count, uint64_t blockSize);
};

bool fits(const Footprint& need, const Room& room);

// The footprint of the tree at `folder`, the folder itself included, adding
// to `need`; no link is followed. False when some of it cannot be read.
bool footprintOfTree(const std::string& folder, uint64_t blockSize, Footprint& need);

// The page's status for a store that cannot fit:
// "Error: Not enough disk space (X MB needed, Y MB free)".
std::string notEnoughSpaceText(uint64_t neededBytes, uint64_t freeBytes);
// The same for a need that does not fit the room: the form above when bytes
// are short, "Error: Not enough disk space (N files and folders needed, M can
// be made)" when only inodes are.
std::string notEnoughRoomText(const Footprint& need, const Room& room);
// The log line that names the figures: tag + " Not enough free space in " +
// where + ": " + takes + " N bytes, F bytes are free", or for inodes
// " Not enough free inodes in " + where + ": " + makes + " N files and
// folders, M more can be made".
std::string shortfallLine(const std::string& tag, const std::string& where, const Footprint& need, const Room& room,
                          const char* takes, const char* makes);

// size rounded up to whole blocks, saturating.
uint64_t roundedUp(uint64_t size, uint64_t block);

}  // namespace DiskSpace

namespace DeliveryTesting {
// Puts the file systems' own figures back.
void resetDiskSpace();
}  // namespace DeliveryTesting
