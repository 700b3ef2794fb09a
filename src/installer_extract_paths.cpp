// Entry names of a ZIP archive, compared as the volume they go to would.
#include "installer_extract_paths.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Extraction {

namespace {

void foldAsciiCase(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

}  // namespace

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

std::string normalizedEntryPath(const std::string& path) {
    std::string out;
    if (appendSteps(path, path.size(), out) > 0) out.pop_back();
#ifdef __APPLE__
    // The usual macOS volume ignores case; so must the comparison.
    foldAsciiCase(out);
#endif
    return out;
}

bool passesThroughLink(const std::set<std::string>& links, const std::string& normalized, bool entryIsLink) {
    if (links.empty()) return false;
    for (size_t pos = normalized.find('/'); pos != std::string::npos; pos = normalized.find('/', pos + 1)) {
        if (links.count(normalized.substr(0, pos))) return true;
    }
    return !entryIsLink && links.count(normalized) > 0;
}

std::string conflictKey(const std::string& normalized) {
    std::string key = normalized;
    foldAsciiCase(key);
    return key;
}

bool pathsOverlap(const std::string& a, const std::string& b) {
    const std::string& shorter = a.size() <= b.size() ? a : b;
    const std::string& longer = a.size() <= b.size() ? b : a;
    if (longer.compare(0, shorter.size(), shorter) != 0) return false;
    return longer.size() == shorter.size() || longer[shorter.size()] == '/';
}

bool splitEntryPath(const std::string& path, std::vector<std::string>& names, std::string& leaf) {
    size_t start = 0;
    for (size_t end; (end = path.find('/', start)) != std::string::npos; start = end + 1) {
        std::string name = path.substr(start, end - start);
        if (!name.empty() && name != ".") names.push_back(std::move(name));
    }
    leaf = path.substr(start);
    return !leaf.empty() && leaf != "." && leaf != "..";
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
