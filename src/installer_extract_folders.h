// The folders an extraction keeps open while it writes entries into them
// (their platform side, with files and links: installer_extract_folders_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "installer_extract_folders_platform.h"
#include "installer_extract_paths.h"

namespace Extraction {

// A folder below the destination, reached by a no-follow walk.
struct Folder {
    PathTree::Node node = PathTree::kTop;  // its path as spelled; kTop for the destination
    PathTree::Node top = PathTree::kTop;   // the key of the first folder on its way
    FolderHandle handle{};
    int users = 0;        // entries planned in it and not yet reported
    int writer = -1;      // the writer of its small entries while it has users
    bool kept = true;     // false once dropped: closed when its last user is reported
    uint64_t since = 0;   // the drops made before it was kept
    Folder* newer = nullptr;  // its neighbours by use, while it is kept
    Folder* older = nullptr;
};

// Each folder is walked once per run, from the deepest folder already kept,
// one component at a time with no-follow opens, and kept open up to a budget
// of descriptors, so that an entry is created with one open in its folder.
// When the budget is spent the least recently used folder that no planned
// entry needs is closed; when every kept folder is needed, reach says Busy
// and the caller reports entries until one is free. Kept folders are found
// by the nodes of their paths, so a walk costs a look-up for each folder on
// its way, however deep. Used on the calling thread only.
class FolderCache {
public:
    FolderCache(FolderHandle root, size_t budget, const EntryPlaces& places);
    ~FolderCache();
    FolderCache(const FolderCache&) = delete;
    FolderCache& operator=(const FolderCache&) = delete;

    // The folder of an entry whose folders are the first `folders` places
    // of `route` (EntryPlaces::route).
    Walk reach(const std::vector<EntryPlaces::Place>& route, size_t folders, Folder*& folder);

    void hold(Folder* folder) { ++folder->users; }
    void release(Folder* folder);

    // Forgets every kept folder at or below the key node (any spelling that
    // may name the same place), so that later entries walk there afresh:
    // after a link was made there, or when a folder was removed. The drop is
    // noted once; a walk passes over the folders it made stale.
    void dropAt(PathTree::Node key) { droppedAt_[key] = ++drops_; }

private:
    Walk walk(const std::vector<EntryPlaces::Place>& route, size_t folders, Folder*& folder);
    Folder* keptAt(PathTree::Node node) const { return node < keptAt_.size() ? keptAt_[node] : nullptr; }
    void link(Folder* folder);    // as the most recently used
    void unlink(Folder* folder);
    // True when one more folder may be kept, after closing the least
    // recently used one that no planned entry needs if the budget is spent.
    bool makeRoom();
    Folder* keep(const EntryPlaces::Place& place, PathTree::Node top, FolderHandle handle);
    // No longer kept: closed and spare, or left to its planned entries.
    void forget(Folder* folder);
    // Closed, and spare for the next folder kept.
    void closeAndSpare(Folder* folder);

    size_t budget_;
    const EntryPlaces& places_;
    Folder root_;
    std::vector<Folder*> keptAt_;  // by node
    size_t kept_ = 0;
    Folder* newest_ = nullptr;
    Folder* oldest_ = nullptr;
    std::vector<std::unique_ptr<Folder>> folders_;  // every folder made, kept or not
    std::vector<Folder*> spare_;                     // closed, for the next folder kept
    std::unordered_map<PathTree::Node, uint64_t> droppedAt_;  // by key: the count of drops at the last one there
    uint64_t drops_ = 0;
};

// Walks a folder from the destination without keeping anything (for an
// entry whose kept folder was removed); the caller closes what it gets.
Walk walkAfresh(const FolderHandle& root, const EntryPlaces& places, const std::vector<EntryPlaces::Place>& route,
                size_t folders, FolderHandle& folder, bool& owned);

// Folders the walks opened since the count was last cleared (what
// DeliveryTesting::extractFolderOpens reports).
void clearFolderOpens();
uint64_t folderOpens();

}  // namespace Extraction
