// Helpers for tests that need files: a private folder under the system
// temporary folder, removed when the test ends.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

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

}  // namespace zrvk_test
