#include "program_data_folders.h"

#include <iostream>
#include <vector>

namespace ProgramDataFolders {

const std::string ROOT = "C:/ProgramData/ZRVK";

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameLetters(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (isSeparator(a[i]) ? !isSeparator(b[i]) : lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// ROOT and each folder below it on the way to `path`, `path` included.
std::vector<std::string> levels(const std::string& path) {
    std::vector<std::string> out;
    for (std::size_t end = ROOT.size(); end <= path.size(); ++end) {
        if (end == path.size() || isSeparator(path[end])) {
            if (end > 0 && !isSeparator(path[end - 1])) out.push_back(path.substr(0, end));
        }
    }
    return out;
}

std::string reasonFor(const State& state) {
    switch (state.entry) {
    case Entry::ReparsePoint:
        return "a link";
    case Entry::File:
        return "not a folder";
    case Entry::Unreadable:
        return "cannot be read";
    case Entry::Missing:
        return "missing";
    case Entry::Folder:
    default:
        return "owned by another user";
    }
}

bool isTrustedFolder(const State& state) { return state.entry == Entry::Folder && isTrustedOwner(state.owner); }

// One level, right before it is used.
bool secureLevel(const std::string& path, Purpose purpose, const Operations& ops) {
    const State state = ops.inspect(path);
    switch (stepFor(state, purpose)) {
    case Step::Use:
        return true;
    case Step::Refuse:
        // A missing folder to use is no alarm: there is just nothing there.
        if (state.entry != Entry::Missing) {
            std::cerr << "[ProgramData] Refusing " << path << ": " << reasonFor(state) << std::endl;
        }
        return false;
    case Step::Replace:
        std::cerr << "[ProgramData] Removing what was planted at " << path << " (" << reasonFor(state) << ")"
                  << std::endl;
        if (!ops.removeEntry(path)) {
            std::cerr << "[ProgramData] Cannot remove " << path << std::endl;
            return false;
        }
        break;
    case Step::Make:
        break;
    }
    if (!ops.makeFolder(path) || !isTrustedFolder(ops.inspect(path))) {
        std::cerr << "[ProgramData] Cannot make a folder of its own at " << path << std::endl;
        return false;
    }
    return true;
}

}  // namespace

bool isTrustedOwner(Owner owner) {
    return owner == Owner::Administrators || owner == Owner::System || owner == Owner::ProgramDataOwner;
}

Step stepFor(const State& state, Purpose purpose) {
    switch (state.entry) {
    case Entry::Folder:
        return isTrustedOwner(state.owner) ? Step::Use : Step::Refuse;
    case Entry::Missing:
        return purpose == Purpose::Write ? Step::Make : Step::Refuse;
    case Entry::ReparsePoint:
    case Entry::File:
        return purpose == Purpose::Write ? Step::Replace : Step::Refuse;
    case Entry::Unreadable:
    default:
        return Step::Refuse;
    }
}

bool isBelowRoot(const std::string& path) {
    if (path.size() < ROOT.size() || !sameLetters(path.substr(0, ROOT.size()), ROOT)) return false;
    return path.size() == ROOT.size() || isSeparator(path[ROOT.size()]);
}

bool prepare(const std::string& folder, Purpose purpose, const Operations& ops) {
    if (!isBelowRoot(folder)) return true;
    for (const std::string& level : levels(folder)) {
        if (!secureLevel(level, purpose, ops)) return false;
    }
    return true;
}

bool mayRemove(const std::string& path, const Operations& ops) {
    if (!isBelowRoot(path)) return true;
    std::vector<std::string> above = levels(path);
    if (!above.empty()) above.pop_back();  // the path itself
    for (const std::string& level : above) {
        if (!secureLevel(level, Purpose::Use, ops)) return false;
    }
    return true;
}

}  // namespace ProgramDataFolders
