// The folders an extraction keeps open while it writes entries into them
// (their platform side, with files and links: installer_extract_folders_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "installer_extract_folders_platform.h"

namespace Extraction {

// A folder below the destination, reached by a no-follow walk.
struct Folder {
    std::string key;  // its names joined by "/"; "" for the destination
    FolderHandle handle{};
    int users = 0;        // entries planned in it and not yet reported
    int writer = -1;      // the writer of its small entries while it has users
    bool kept = true;     // false once dropped: closed when its last user is reported
    std::list<Folder*>::iterator recent;
};

// Each folder is walked once per run, from the deepest folder already kept,
// one component at a time with no-follow opens, and kept open up to a budget
// of descriptors, so that an entry is created with one open in its folder.
// When the budget is spent the least recently used folder that no planned
// entry needs is closed; when every kept folder is needed, reach says Busy
// and the caller reports entries until one is free. Used on the calling
// thread only.
class FolderCache {
public:
    FolderCache(FolderHandle root, size_t budget);
    ~FolderCache();
    FolderCache(const FolderCache&) = delete;
    FolderCache& operator=(const FolderCache&) = delete;

    Walk reach(const std::vector<std::string>& names, Folder*& folder);

    void hold(Folder* folder) { ++folder->users; }
    void release(Folder* folder);

    // Forgets every kept folder at or below path (conflict keys, so any
    // spelling that may name the same place), so that later entries walk
    // there afresh: after a link was made there, or when a folder was removed.
    void dropAt(const std::string& path);

private:
    Walk walk(const std::vector<std::string>& names, Folder*& folder);
    void touch(Folder* folder) { recent_.splice(recent_.begin(), recent_, folder->recent); }
    // True when one more folder may be kept, after closing the least
    // recently used one that no planned entry needs if the budget is spent.
    bool makeRoom();
    Folder* keep(const std::string& key, FolderHandle handle);

    size_t budget_;
    Folder root_;
    std::unordered_map<std::string, std::unique_ptr<Folder>> folders_;
    std::list<Folder*> recent_;  // most recently used first
    std::vector<std::unique_ptr<Folder>> dropped_;
};

// Walks a folder from the destination without keeping anything (for an
// entry whose kept folder was removed); the caller closes what it gets.
Walk walkAfresh(const FolderHandle& root, const std::vector<std::string>& names, FolderHandle& folder, bool& owned);

// Folders the walks opened since the count was last cleared (what
// DeliveryTesting::extractFolderOpens reports).
void clearFolderOpens();
uint64_t folderOpens();

}  // namespace Extraction
