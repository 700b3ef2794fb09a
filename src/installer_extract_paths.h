// Entry names of a ZIP archive: which are unsafe, how two of them compare,
// and the folders on their way.
#pragma once

#include <cstddef>
#include <cstdint>
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
// The last component of an entry path, which names the entry itself; false
// when it is not a name ("", "." or "..").
bool entryLeaf(const std::string& path, std::string& leaf);

// The distinct paths that the entries of one archive name, each a node below
// the node of its folder, so that a path and every folder on its way are
// found in one pass over its text, and each distinct name is held once: what
// the tree costs is in proportion to the names' length, however deep they are.
class PathTree {
public:
    using Node = uint32_t;
    static constexpr Node kTop = 0;  // the destination

    PathTree();
    // The node of the name of `length` bytes at `name` in the folder
    // `parent`, made when missing.
    Node child(Node parent, const char* name, size_t length);
    Node parentOf(Node node) const { return nodes_[node].parent; }
    // A node's own name, ended by a NUL; valid until the next node is made.
    const char* nameOf(Node node) const { return names_.data() + nodes_[node].offset; }
    // Nodes made so far, the top included.
    size_t size() const { return nodes_.size(); }

private:
    struct Named {
        Node parent;
        uint32_t length;
        uint64_t offset;  // of its name in names_, where a NUL follows it
    };
    uint64_t hashOf(Node parent, const char* name, size_t length) const;
    size_t slotOf(Node parent, const char* name, size_t length) const;
    void grow();

    uint64_t base1_, base2_;  // drawn per tree: no archive can aim its names at one slot
    std::string names_;
    std::vector<Named> nodes_;
    std::vector<Node> slots_;  // open addressing; kTop marks a free slot
};

// Where the entries of one archive go: each path as it is spelled (the
// folders written into) and its comparison key, the path with ASCII case
// folded (entries that may name one place on a case-insensitive volume).
// Both are nodes of one tree, so a path that folds to itself is one node.
class EntryPlaces {
public:
    struct Place {
        PathTree::Node exact = PathTree::kTop;
        PathTree::Node key = PathTree::kTop;
    };

    EntryPlaces();
    // The place of each named component of an entry path (empty and "."
    // components left out), folders first; empty when it has none.
    void route(const std::string& path, std::vector<Place>& steps);
    // The folder that holds a key node (kTop for the top level).
    PathTree::Node keyParent(PathTree::Node key) const { return tree_.parentOf(key); }
    // The name of a place's last component as spelled (see PathTree::nameOf).
    const char* nameOf(const Place& place) const { return tree_.nameOf(place.exact); }
    // The node that stands for a place where links are compared: the spelled
    // path, or on macOS (whose usual volume ignores case) the key.
    static PathTree::Node linkNode(const Place& place);
    size_t nodes() const { return tree_.size(); }

private:
    PathTree tree_;
    std::vector<PathTree::Node> keyOf_;  // by node: the node of its folded spelling
    std::string steps_;                  // the path being routed, normalised
    std::string folded_;                 // a component with its case folded
};

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
