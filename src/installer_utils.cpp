#include "installer_utils.h"
#include "text_escape.h"

#include "installer_config.h"

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A version file holds one short line.
constexpr std::size_t kMaxVersionFileSize = 4096;

std::vector<int> versionParts(const std::string& version) {
    std::vector<int> parts;
    std::istringstream stream(version);
    std::string part;
    while (std::getline(stream, part, '.')) {
        try {
            parts.push_back(std::stoi(part));
        } catch (const std::exception&) {
            parts.push_back(0);
        }
    }
    return parts;
}

}  // namespace

bool isNewerVersion(const std::string& a, const std::string& b) {
    const std::vector<int> left = versionParts(a);
    const std::vector<int> right = versionParts(b);
    const std::size_t count = left.size() > right.size() ? left.size() : right.size();
    for (std::size_t i = 0; i < count; ++i) {
        const int l = i < left.size() ? left[i] : 0;
        const int r = i < right.size() ? right[i] : 0;
        if (l > r) return true;
        if (l < r) return false;
    }
    return false;
}

std::string readVersionFile(const std::string& dir) {
    // Bytes as they are, so a carriage return reads the same on every platform.
    std::vector<std::uint8_t> bytes;
    if (!readRegularFile(dir + "/version.txt", kMaxVersionFileSize, bytes)) return "";
    std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\n'));
}

bool writeVersionFile(const std::string& dir, const std::string& version) {
    if (!createDirectory(dir)) {
        std::cerr << "[writeVersionFile] Failed to create directory: " << dir << std::endl;
        return false;
    }
    // The archive may have brought a version.txt of its own, even a link.
    const std::string path = dir + "/version.txt";
    if (!replaceWithNewFile(path, version)) {
        std::cerr << "[writeVersionFile] Failed to open file for writing: " << path << std::endl;
        return false;
    }
    std::cout << "[writeVersionFile] Wrote version " << escapeForLog(version) << " to " << path << std::endl;
    return true;
}

bool makeFolderTree(const std::string& path, const char* separators, std::string* failed) {
    std::string::size_type pos = path.find_first_of(separators, 1);
    for (;;) {
        const std::string prefix = path.substr(0, pos);
        if (!prefix.empty() && !makeFolder(prefix)) {
            if (failed) *failed = prefix;
            return false;
        }
        if (pos == std::string::npos) return true;
        pos = path.find_first_of(separators, pos + 1);
    }
}

bool createDirectory(const std::string& path) {
    if (pathExists(path)) return true;
    std::string failed;
    if (makeFolderTree(path, "/", &failed)) return true;
    std::cerr << "[createDirectory] Failed to create: " << failed << std::endl;
    return false;
}

bool isWindowsCommandSpecial(unsigned char c) {
    switch (c) {
    case '\'':
    case '%':
    case '!':
    case '^':
    case '&':
    case '|':
    case '<':
    case '>':
    case ';':
        return true;
    default:
        return false;
    }
}

// * and ? are wildcards to del, and ? is what the ANSI file calls put in
// place of a character the code page lacks: such a path names other files.
bool isSafeWindowsCommandPath(const std::string& path) {
    if (path.empty()) return false;
    for (unsigned char c : path) {
        if (c == '"' || c == '*' || c == '?' || c < 0x20 || c == 0x7f || (c != '\'' && isWindowsCommandSpecial(c))) {
            return false;
        }
    }
    return true;
}

// Paths go between double quotes into shell commands without escaping, so
// nothing in them may end the quotes or expand.
bool isShellSafePath(const std::string& path) {
    if (path.empty()) return false;
    for (unsigned char c : path) {
        if (c == '"' || c == '$' || c == '`' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

std::string serverLauncherScript() {
    return "import sys,os;sys.stdout=open(os.devnull,'w',buffering=1);sys.stderr=open(os.devnull,'w',buffering=1);"
           "sys.path.insert(0,'" +
           InstallerConfig::Paths::MRV_SERVER_DIR + "');exec('from launcher import launcher;launcher(show_splash=False)')";
}
