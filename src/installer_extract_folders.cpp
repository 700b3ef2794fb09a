// The folders an extraction keeps open, each walked once with no-follow
// opens from the deepest folder already kept.
#include "installer_extract_folders.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
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

FolderCache::FolderCache(FolderHandle root, size_t budget) : budget_(std::max<size_t>(1, budget)) {
    root_.handle = root;
}

FolderCache::~FolderCache() {
    for (auto& kept : folders_) closeFolder(kept.second->handle);
    for (auto& dropped : dropped_) closeFolder(dropped->handle);
}

Walk FolderCache::reach(const std::vector<std::string>& names, Folder*& folder) {
    const Walk w = walk(names, folder);
    if (w != Walk::Gone) return w;
    // A kept folder on the way was removed: forget the kept folders of
    // that tree and walk from the destination.
    dropAt(conflictKey(names.front()));
    const Walk again = walk(names, folder);
    return again == Walk::Gone ? Walk::Failed : again;
}

void FolderCache::release(Folder* folder) {
    if (--folder->users > 0 || folder->kept) return;
    closeFolder(folder->handle);
    dropped_.erase(std::find_if(dropped_.begin(), dropped_.end(),
                                [folder](const std::unique_ptr<Folder>& f) { return f.get() == folder; }));
}

void FolderCache::dropAt(const std::string& path) {
    for (auto it = folders_.begin(); it != folders_.end();) {
        const std::string key = conflictKey(it->first);
        if (!pathsOverlap(key, path) || key.size() < path.size()) {
            ++it;
            continue;
        }
        Folder* folder = it->second.get();
        recent_.erase(folder->recent);
        folder->kept = false;
        if (folder->users == 0) {
            closeFolder(folder->handle);
        } else {
            dropped_.push_back(std::move(it->second));
        }
        it = folders_.erase(it);
    }
}

Walk FolderCache::walk(const std::vector<std::string>& names, Folder*& folder) {
    if (names.empty()) {
        folder = &root_;
        return Walk::Opened;
    }
    std::string key;
    std::vector<size_t> ends;
    for (const std::string& name : names) {
        if (!key.empty()) key += '/';
        key += name;
        ends.push_back(key.size());
    }
    auto hit = folders_.find(key);
    if (hit != folders_.end()) {
        touch(hit->second.get());
        folder = hit->second.get();
        return Walk::Opened;
    }
    // From the deepest kept folder on the way.
    FolderHandle at = root_.handle;
    size_t from = 0;
    for (size_t depth = names.size() - 1; depth > 0; --depth) {
        auto kept = folders_.find(key.substr(0, ends[depth - 1]));
        if (kept != folders_.end()) {
            touch(kept->second.get());
            at = kept->second->handle;
            from = depth;
            break;
        }
    }
    bool ownAt = false;  // a step beyond the budget, closed after the next
    for (size_t d = from; d < names.size(); ++d) {
        FolderHandle next{};
        Walk w = openFolderBelow(at, names[d], next);
        if (ownAt) closeFolder(at);
        ownAt = false;
        if (w != Walk::Opened) return w;
        countFolderOpen();
        const bool last = d + 1 == names.size();
        if (makeRoom()) {
            Folder* kept = keep(key.substr(0, ends[d]), next);
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
    if (folders_.size() < budget_) return true;
    for (auto it = recent_.rbegin(); it != recent_.rend(); ++it) {
        Folder* folder = *it;
        if (folder->users > 0) continue;
        closeFolder(folder->handle);
        recent_.erase(std::next(it).base());
        folders_.erase(folder->key);
        return true;
    }
    return false;
}

Folder* FolderCache::keep(const std::string& key, FolderHandle handle) {
    auto folder = std::make_unique<Folder>();
    folder->key = key;
    folder->handle = handle;
    recent_.push_front(folder.get());
    folder->recent = recent_.begin();
    Folder* made = folder.get();
    folders_[key] = std::move(folder);
    return made;
}

Walk walkAfresh(const FolderHandle& root, const std::vector<std::string>& names, FolderHandle& folder, bool& owned) {
    FolderHandle at = root;
    owned = false;
    for (const std::string& name : names) {
        FolderHandle next{};
        Walk w = openFolderBelow(at, name, next);
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
