// Component delivery's Windows bodies: the run's private temporary folder,
// the room of a volume, and extraction's folders and files, which are plain
// paths here.
#include "case_runner.h"
#include "windows_support.h"

#include "disk_space.h"
#include "installer_download.h"
#include "installer_extract_folders_platform.h"

#include <string>

using namespace wintest;

ZRVK_CASE(runTempDirectoryIsMadeOnceInsideItsBase) {
    const std::string base = caseFolder() + "/temp base";
    DeliveryTesting::setTempDirectory(base);
    const std::string dir = getRunTempDirectory();
    CHECK_EQ(dir.rfind(base + "/zorvik_installer_", 0), size_t(0));
    CHECK(folderExists(dir));
    CHECK_EQ(getRunTempDirectory(), dir);
    // Another base gets a folder of its own.
    DeliveryTesting::setTempDirectory(caseFolder() + "/other base");
    const std::string other = getRunTempDirectory();
    CHECK(other != dir);
    CHECK_EQ(other.rfind(caseFolder() + "/other base/zorvik_installer_", 0), size_t(0));
    DeliveryTesting::reset();
}

ZRVK_CASE(extractionFoldersAndFilesArePaths) {
    using namespace Extraction;
    const std::string dest = caseFolder() + "/dest";
    makeFolders(dest);
    FolderHandle root;
    REQUIRE(openDestination(dest, root));
    FolderHandle folder;
    CHECK(openFolderBelow(root, "sub dir", folder) == Walk::Opened);
    CHECK(folderExists(dest + "/sub dir"));
    {
        OutputFile out;
        REQUIRE(out.open(folder, "kept.bin") == Walk::Opened);
        CHECK(out.write("a\r\nb\x1a", 5));
        CHECK(out.close());
    }
    CHECK_EQ(readFile(dest + "/sub dir/kept.bin"), std::string("a\r\nb\x1a"));
    {
        OutputFile out;
        REQUIRE(out.open(folder, "dropped.bin") == Walk::Opened);
        CHECK(out.write("partial", 7));
        out.discard();
    }
    CHECK(!fileExists(dest + "/sub dir/dropped.bin"));
    // A link entry is a small file holding the target exactly as it was checked.
    int err = 0;
    CHECK(!kMakesLinks);
    const std::string target("Versions/Current\0\r\n", 19);
    CHECK(makeLinkAt(folder, "link", target, err));
    CHECK_EQ(readFile(dest + "/sub dir/link"), target);
    closeFolder(folder);
    closeFolder(root);
}

ZRVK_CASE(theRoomOfAFolderIsItsVolumesFreeBytesAndClusters) {
    DiskSpace::Room room;
    REQUIRE(DiskSpace::roomAt(caseFolder(), room));
    CHECK(room.freeBytes > 0);
    CHECK(room.blockSize >= 512 && (room.blockSize & (room.blockSize - 1)) == 0);
    CHECK(room.freeInodes == DiskSpace::kNoLimit);
    CHECK(!DiskSpace::roomAt(caseFolder() + "/no such folder", room));
    DeliveryTesting::setFreeSpace(12345, 7);
    REQUIRE(DiskSpace::roomAt(caseFolder(), room));
    CHECK_EQ(room.freeBytes, uint64_t(12345));
    CHECK_EQ(room.freeInodes, uint64_t(7));
    DeliveryTesting::reset();
}
