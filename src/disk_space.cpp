// The room delivery may use, with the tests' figures in place of the file
// system's when they set them.
#include "disk_space.h"

#include <cstdio>
#include <string>

#include "installer_download.h"

namespace {

int64_t g_freeBytesOverride = -1;
int64_t g_freeInodesOverride = -1;

}  // namespace

namespace DiskSpace {

bool roomAt(const std::string& folder, Room& room) {
    room = Room();
    const bool told = fileSystemRoomAt(folder, room);
    if (g_freeBytesOverride < 0) return told;
    room.freeBytes = static_cast<uint64_t>(g_freeBytesOverride);
    room.freeInodes = g_freeInodesOverride < 0 ? kNoLimit : static_cast<uint64_t>(g_freeInodesOverride);
    return true;
}

bool roomFor(const std::string& path, Room& room) {
    std::string folder = path;
    for (;;) {
        if (roomAt(folder, room)) return true;
        const std::string::size_type slash = folder.find_last_of("/\\");
        if (slash == std::string::npos || folder.size() == 1) return false;
        folder.erase(slash == 0 ? 1 : slash);
    }
}

namespace {

uint64_t saturatingSum(uint64_t a, uint64_t b) { return b > kNoLimit - a ? kNoLimit : a + b; }

}  // namespace

void Footprint::addFile(uint64_t size, uint64_t blockSize) {
    bytes = saturatingSum(bytes, roundedUp(size, blockSize));
    inodes = saturatingSum(inodes, 1);
}

void Footprint::addFolders(uint64_t count, uint64_t blockSize) {
    bytes = saturatingSum(bytes, blockSize != 0 && count > kNoLimit / blockSize ? kNoLimit : count * blockSize);
    inodes = saturatingSum(inodes, count);
}

bool fits(const Footprint& need, const Room& room) {
    return need.bytes <= room.freeBytes && (room.freeInodes == kNoLimit || need.inodes <= room.freeInodes);
}

namespace {

// Tenths of a MB, rounded up or down.
uint64_t tenthsOfMB(uint64_t bytes, bool up) {
    const uint64_t mb = 1048576;
    const uint64_t rest = (bytes % mb) * 10;
    return bytes / mb * 10 + rest / mb + (up && rest % mb != 0);
}

}  // namespace

// Needed is rounded up and free down, so that the two never read as if the
// store would fit.
std::string notEnoughSpaceText(uint64_t neededBytes, uint64_t freeBytes) {
    const uint64_t needed = tenthsOfMB(neededBytes, true), free = tenthsOfMB(freeBytes, false);
    char buf[160];
    std::snprintf(buf, sizeof buf, "Error: Not enough disk space (%llu.%llu MB needed, %llu.%llu MB free)",
                  static_cast<unsigned long long>(needed / 10), static_cast<unsigned long long>(needed % 10),
                  static_cast<unsigned long long>(free / 10), static_cast<unsigned long long>(free % 10));
    return buf;
}

// Short of inodes only, a figure in MB would read as if the store fitted.
std::string notEnoughRoomText(const Footprint& need, const Room& room) {
    if (need.bytes > room.freeBytes) return notEnoughSpaceText(need.bytes, room.freeBytes);
    return "Error: Not enough disk space (" + std::to_string(need.inodes) + " files and folders needed, " +
           std::to_string(room.freeInodes) + " can be made)";
}

std::string shortfallLine(const std::string& tag, const std::string& where, const Footprint& need, const Room& room,
                          const char* takes, const char* makes) {
    if (need.bytes > room.freeBytes) {
        return tag + " Not enough free space in " + where + ": " + takes + " " + std::to_string(need.bytes) +
               " bytes, " + std::to_string(room.freeBytes) + " bytes are free";
    }
    return tag + " Not enough free inodes in " + where + ": " + makes + " " + std::to_string(need.inodes) +
           " files and folders, " + std::to_string(room.freeInodes) + " more can be made";
}

uint64_t roundedUp(uint64_t size, uint64_t block) {
    if (block <= 1) return size;
    const uint64_t blocks = size / block + (size % block != 0);
    return blocks > kNoLimit / block ? kNoLimit : blocks * block;
}

}  // namespace DiskSpace

namespace DeliveryTesting {

void setFreeSpace(int64_t bytes, int64_t inodes) {
    g_freeBytesOverride = bytes;
    g_freeInodesOverride = bytes < 0 ? -1 : inodes;
}
void resetDiskSpace() { setFreeSpace(-1, -1); }

}  // namespace DeliveryTesting
