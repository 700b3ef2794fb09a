// Helpers for tests that need files: a private folder under the system
// temporary folder, removed when the test ends, and a tree read whole.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zrvk_test {

class TempDir {
public:
    TempDir() {
        std::string pattern = std::string(tmpRoot()) + "/zrvk-test-XXXXXX";
        char* made = mkdtemp(&pattern[0]);
        path_ = made ? made : "";
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    static const char* tmpRoot() {
        const char* dir = std::getenv("TMPDIR");
        return dir && *dir ? dir : "/tmp";
    }
    std::string path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// True when something (a link too, followed or not) is at the path.
inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline std::string readLink(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

// Every path below root with its kind, mode and content (or link target).
inline std::map<std::string, std::string> treeOf(const std::string& root, const std::string& below = "") {
    std::map<std::string, std::string> tree;
    DIR* d = opendir((root + below).c_str());
    if (!d) return tree;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    for (const std::string& name : names) {
        const std::string rel = below + "/" + name, path = root + rel;
        struct stat st;
        lstat(path.c_str(), &st);
        const std::string mode = std::to_string(st.st_mode & 07777);
        if (S_ISLNK(st.st_mode)) {
            tree[rel] = "link " + readLink(path);
        } else if (S_ISDIR(st.st_mode)) {
            tree[rel] = "folder " + mode;
            for (auto& entry : treeOf(root, rel)) tree.insert(entry);
        } else {
            tree[rel] = "file " + mode + " " + zrvk_test::readFile(path);
        }
    }
    return tree;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Polls `done` until it holds; false when it still does not after `limit`.
// Tests wait for what they need this way, never for a fixed time.
template <typename Condition>
bool waitUntil(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The lines of a text, without their line ends.
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Lower-case hexadecimal of the bytes, for comparing texts exactly.
inline std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Runs a script in Node and returns what it printed (both streams).
inline std::string runNode(const std::string& script) {
    TempDir tmp;
    writeFile(tmp / "script.js", script);
    FILE* pipe = popen(("node '" + (tmp / "script.js") + "' 2>&1").c_str(), "r");
    if (pipe == nullptr) return "";
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

}  // namespace zrvk_test
