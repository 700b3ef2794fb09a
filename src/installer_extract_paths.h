// Entry names of a ZIP archive: which are unsafe, how two of them compare,
// and the folders on their way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Extraction {

// The entry path of a stored name: every backslash made a slash.
std::string entryPathOf(const std::string& storedName);
// An absolute name, a drive letter or a ".." component.
bool isUnsafeEntryPath(const std::string& path);
// Entries that extraction skips without a word (__MACOSX, .DS_Store).
bool isSkippedEntryPath(const std::string& path);
// True when a link entry at `entryPath` pointing to `target` leads to a place
// inside the extraction folder: the target is relative and holds no NUL, and
// read from the link's own folder it climbs (leading "..") no higher than
// the top and climbs nowhere after a named step (which may itself be a link).
bool linkStaysInside(const std::string& entryPath, const std::string& target);
// Entry path without empty and "." components, for comparing entries.
std::string normalizedEntryPath(const std::string& path);
// True when a link made earlier lies on the way to path (or at it, unless
// the entry itself is a link that replaces it).
bool passesThroughLink(const std::set<std::string>& links, const std::string& normalized, bool entryIsLink);
// Comparison key of an entry path: ASCII case folded, so that entries that
// may name one place on a case-insensitive volume are never written at once.
std::string conflictKey(const std::string& normalized);
// True when one path is the other or lies below it.
bool pathsOverlap(const std::string& a, const std::string& b);
// Folder names without empty and "." components; false when the last
// component is not a name.
bool splitEntryPath(const std::string& path, std::vector<std::string>& names, std::string& leaf);

// The distinct folders that entry paths name or imply. Time and memory stay
// proportional to the names' total length however deep or alike they are:
// each entry keeps only its folders' text, and the count sorts those once,
// so that the entries sharing a folder lie side by side.
class FolderCount {
public:
    // The folders on the way to `path`, and `path` itself when it names one.
    void add(const std::string& path, bool namesFolder);
    uint64_t folders();

private:
    std::string text_;  // each entry's folders, each followed by "/"
    std::vector<std::pair<size_t, size_t>> entries_;  // offset and length in text_
};

}  // namespace Extraction
