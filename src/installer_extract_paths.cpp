// Entry names of a ZIP archive, compared as the volume they go to would.
#include "installer_extract_paths.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace Extraction {

std::string entryPathOf(const std::string& storedName) {
    std::string path = storedName;
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

bool isUnsafeEntryPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return true;
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')))
        return true;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}

bool isSkippedEntryPath(const std::string& path) {
    return path.find("__MACOSX") != std::string::npos || path.find(".DS_Store") != std::string::npos;
}

namespace {

// The named components of a path, empty and "." ones left out.
std::vector<std::string> stepsOf(const std::string& path) {
    std::vector<std::string> steps;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") steps.push_back(std::move(part));
        start = end + 1;
    }
    return steps;
}

}  // namespace

bool linkStaysInside(const std::string& entryPath, const std::string& target) {
    // A link is made from the text before a NUL: what follows must not be
    // read as steps the link does not have.
    if (target.find('\0') != std::string::npos) return false;
    if (!target.empty() && target[0] == '/') return false;
    const std::vector<std::string> entry = stepsOf(entryPath);
    if (entry.empty()) return false;
    size_t depth = entry.size() - 1;  // of the link's own folder
    bool named = false;
    for (const std::string& step : stepsOf(target)) {
        if (step != "..") {
            named = true;
        } else if (named || depth == 0) {
            return false;
        } else {
            --depth;
        }
    }
    return true;
}

namespace {

// Appends the first `length` bytes of path to out, a byte at a time, each
// named component followed by "/" (empty and "." components left out);
// returns how many bytes it appended.
size_t appendSteps(const std::string& path, size_t length, std::string& out) {
    const size_t offset = out.size();
    out.resize(offset + length + 1);
    char* const first = &out[offset];
    char* at = first;
    char* component = first;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && path[i] != '/') {
            *at++ = path[i];
            continue;
        }
        if (at - component == 1 && *component == '.') at = component;
        if (at == component) continue;
        *at++ = '/';
        component = at;
    }
    out.resize(offset + static_cast<size_t>(at - first));
    return static_cast<size_t>(at - first);
}

}  // namespace

bool entryLeaf(const std::string& path, std::string& leaf) {
    leaf = path.substr(path.rfind('/') + 1);
    return !leaf.empty() && leaf != "." && leaf != "..";
}

// ---------------------------------------------------------------------------
// The tree of an archive's paths.

namespace {

// Two hashes modulo 2^31 - 1 over the name's bytes, with bases drawn per
// tree: a name's slot costs one pass over it, and only 64-bit arithmetic.
constexpr uint64_t kHashPrime = 2147483647;

uint64_t drawnBase(std::random_device& random) {
    return 256 + (static_cast<uint64_t>(random()) % (kHashPrime - 512));
}

bool hasUpperCase(const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (name[i] >= 'A' && name[i] <= 'Z') return true;
    return false;
}

}  // namespace

PathTree::PathTree() {
    std::random_device random;
    base1_ = drawnBase(random);
    base2_ = drawnBase(random);
    nodes_.push_back(Named{kTop, 0, 0});
    slots_.assign(64, kTop);
}

uint64_t PathTree::hashOf(Node parent, const char* name, size_t length) const {
    uint64_t h1 = parent % kHashPrime, h2 = h1;
    for (size_t i = 0; i < length; ++i) {
        const uint64_t c = static_cast<unsigned char>(name[i]) + 1u;
        h1 = (h1 * base1_ + c) % kHashPrime;
        h2 = (h2 * base2_ + c) % kHashPrime;
    }
    return ((h1 << 31) ^ h2) * 0x9E3779B97F4A7C15ull;
}

