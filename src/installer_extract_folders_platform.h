// What ZIP extraction does differently per platform: how a folder is held
// while entries are written into it, how a file is made in it, and links.
// The bodies are in installer_extract_folders_posix.cpp (macOS, Linux) and
// installer_extract_folders_win32.cpp, which the build picks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Extraction {

// How reaching an entry's place went. Busy: the folder cannot be kept now;
// Gone: its folder was removed since it was reached.
enum class Walk { Opened, ThroughLink, Failed, Busy, Gone };

#ifdef _WIN32
// Windows has no links to meet (link entries become small files holding the
// checked target text), so a folder is its path; ".." and absolute names are
// refused before.
using FolderHandle = std::string;
constexpr bool kMakesLinks = false;
#else
// A folder's descriptor, opened by a no-follow walk.
using FolderHandle = int;
constexpr bool kMakesLinks = true;
#endif

bool openDestination(const std::string& destDir, FolderHandle& root);
// One step of the walk: the folder `name` below `parent`, made when missing.
// A link there is never followed. Gone: parent itself was removed.
Walk openFolderBelow(const FolderHandle& parent, const char* name, FolderHandle& folder);
void closeFolder(const FolderHandle& folder);
// Folders an extraction keeps open, unless a test sets its own budget.
size_t defaultFolderBudget();

// An extracted file, made in its kept folder. A file that is discarded, or
// whose close fails, is removed.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    Walk open(const FolderHandle& folder, const std::string& leaf);
    bool write(const char* data, size_t size);
    bool close();
    void discard();

private:
#ifdef _WIN32
    FILE* f_ = nullptr;
    std::string path_;
#else
    int fd_ = -1;
    int folder_ = -1;  // the folder cache's
    std::string leaf_;
#endif
};

// A link entry becomes a real link, replacing a file or link at its place
// (where kMakesLinks; elsewhere a small file holding the target text); err
// is errno when it could not be made.
bool makeLinkAt(const FolderHandle& folder, const std::string& leaf, const std::string& linkTarget, int& err);

}  // namespace Extraction
