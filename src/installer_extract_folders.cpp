// The folders an extraction keeps open, each walked once with no-follow
// opens from the deepest folder already kept.
#include "installer_extract_folders.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "installer_extract_paths.h"

namespace Extraction {

namespace {

std::atomic<uint64_t> g_folderOpens{0};

void countFolderOpen() { g_folderOpens.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void clearFolderOpens() { g_folderOpens = 0; }
uint64_t folderOpens() { return g_folderOpens.load(); }

FolderCache::FolderCache(FolderHandle root, size_t budget, const EntryPlaces& places)
    : budget_(std::max<size_t>(1, budget)), places_(places) {
    root_.handle = root;
}

FolderCache::~FolderCache() {
    for (Folder* f = newest_; f; f = f->older) closeFolder(f->handle);
    for (auto& f : folders_)
        if (!f->kept && f->users > 0) closeFolder(f->handle);
}

Walk FolderCache::reach(const std::vector<EntryPlaces::Place>& route, size_t folders, Folder*& folder) {
    const Walk w = walk(route, folders, folder);
    if (w != Walk::Gone) return w;
    // A kept folder on the way was removed: forget the kept folders of
    // that tree and walk from the destination.
    dropAt(route.front().key);
    const Walk again = walk(route, folders, folder);
    return again == Walk::Gone ? Walk::Failed : again;
}

void FolderCache::release(Folder* folder) {
    if (--folder->users > 0 || folder->kept) return;
    closeAndSpare(folder);
}

void FolderCache::link(Folder* folder) {
    folder->older = newest_;
    folder->newer = nullptr;
    if (newest_) newest_->newer = folder;
    newest_ = folder;
    if (!oldest_) oldest_ = folder;
}

void FolderCache::unlink(Folder* folder) {
    (folder->newer ? folder->newer->older : newest_) = folder->older;
    (folder->older ? folder->older->newer : oldest_) = folder->newer;
    folder->newer = folder->older = nullptr;
}

void FolderCache::closeAndSpare(Folder* folder) {
    closeFolder(folder->handle);
    spare_.push_back(folder);
}

void FolderCache::forget(Folder* folder) {
    unlink(folder);
    keptAt_[folder->node] = nullptr;
    --kept_;
    folder->kept = false;
    if (folder->users == 0) closeAndSpare(folder);
}

Walk FolderCache::walk(const std::vector<EntryPlaces::Place>& route, size_t folders, Folder*& folder) {
    if (folders == 0) {
        folder = &root_;
        return Walk::Opened;
    }
    // From the deepest kept folder on the way that no later drop at it or
    // above it made stale; the stale ones are forgotten on the way.
    Folder* from = nullptr;
    size_t depth = 0;
    uint64_t dropped = 0;
    for (size_t d = 0; d < folders; ++d) {
        if (!droppedAt_.empty()) {
            auto drop = droppedAt_.find(route[d].key);
            if (drop != droppedAt_.end()) dropped = std::max(dropped, drop->second);
        }
        Folder* kept = keptAt(route[d].exact);
        if (!kept) continue;
        if (kept->since < dropped) {
            forget(kept);
            continue;
        }
        from = kept;
        depth = d + 1;
    }
    FolderHandle at = root_.handle;
    if (from) {
        unlink(from);
        link(from);
        if (depth == folders) {
            folder = from;
            return Walk::Opened;
        }
        at = from->handle;
    }
    bool ownAt = false;  // a step beyond the budget, closed after the next
    for (size_t d = depth; d < folders; ++d) {
        FolderHandle next{};
        Walk w = openFolderBelow(at, places_.nameOf(route[d]), next);
        if (ownAt) closeFolder(at);
        ownAt = false;
        if (w != Walk::Opened) return w;
        countFolderOpen();
        const bool last = d + 1 == folders;
        if (makeRoom()) {
            Folder* kept = keep(route[d], route.front().key, next);
            at = kept->handle;
            if (last) folder = kept;
        } else if (last) {
            closeFolder(next);
            return Walk::Busy;
        } else {
            at = next;
            ownAt = true;
        }
    }
    return Walk::Opened;
}

bool FolderCache::makeRoom() {
    if (kept_ < budget_) return true;
    for (Folder* folder = oldest_; folder; folder = folder->newer) {
        if (folder->users > 0) continue;
        forget(folder);
        return true;
    }
    return false;
}

Folder* FolderCache::keep(const EntryPlaces::Place& place, PathTree::Node top, FolderHandle handle) {
    Folder* folder;
    if (spare_.empty()) {
        folders_.push_back(std::make_unique<Folder>());
        folder = folders_.back().get();
    } else {
        folder = spare_.back();
        spare_.pop_back();
        *folder = Folder();
    }
    folder->node = place.exact;
    folder->top = top;
    folder->handle = handle;
    folder->since = drops_;
    link(folder);
    if (keptAt_.size() <= place.exact) keptAt_.resize(places_.nodes(), nullptr);
    keptAt_[place.exact] = folder;
    ++kept_;
    return folder;
}

Walk walkAfresh(const FolderHandle& root, const EntryPlaces& places, const std::vector<EntryPlaces::Place>& route,
                size_t folders, FolderHandle& folder, bool& owned) {
    FolderHandle at = root;
    owned = false;
    for (size_t d = 0; d < folders; ++d) {
        FolderHandle next{};
        Walk w = openFolderBelow(at, places.nameOf(route[d]), next);
        if (owned) closeFolder(at);
        if (w != Walk::Opened) {
            owned = false;
            return w;
        }
        countFolderOpen();
        at = next;
        owned = true;
    }
    folder = at;
    return Walk::Opened;
}

}  // namespace Extraction
