// Where the links of an extracted tree lead, read as the kernel reads them:
// each link's target from the link's own folder, through the links before
// it, step by step. Shared by the extraction tests and its fuzz target.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

namespace zrvk_links {

inline std::vector<std::string> stepsOf(const std::string& path) {
    std::vector<std::string> steps;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) steps.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return steps;
}

inline std::string joined(const std::string& root, const std::vector<std::string>& steps) {
    std::string path = root;
    for (const std::string& s : steps) path += "/" + s;
    return path;
}

// False when the link at root/relative leads above root or to an absolute
// place; `where` then says how. A step that does not exist is taken as a
// folder (something may make it later); a loop of links leads nowhere.
inline bool staysInside(const std::string& root, const std::string& relative, std::string& where) {
    std::vector<std::string> at = stepsOf(relative);
    std::deque<std::string> pending = {at.back()};
    at.pop_back();
    for (int hops = 0; !pending.empty();) {
        const std::string step = pending.front();
        pending.pop_front();
        if (step == ".") continue;
        if (step == "..") {
            if (at.empty()) {
                where = relative + " climbs above the destination";
                return false;
            }
            at.pop_back();
            continue;
        }
        at.push_back(step);
        const std::string path = joined(root, at);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        if (++hops > 40) return true;
        char buf[4097];
        const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
        if (n < 0) continue;
        const std::string target(buf, static_cast<size_t>(n));
        if (!target.empty() && target[0] == '/') {
            where = relative + " leads to the absolute " + target + " (through " + path + ")";
            return false;
        }
        at.pop_back();
        const std::vector<std::string> more = stepsOf(target);
        pending.insert(pending.begin(), more.begin(), more.end());
    }
    return true;
}

// The links below root, relative to it; links are listed, never followed.
inline std::vector<std::string> linksBelow(const std::string& root) {
    static thread_local std::vector<std::string>* found = nullptr;
    static thread_local size_t skip = 0;
    std::vector<std::string> links;
    found = &links;
    skip = root.size() + 1;
    nftw(root.c_str(),
         [](const char* path, const struct stat*, int type, struct FTW*) {
             if (type == FTW_SL || type == FTW_SLN) found->push_back(std::string(path).substr(skip));
             return 0;
         },
         16, FTW_PHYS);
    found = nullptr;
    return links;
}

// The first link below root that leads outside it, or "" when none does.
inline std::string firstLinkLeadingOut(const std::string& root) {
    for (const std::string& link : linksBelow(root)) {
        std::string where;
        if (!staysInside(root, link, where)) return where;
    }
    return "";
}

}  // namespace zrvk_links