// The slot that holds the name, or the free slot where it goes.
size_t PathTree::slotOf(Node parent, const char* name, size_t length) const {
    const size_t mask = slots_.size() - 1;
    size_t slot = static_cast<size_t>(hashOf(parent, name, length) >> 32) & mask;
    for (; slots_[slot] != kTop; slot = (slot + 1) & mask) {
        const Named& held = nodes_[slots_[slot]];
        if (held.parent == parent && held.length == length && std::memcmp(names_.data() + held.offset, name, length) == 0)
            break;
    }
    return slot;
}

PathTree::Node PathTree::child(Node parent, const char* name, size_t length) {
    const size_t slot = slotOf(parent, name, length);
    if (slots_[slot] != kTop) return slots_[slot];
    const Node made = static_cast<Node>(nodes_.size());
    nodes_.push_back(Named{parent, static_cast<uint32_t>(length), names_.size()});
    names_.append(name, length);
    names_ += '\0';
    slots_[slot] = made;
    if (nodes_.size() * 2 > slots_.size()) grow();
    return made;
}

// Twice the slots; each name is hashed again, which the doubling keeps to a
// few passes over all names.
void PathTree::grow() {
    slots_.assign(slots_.size() * 2, kTop);
    for (Node n = 1; n < nodes_.size(); ++n) {
        const Named& named = nodes_[n];
        slots_[slotOf(named.parent, names_.data() + named.offset, named.length)] = n;
    }
}

EntryPlaces::EntryPlaces() : keyOf_(1, PathTree::kTop) {}

void EntryPlaces::route(const std::string& path, std::vector<Place>& steps) {
    steps.clear();
    steps_.clear();
    appendSteps(path, path.size(), steps_);
    Place at;
    size_t start = 0;
    for (size_t end; (end = steps_.find('/', start)) != std::string::npos; start = end + 1) {
        const char* name = steps_.data() + start;
        const size_t length = end - start;
        const PathTree::Node exact = tree_.child(at.exact, name, length);
        if (exact == keyOf_.size()) {
            // A new spelling: its key is itself when it folds to itself.
            keyOf_.push_back(exact);
            if (at.key != at.exact || hasUpperCase(name, length)) {
                folded_.assign(name, length);
                for (char& c : folded_)
                    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                const PathTree::Node key = tree_.child(at.key, folded_.data(), length);
                keyOf_.resize(tree_.size(), PathTree::kTop);
                keyOf_[exact] = key;
                if (keyOf_[key] == PathTree::kTop) keyOf_[key] = key;  // made just now: folded already
            }
        }
        at = Place{exact, keyOf_[exact]};
        steps.push_back(at);
    }
}

PathTree::Node EntryPlaces::linkNode(const Place& place) {
#ifdef __APPLE__
    return place.key;
#else
    return place.exact;
#endif
}

void FolderCount::add(const std::string& path, bool namesFolder) {
    // The folder part: all of a folder's name, a file's up to its last "/".
    size_t length = path.size();
    if (!namesFolder) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) return;
        length = slash + 1;
    }
    const size_t offset = text_.size();
    const size_t added = appendSteps(path, length, text_);
    if (added > 0) entries_.emplace_back(offset, added);
}

uint64_t FolderCount::folders() {
    const char* text = text_.data();
    auto less = [text](const std::pair<size_t, size_t>& a, const std::pair<size_t, size_t>& b) {
        const int order = std::memcmp(text + a.first, text + b.first, std::min(a.second, b.second));
        return order < 0 || (order == 0 && a.second < b.second);
    };
    std::sort(entries_.begin(), entries_.end(), less);
    // A folder is new where an entry's text leaves the one before it: every
    // "/" past their common start ends one.
    uint64_t count = 0;
    std::pair<size_t, size_t> before{0, 0};
    for (const auto& e : entries_) {
        size_t same = 0;
        const size_t shorter = std::min(e.second, before.second);
        while (same < shorter && text[e.first + same] == text[before.first + same]) ++same;
        for (size_t i = same; i < e.second; ++i) count += text[e.first + i] == '/';
        before = e;
    }
    return count;
}

}  // namespace Extraction
