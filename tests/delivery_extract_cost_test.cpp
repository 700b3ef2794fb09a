// What extraction allocates on archives of deep names and many links stays
// in proportion to the length of the names: this program counts every byte
// that operator new hands out while an extraction runs, and the most that is
// held at once, so that a structure keyed by every prefix of a name (whose
// cost grows with depth times length) fails here however fast the machine.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "installer_download.h"
#include "support/test_paths.h"
#include "support/zip_fixtures.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_allocated{0};
std::atomic<int64_t> g_held{0};
std::atomic<int64_t> g_mostHeld{0};

// Each block carries its size and whether it was counted, so that a block
// made before the count and freed during it changes nothing.
constexpr size_t kHeader = 16;
struct Header {
    size_t size;
    size_t counted;
};

void* allocate(size_t size) {
    void* block = std::malloc(size + kHeader);
    if (!block) throw std::bad_alloc();
    const bool counting = g_counting.load(std::memory_order_relaxed);
    *static_cast<Header*>(block) = Header{size, counting ? 1u : 0u};
    if (counting) {
        g_allocated.fetch_add(size, std::memory_order_relaxed);
        const int64_t held = g_held.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
        int64_t most = g_mostHeld.load();
        while (held > most && !g_mostHeld.compare_exchange_weak(most, held)) {
        }
    }
    return static_cast<char*>(block) + kHeader;
}

void release(void* p) {
    if (!p) return;
    void* block = static_cast<char*>(p) - kHeader;
    const Header header = *static_cast<Header*>(block);
    if (header.counted) g_held.fetch_sub(static_cast<int64_t>(header.size));
    std::free(block);
}

}  // namespace

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }

namespace {

using zrvk_test::ZipEntry;

struct Cost {
    bool extracted = false;
    uint64_t allocated = 0;
    int64_t mostHeld = 0;
};

Cost extractCounting(const std::string& zip, const std::string& dest) {
    g_allocated = 0;
    g_held = 0;
    g_mostHeld = 0;
    g_counting = true;
    Cost cost;
    cost.extracted = extractZip(zip, dest, nullptr, nullptr);
    g_counting = false;
    cost.allocated = g_allocated.load();
    cost.mostHeld = g_mostHeld.load();
    return cost;
}

std::string deep(int depth) {
    std::string path;
    for (int d = 0; d < depth; ++d) path += "a/";
    return path;
}

// True when path leads from dest, folder by folder without following a
// link, to a file that holds `content`.
bool fileAt(const std::string& dest, const std::string& path, const std::string& content) {
    int at = open(dest.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t start = 0;
    for (size_t end; at >= 0 && (end = path.find('/', start)) != std::string::npos; start = end + 1) {
        const int next = openat(at, path.substr(start, end - start).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(at);
        at = next;
    }
    if (at < 0) return false;
    const int fd = openat(at, path.substr(start).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    close(at);
    if (fd < 0) return false;
    std::string got(content.size() + 1, '\0');
    const ssize_t n = read(fd, &got[0], got.size());
    close(fd);
    return n == static_cast<ssize_t>(content.size()) && got.compare(0, content.size(), content) == 0;
}

TEST(ExtractionCost, DeepNamesAndManyLinksCostInProportionToTheNames) {
    constexpr int kDepth = 1500;  // names of 3 KB: every prefix of one is 2.25 MB
    struct Shape {
        const char* title;
        std::vector<ZipEntry> entries;
        std::string probe;  // an entry that must be written
    };
    std::vector<Shape> shapes(4);
    // What the disk does for these folders, and removing them after, takes
    // far longer than the extraction's own work: a few shapes of a few
    // thousand folders each show the fault as well as many would.
    shapes[0].title = "deep branches, each its own";
    for (int b = 0; b < 2; ++b)
        shapes[0].entries.push_back(ZipEntry::file("b" + std::to_string(b) + "/" + deep(kDepth) + "f", "x"));
    shapes[0].probe = "b1/" + deep(kDepth) + "f";
    shapes[1].title = "one deep path shared by many entries";
    for (int f = 0; f < 64; ++f) shapes[1].entries.push_back(ZipEntry::file(deep(kDepth) + "f" + std::to_string(f), "x"));
    shapes[1].probe = deep(kDepth) + "f63";
    shapes[2].title = "a deep file, then many links";
    shapes[2].entries.push_back(ZipEntry::file(deep(kDepth) + "f", "x"));
    for (int l = 0; l < 300; ++l) shapes[2].entries.push_back(ZipEntry::link("l" + std::to_string(l), "a"));
    shapes[2].entries.push_back(ZipEntry::file("after/" + deep(kDepth) + "g", "x"));
    shapes[2].probe = "after/" + deep(kDepth) + "g";
    shapes[3].title = "links between deep files in mixed case";
    for (int l = 0; l < 8; ++l) {
        shapes[3].entries.push_back(ZipEntry::file("A" + std::to_string(l) + "/" + deep(kDepth / 5) + "F", "x"));
        shapes[3].entries.push_back(ZipEntry::link("A" + std::to_string(l) + "/l", "F"));
    }
    shapes[3].probe = "A7/" + deep(kDepth / 5) + "F";

    // What any extraction costs: the writers' blocks, the window.
    Cost base;
    {
        zrvk_test::TempDir box;
        ASSERT_EQ(zrvk_test::buildZip(box / "small.zip", {ZipEntry::file("a/f", "x"), ZipEntry::file("a/g", "x")}), "");
        base = extractCounting(box / "small.zip", box / "out");
        ASSERT_TRUE(base.extracted);
    }
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.title);
        zrvk_test::TempDir box;
        const std::string zip = box / "deep.zip", dest = box / "out";
        ASSERT_EQ(zrvk_test::buildZip(zip, shape.entries), "");
        uint64_t nameBytes = 0;
        for (const ZipEntry& e : shape.entries) nameBytes += e.name.size();

        const Cost cost = extractCounting(zip, dest);
        EXPECT_TRUE(cost.extracted);
        EXPECT_TRUE(fileAt(dest, shape.probe, "x"));
        // Past what any extraction costs, a node of a few dozen bytes for
        // each folder on the way (two bytes of name, "a/"), made once: a
        // copy of every prefix of a name costs a thousand times more here.
        EXPECT_LE(cost.allocated, base.allocated + 256 * nameBytes) << nameBytes << " bytes of names";
        EXPECT_LE(cost.mostHeld, base.mostHeld + 128 * static_cast<int64_t>(nameBytes)) << nameBytes << " bytes of names";
    }
}

// The entries planned ahead are held to a size of their names: long names
// under one folder do not all wait in memory at once.
TEST(ExtractionCost, TheEntriesPlannedAheadAreHeldToASizeOfTheirNames) {
    zrvk_test::TempDir box;
    const std::string zip = box / "long.zip", dest = box / "out";
    const std::string folder = deep(2000);
    std::vector<ZipEntry> entries;
    for (int f = 0; f < 600; ++f) entries.push_back(ZipEntry::file(folder + "f" + std::to_string(f), "x"));
    ASSERT_EQ(zrvk_test::buildZip(zip, entries), "");
    const Cost cost = extractCounting(zip, dest);
    EXPECT_TRUE(cost.extracted);
    EXPECT_TRUE(fileAt(dest, folder + "f599", "x"));
    // 600 names of 4 KB, 2.4 MB: the count of what the archive makes holds
    // their folders once, and the entries planned ahead a few MB of them.
    // Every entry of a full window holding its name three times is 17 MB.
    EXPECT_LE(cost.mostHeld, int64_t{12} << 20);
}

}  // namespace
