// ZIP extraction: the checks before an archive is opened, the no-follow walk
// to each entry's folder, links, and the writer threads that unpack files
// while the calling thread reports every entry in archive order.
#include "installer_extract.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "installer_download.h"
#include "installer_utils.h"

namespace {

// ---------------------------------------------------------------------------
// Tunables. The product values are fixed; the test build can change them.

constexpr size_t kExtractBlockSize = 256 * 1024;
constexpr zip_uint64_t kMaxLinkTarget = 4096;
// File creation waits on the disk (and on Windows on the virus scan); a few
// writers hide most of that. Three did best when measured on real trees and
// on a runtime-like archive, on disk and in memory: four were no faster, and
// more contend in the kernel (inode allocation, the disk's block lookups).
constexpr int kExtractThreads = 3;
// Entries planned ahead of the oldest unreported one. A full window is
// handed over and a quarter of it reported before planning goes on.
constexpr size_t kExtractWindow = 512;
// Entries go to a writer in batches of this many, or fewer when they are large.
constexpr size_t kBatchEntries = 32;
constexpr uint64_t kBatchBytes = 1024 * 1024;
// What creating a file costs, counted as bytes of content, when the load of
// writers is compared.
constexpr uint64_t kEntryCost = 16 * 1024;
// The small files of one folder go to one writer, so that writers do not
// queue on one folder's lock; larger ones go to the least busy writer, and
// a folder moves when its writer is this far behind the least busy one.
constexpr uint64_t kSplitOffBytes = 128 * 1024;
constexpr uint64_t kRebalanceCost = 4 * 1024 * 1024;
// Every writer holds its own archive handle, whose central directory grows
// with the entries; writers are added only while they fit in this.
constexpr uint64_t kWriterMemoryBudget = 48ull * 1024 * 1024;
constexpr uint64_t kWriterFixedBytes = 512 * 1024;  // block, inflate state
constexpr uint64_t kWriterBytesPerEntry = 400;

#ifdef ZRVK_TESTING
int g_extractThreads = kExtractThreads;
size_t g_folderBudget = 0;
std::atomic<uint64_t> g_folderOpens{0};
int extractThreads() { return g_extractThreads; }
size_t folderBudgetOverride() { return g_folderBudget; }
void countFolderOpen() { g_folderOpens.fetch_add(1, std::memory_order_relaxed); }
#else
int extractThreads() { return kExtractThreads; }
size_t folderBudgetOverride() { return 0; }
void countFolderOpen() {}
#endif

// ---------------------------------------------------------------------------
// Platform differences: folders, new files and links.

// How reaching an entry's place went. Busy: the folder cannot be kept now;
// Gone: its folder was removed since it was reached.
enum class Walk { Opened, ThroughLink, Failed, Busy, Gone };

#ifdef _WIN32

// Windows has no links to meet (link entries become small files), so a
// folder is its path; ".." and absolute names are refused before.
using FolderHandle = std::string;

bool openDestination(const std::string& destDir, FolderHandle& root) {
    root = destDir;
    return true;
}

Walk openFolderBelow(const FolderHandle& parent, const std::string& name, FolderHandle& folder) {
    folder = parent + "/" + name;
    return createDirectory(folder) ? Walk::Opened : Walk::Failed;
}

void closeFolder(const FolderHandle&) {}

// Paths cost no descriptors.
size_t defaultFolderBudget() { return 4096; }

// An extracted file, written through the C runtime.
class OutputFile {
public:
    ~OutputFile() {
        if (f_) std::fclose(f_);
    }
    Walk open(const FolderHandle& folder, const std::string& leaf) {
        path_ = folder + "/" + leaf;
        f_ = std::fopen(path_.c_str(), "wb");
        return f_ ? Walk::Opened : Walk::Failed;
    }
    bool write(const char* data, size_t size) { return std::fwrite(data, 1, size, f_) == size; }
    bool close() {
        bool ok = std::fclose(f_) == 0;
        f_ = nullptr;
        if (!ok) std::remove(path_.c_str());
        return ok;
    }
    void discard() {
        if (f_) std::fclose(f_);
        f_ = nullptr;
        std::remove(path_.c_str());
    }

private:
    FILE* f_ = nullptr;
    std::string path_;
};

#else

using FolderHandle = int;

bool openDestination(const std::string& destDir, FolderHandle& root) {
    root = ::open(destDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return root >= 0;
}

// One step of the walk: the folder `name` below `parent`, made when missing.
// A link there is never followed. Gone: parent itself was removed.
Walk openFolderBelow(const FolderHandle& parent, const std::string& name, FolderHandle& folder) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        folder = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder >= 0) return Walk::Opened;
        if (errno != ENOENT) break;
        if (mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST)
            return errno == ENOENT ? Walk::Gone : Walk::Failed;
    }
    struct stat st;
    const bool isLink = fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    return isLink ? Walk::ThroughLink : Walk::Failed;
}

void closeFolder(const FolderHandle& folder) { ::close(folder); }

// A quarter of the descriptors the process may open, within bounds: the
// rest of the program (transfers, logs) needs its own.
size_t defaultFolderBudget() {
    struct rlimit limit;
    rlim_t soft = 256;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) soft = limit.rlim_cur;
    return std::min<size_t>(512, std::max<size_t>(16, static_cast<size_t>(soft / 4)));
}

// A new file for an entry. O_EXCL | O_NOFOLLOW: an ordinary file already
// there is removed first; a link or a folder there is left alone and fails.
int createFileAt(int folder, const std::string& leaf) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
        struct stat st;
        if (fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode)) return -1;
        if (unlinkat(folder, leaf.c_str(), 0) != 0 && errno != ENOENT) return -1;
    }
    return -1;
}

// An extracted file, made with one open in its kept folder.
class OutputFile {
public:
    ~OutputFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    Walk open(const FolderHandle& folder, const std::string& leaf) {
        folder_ = folder;
        leaf_ = leaf;
        fd_ = createFileAt(folder_, leaf_);
        if (fd_ >= 0) return Walk::Opened;
        // Creating in a folder fails so only when the folder was removed.
        return errno == ENOENT ? Walk::Gone : Walk::Failed;
    }
    bool write(const char* data, size_t size) {
        while (size > 0) {
            ssize_t n = ::write(fd_, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    bool close() {
        int rc = ::close(fd_);
        fd_ = -1;
        if (rc != 0) unlinkat(folder_, leaf_.c_str(), 0);
        return rc == 0;
    }
    void discard() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        unlinkat(folder_, leaf_.c_str(), 0);
    }

private:
    int fd_ = -1;
    int folder_ = -1;  // the folder cache's
    std::string leaf_;
};

// A link entry becomes a real link, replacing a file or link at its place;
// err is errno when the link could not be made.
bool makeLinkAt(const FolderHandle& folder, const std::string& leaf, const std::string& linkTarget, int& err) {
    unlinkat(folder, leaf.c_str(), 0);
    if (symlinkat(linkTarget.c_str(), folder, leaf.c_str()) != 0) {
        err = errno;
        return false;
    }
    return true;
}

// A link entry's target. The size the archive claims is checked before
// anything is read: longer targets fail the entry. Reads on to the end so
// that libzip checks the entry's CRC.
bool readLinkTarget(zip_t* za, zip_uint64_t index, zip_uint64_t size, std::string& target) {
    if (size > kMaxLinkTarget) return false;
    char buf[kMaxLinkTarget + 1];
    zip_file_t* zf = zip_fopen_index(za, index, 0);
    if (!zf) return false;
    zip_uint64_t got = 0;
    bool ok = true;
    while (got < size) {
        zip_int64_t n = zip_fread(zf, buf + got, size - got);
        if (n <= 0) {
            ok = false;
            break;
        }
        got += static_cast<zip_uint64_t>(n);
    }
    if (ok) ok = zip_fread(zf, buf + got, 1) == 0;
    if (zip_fclose(zf) != 0) ok = false;
    if (ok) target.assign(buf, static_cast<size_t>(size));
    return ok;
}

#endif

// ---------------------------------------------------------------------------
// Entry paths.

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

// Entry path without empty and "." components, for comparing entries.
std::string normalizedEntryPath(const std::string& path) {
    std::string out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") {
            if (!out.empty()) out += '/';
            out += part;
        }
        start = end + 1;
    }
#ifdef __APPLE__
    // The usual macOS volume ignores case; so must the comparison.
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
#endif
    return out;
}

// True when a link made earlier lies on the way to path (or at it, unless
// the entry itself is a link that replaces it).
bool passesThroughLink(const std::set<std::string>& links, const std::string& normalized, bool entryIsLink) {
    if (links.empty()) return false;
    for (size_t pos = normalized.find('/'); pos != std::string::npos; pos = normalized.find('/', pos + 1)) {
        if (links.count(normalized.substr(0, pos))) return true;
    }
    return !entryIsLink && links.count(normalized) > 0;
}

// Comparison key of an entry path: ASCII case folded, so that entries that
// may name one place on a case-insensitive volume are never written at once.
std::string conflictKey(const std::string& normalized) {
    std::string key = normalized;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

// True when one path is the other or lies below it.
bool pathsOverlap(const std::string& a, const std::string& b) {
    const std::string& shorter = a.size() <= b.size() ? a : b;
    const std::string& longer = a.size() <= b.size() ? b : a;
    if (longer.compare(0, shorter.size(), shorter) != 0) return false;
    return longer.size() == shorter.size() || longer[shorter.size()] == '/';
}

// Folder names without empty and "." components; false when the last
// component is not a name.
bool splitEntryPath(const std::string& path, std::vector<std::string>& names, std::string& leaf) {
    size_t start = 0;
    for (size_t end; (end = path.find('/', start)) != std::string::npos; start = end + 1) {
        std::string name = path.substr(start, end - start);
        if (!name.empty() && name != ".") names.push_back(std::move(name));
    }
    leaf = path.substr(start);
    return !leaf.empty() && leaf != "." && leaf != "..";
}

// ---------------------------------------------------------------------------
// Kept folders.

// A folder below the destination, reached by a no-follow walk.
struct Folder {
    std::string key;  // its names joined by "/"; "" for the destination
    FolderHandle handle{};
    int users = 0;        // entries planned in it and not yet reported
    int writer = -1;      // the writer of its small entries while it has users
    bool kept = true;     // false once dropped: closed when its last user is reported
    std::list<Folder*>::iterator recent;
};

// Each folder is walked once per run, from the deepest folder already kept,
// one component at a time with no-follow opens, and kept open up to a budget
// of descriptors, so that an entry is created with one open in its folder.
// When the budget is spent the least recently used folder that no planned
// entry needs is closed; when every kept folder is needed, reach says Busy
// and the caller reports entries until one is free. Used on the calling
// thread only.
class FolderCache {
public:
    FolderCache(FolderHandle root, size_t budget) : budget_(std::max<size_t>(1, budget)) {
        root_.handle = root;
    }
    ~FolderCache() {
        for (auto& kept : folders_) closeFolder(kept.second->handle);
        for (auto& dropped : dropped_) closeFolder(dropped->handle);
    }
    FolderCache(const FolderCache&) = delete;
    FolderCache& operator=(const FolderCache&) = delete;

    Walk reach(const std::vector<std::string>& names, Folder*& folder) {
        const Walk w = walk(names, folder);
        if (w != Walk::Gone) return w;
        // A kept folder on the way was removed: forget the kept folders of
        // that tree and walk from the destination.
        dropAt(conflictKey(names.front()));
        const Walk again = walk(names, folder);
        return again == Walk::Gone ? Walk::Failed : again;
    }

    void hold(Folder* folder) { ++folder->users; }
    void release(Folder* folder) {
        if (--folder->users > 0 || folder->kept) return;
        closeFolder(folder->handle);
        dropped_.erase(std::find_if(dropped_.begin(), dropped_.end(),
                                    [folder](const std::unique_ptr<Folder>& f) { return f.get() == folder; }));
    }

private:
    Walk walk(const std::vector<std::string>& names, Folder*& folder) {
        if (names.empty()) {
            folder = &root_;
            return Walk::Opened;
        }
        std::string key;
        std::vector<size_t> ends;
        for (const std::string& name : names) {
            if (!key.empty()) key += '/';
            key += name;
            ends.push_back(key.size());
        }
        auto hit = folders_.find(key);
        if (hit != folders_.end()) {
            touch(hit->second.get());
            folder = hit->second.get();
            return Walk::Opened;
        }
        // From the deepest kept folder on the way.
        FolderHandle at = root_.handle;
        size_t from = 0;
        for (size_t depth = names.size() - 1; depth > 0; --depth) {
            auto kept = folders_.find(key.substr(0, ends[depth - 1]));
            if (kept != folders_.end()) {
                touch(kept->second.get());
                at = kept->second->handle;
                from = depth;
                break;
            }
        }
        bool ownAt = false;  // a step beyond the budget, closed after the next
        for (size_t d = from; d < names.size(); ++d) {
            FolderHandle next{};
            Walk w = openFolderBelow(at, names[d], next);
            if (ownAt) closeFolder(at);
            ownAt = false;
            if (w != Walk::Opened) return w;
            countFolderOpen();
            const bool last = d + 1 == names.size();
            if (makeRoom()) {
                Folder* kept = keep(key.substr(0, ends[d]), next);
                at = kept->handle;
                if (last) folder = kept;
            } else if (last) {
                closeFolder(next);
                return Walk::Busy;
            } else {
                at = next;
                ownAt = true;
            }
        }
        return Walk::Opened;
    }

public:
    // Forgets every kept folder at or below path (conflict keys, so any
    // spelling that may name the same place), so that later entries walk
    // there afresh: after a link was made there, or when a folder was removed.
    void dropAt(const std::string& path) {
        for (auto it = folders_.begin(); it != folders_.end();) {
            const std::string key = conflictKey(it->first);
            if (!pathsOverlap(key, path) || key.size() < path.size()) {
                ++it;
                continue;
            }
            Folder* folder = it->second.get();
            recent_.erase(folder->recent);
            folder->kept = false;
            if (folder->users == 0) {
                closeFolder(folder->handle);
            } else {
                dropped_.push_back(std::move(it->second));
            }
            it = folders_.erase(it);
        }
    }

private:
    void touch(Folder* folder) { recent_.splice(recent_.begin(), recent_, folder->recent); }

    // True when one more folder may be kept, after closing the least
    // recently used one that no planned entry needs if the budget is spent.
    bool makeRoom() {
        if (folders_.size() < budget_) return true;
        for (auto it = recent_.rbegin(); it != recent_.rend(); ++it) {
            Folder* folder = *it;
            if (folder->users > 0) continue;
            closeFolder(folder->handle);
            recent_.erase(std::next(it).base());
            folders_.erase(folder->key);
            return true;
        }
        return false;
    }

    Folder* keep(const std::string& key, FolderHandle handle) {
        auto folder = std::make_unique<Folder>();
        folder->key = key;
        folder->handle = handle;
        recent_.push_front(folder.get());
        folder->recent = recent_.begin();
        Folder* made = folder.get();
        folders_[key] = std::move(folder);
        return made;
    }

    size_t budget_;
    Folder root_;
    std::unordered_map<std::string, std::unique_ptr<Folder>> folders_;
    std::list<Folder*> recent_;  // most recently used first
    std::vector<std::unique_ptr<Folder>> dropped_;
};

// Walks a folder from the destination without keeping anything (for an
// entry whose kept folder was removed); the caller closes what it gets.
Walk walkAfresh(const FolderHandle& root, const std::vector<std::string>& names, FolderHandle& folder, bool& owned) {
    FolderHandle at = root;
    owned = false;
    for (const std::string& name : names) {
        FolderHandle next{};
        Walk w = openFolderBelow(at, name, next);
        if (owned) closeFolder(at);
        if (w != Walk::Opened) {
            owned = false;
            return w;
        }
        countFolderOpen();
        at = next;
        owned = true;
    }
    folder = at;
    return Walk::Opened;
}

// ---------------------------------------------------------------------------
// Entries.

// The checks before the archive is opened: it exists, is long enough and
// starts like a ZIP archive (not an error page).
bool validateArchive(const std::string& zipPath) {
    std::ifstream in(zipPath, std::ios::binary | std::ios::ate);
    if (!in.is_open()) {
        std::cerr << "[extractZip] Cannot open file for validation: " << zipPath << std::endl;
        return false;
    }
    std::streamoff size = in.tellg();
    std::cout << "[extractZip] File size: " << size << " bytes" << std::endl;
    if (size < 22) {
        std::cerr << "[extractZip] File too small to be a valid ZIP: " << size << " bytes" << std::endl;
        return false;
    }
    in.seekg(0);
    unsigned char magic[4] = {0, 0, 0, 0};
    in.read(reinterpret_cast<char*>(magic), 4);
    if (magic[0] == 'P' && magic[1] == 'K') {
        std::cout << "[extractZip] ZIP magic bytes validated OK" << std::endl;
        return true;
    }
    std::ostringstream line;
    line << "[extractZip] Invalid ZIP file (bad magic bytes): " << std::hex;
    for (int b = 0; b < 4; ++b) line << (b ? " " : "") << "0x" << static_cast<unsigned>(magic[b]);
    std::cerr << line.str() << std::endl;
    if (magic[0] == '<') std::cerr << "[extractZip] File appears to be HTML (likely error page from server)" << std::endl;
    return false;
}

zip_t* openArchive(const std::string& zipPath) {
    int openError = 0;
    zip_t* za = zip_open(zipPath.c_str(), ZIP_RDONLY, &openError);
    if (!za) {
        zip_error_t error;
        zip_error_init_with_code(&error, openError);
        std::cerr << "[extractZip] Failed to open ZIP file: " << zipPath << " (libzip error: " << openError << " - "
                  << zip_error_strerror(&error) << ")" << std::endl;
        zip_error_fini(&error);
    }
    return za;
}

// One entry to write, as planned on the calling thread.
struct EntryJob {
    zip_uint64_t index = 0;
    std::string entryPath;
    std::string normalized;
    bool isLink = false;
    zip_uint64_t size = 0;
    // Where it goes, once its folder is reached.
    std::string leaf;
    FolderHandle handle{};      // the writer's copy
    Folder* folder = nullptr;   // the calling thread's
    std::string key;            // its conflict key while it is pending, if tracked
};

// What the calling thread reports for one entry, in archive order.
struct EntryReport {
    std::string failure;    // the log line of a failed entry
    bool counted = false;   // a written file or link
    bool progress = false;  // reaches the progress report
    bool folderGone = false;  // written again from a fresh walk
};

// Reads an entry's record and decides: skipped (empty report), refused (a
// failure line) or a job (true).
bool planEntry(zip_t* za, zip_uint64_t i, const std::set<std::string>& links, EntryJob& job, EntryReport& report) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, i, ZIP_FL_ENC_RAW, &st) != 0 || !(st.valid & ZIP_STAT_NAME) || !(st.valid & ZIP_STAT_SIZE)) {
        report.failure = "[extractZip] Failed to get file stat for index " + std::to_string(i);
        return false;
    }
    const std::string storedName = st.name;
    std::string entryPath = storedName;
    for (char& c : entryPath)
        if (c == '\\') c = '/';
    if (entryPath.find("__MACOSX") != std::string::npos || entryPath.find(".DS_Store") != std::string::npos)
        return false;

    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(za, i, 0, &opsys, &attributes) != 0) attributes = 0;
    const bool isFolder = (!storedName.empty() && storedName.back() == '/') || (attributes & 0x10) != 0;
    if (isFolder) return false;
#ifdef _WIN32
    const bool isLink = false;  // written as a small file holding the target text
#else
    const bool isLink = (attributes & 0xF0000000u) == 0xA0000000u;
#endif
    if (isUnsafeEntryPath(entryPath)) {
        report.failure = "[extractZip] Refusing unsafe entry name: " + entryPath;
        return false;
    }
    std::string normalized = normalizedEntryPath(entryPath);
    if (passesThroughLink(links, normalized, isLink)) {
        report.failure = "[extractZip] Refusing to write through link: " + entryPath;
        return false;
    }
    job.index = i;
    job.entryPath = std::move(entryPath);
    job.normalized = std::move(normalized);
    job.isLink = isLink;
    job.size = st.size;
    return true;
}

// A file that could not be written still reaches the progress report.
EntryReport writeFailure(const std::string& destDir, const EntryJob& job) {
    EntryReport report;
    report.failure = "[extractZip] Failed to write file: " + destDir + "/" + job.entryPath;
    report.progress = true;
    return report;
}

enum class EntryResult { Written, ReadFailed, OpenFailed, WriteFailed, ThroughLink, FolderGone };

EntryResult walkFailure(Walk w) {
    return w == Walk::ThroughLink ? EntryResult::ThroughLink
           : w == Walk::Gone      ? EntryResult::FolderGone
                                  : EntryResult::OpenFailed;
}

// Streams one entry into its file in blocks that stay in the CPU cache. An
// entry that fails to read (its CRC is checked at the end) or to write
// leaves no file behind. A walk that failed is reported only once the entry
// proved readable, as when the walk came after opening it.
EntryResult extractEntryToFile(zip_t* za, zip_uint64_t index, Walk walk, const FolderHandle& folder,
                               const std::string& leaf, char* buf, size_t size) {
    zip_file_t* zf = zip_fopen_index(za, index, 0);
    if (!zf) return EntryResult::ReadFailed;
    OutputFile out;
    if (walk == Walk::Opened) walk = out.open(folder, leaf);
    if (walk != Walk::Opened) {
        zip_fclose(zf);
        return walkFailure(walk);
    }
    for (;;) {
        zip_int64_t n = zip_fread(zf, buf, size);
        if (n < 0) {
            zip_fclose(zf);
            out.discard();
            return EntryResult::ReadFailed;
        }
        if (n == 0) break;
        if (!out.write(buf, static_cast<size_t>(n))) {
            zip_fclose(zf);
            out.discard();
            return EntryResult::WriteFailed;
        }
    }
    if (zip_fclose(zf) != 0) {
        out.discard();
        return EntryResult::ReadFailed;
    }
    return out.close() ? EntryResult::Written : EntryResult::WriteFailed;
}

EntryReport reportOf(EntryResult result, const std::string& destDir, const EntryJob& job) {
    EntryReport report;
    switch (result) {
        case EntryResult::ReadFailed:
            report.failure = "[extractZip] Failed to extract to memory: " + job.entryPath;
            break;  // no progress for an entry that was never read
        case EntryResult::ThroughLink:
            report.failure = "[extractZip] Refusing to write through link: " + job.entryPath;
            break;
        case EntryResult::FolderGone:
            report.folderGone = true;
            break;
        case EntryResult::OpenFailed:
        case EntryResult::WriteFailed:
            report = writeFailure(destDir, job);
            break;
        case EntryResult::Written:
            report.counted = true;
            report.progress = true;
            break;
    }
    return report;
}

// Counts, log lines and callbacks of one extraction; used only on the
// calling thread, one entry at a time in archive order.
class ExtractionReporter {
public:
    ExtractionReporter(uint64_t n, ProgressFn progress, StatusFn status)
        : n_(n), progress_(std::move(progress)), status_(std::move(status)) {}

    void add(const EntryReport& r) {
        if (!r.failure.empty()) {
            std::cerr << r.failure << std::endl;
            ++failures_;
        }
        if (r.counted) ++k_;
        if (!r.progress) return;
        if (progress_) progress_(k_, n_);
        const uint64_t pct = percentOf(k_, n_);
        if (lastLoggedPercent_ < 0 || pct >= static_cast<uint64_t>(lastLoggedPercent_) + 10) {
            std::cout << "[extractZip] " << pct << "% (" << k_ << "/" << n_ << " files)" << std::endl;
            lastLoggedPercent_ = static_cast<int64_t>(pct);
        }
        if (status_ && k_ % 10 == 0) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "Extracting %llu/%llu files", static_cast<unsigned long long>(k_),
                          static_cast<unsigned long long>(n_));
            status_(buf);
        }
    }
    bool finish() const {
        if (failures_ > 0) {
            std::cerr << "[extractZip] Extraction failed: " << failures_ << " entries could not be extracted (" << k_
                      << " files written)" << std::endl;
            return false;
        }
        std::cout << "[extractZip] 100% - Extraction complete (" << k_ << " files)" << std::endl;
        return true;
    }

private:
    uint64_t n_;
    ProgressFn progress_;
    StatusFn status_;
    uint64_t k_ = 0;
    uint64_t failures_ = 0;
    int64_t lastLoggedPercent_ = -1;
};

// The paths of entries planned and not yet reported, so that an entry that
// overlaps one of them (the same path, or one is a folder on the other's
// way) waits for it.
class PendingPaths {
public:
    // The last pending entry that overlaps key, if any.
    bool overlap(const std::string& key, uint64_t& seq) const {
        bool found = false;
        auto consider = [&](const Counts& counts, const std::string& path) {
            auto it = counts.find(path);
            if (it == counts.end()) return;
            seq = found ? std::max(seq, it->second.last) : it->second.last;
            found = true;
        };
        consider(paths_, key);
        consider(folders_, key);
        for (size_t pos = key.find('/'); pos != std::string::npos; pos = key.find('/', pos + 1))
            consider(paths_, key.substr(0, pos));
        return found;
    }
    void add(const std::string& key, uint64_t seq) {
        bump(paths_[key], seq);
        for (size_t pos = key.find('/'); pos != std::string::npos; pos = key.find('/', pos + 1))
            bump(folders_[key.substr(0, pos)], seq);
    }
    // Entries leave in the order they came.
    void remove(const std::string& key) {
        drop(paths_, key);
        for (size_t pos = key.find('/'); pos != std::string::npos; pos = key.find('/', pos + 1))
            drop(folders_, key.substr(0, pos));
    }

private:
    struct Pending {
        uint32_t count = 0;
        uint64_t last = 0;
    };
    using Counts = std::unordered_map<std::string, Pending>;
    static void bump(Pending& p, uint64_t seq) {
        ++p.count;
        p.last = seq;
    }
    static void drop(Counts& counts, const std::string& path) {
        auto it = counts.find(path);
        if (it != counts.end() && --it->second.count == 0) counts.erase(it);
    }

    Counts paths_;    // entry paths
    Counts folders_;  // the folders on their way
};

// Writers for an archive of n entries: one (the calling thread) for a single
// entry, else as many as the memory budget holds, up to the configured count.
int writerThreads(uint64_t n) {
    if (n < 2) return 1;
    const uint64_t fit = kWriterMemoryBudget / (kWriterFixedBytes + n * kWriterBytesPerEntry);
    const uint64_t wanted = static_cast<uint64_t>(extractThreads());
    return static_cast<int>(fit < wanted ? fit : wanted);
}

// One extraction. The calling thread reads the entries in archive order,
// reaches each file's folder through the folder cache and hands the files to
// writer threads in batches, the small files of one folder to one writer;
// it takes the reports back in archive order, so counts, log lines and
// callbacks stay on it. Links are made on the calling thread once every
// earlier entry is reported, before any later one is planned. With one
// thread the calling thread writes each file itself when it is planned.
class ArchiveExtraction {
public:
    ArchiveExtraction(const std::string& zipPath, zip_t* za, FolderHandle root, const std::string& destDir,
                      uint64_t n, ProgressFn progress, StatusFn status)
        : za_(za),
          root_(root),
          destDir_(destDir),
          n_(n),
          folders_(root, folderBudgetOverride() ? folderBudgetOverride() : defaultFolderBudget()),
          reporter_(n, std::move(progress), std::move(status)),
          block_(kExtractBlockSize),
          ring_(kExtractWindow) {
        const int threads = writerThreads(n);
        std::vector<zip_t*> handles;
        for (int t = 0; threads > 1 && t < threads; ++t) {
            int err = 0;
            zip_t* own = zip_open(zipPath.c_str(), ZIP_RDONLY, &err);
            if (own) handles.push_back(own);
        }
        if (handles.size() < 2) {
            for (zip_t* h : handles) zip_discard(h);
            return;
        }
        writers_.reserve(handles.size());
        for (zip_t* h : handles) writers_.push_back(std::make_unique<Writer>(h));
        batches_.resize(writers_.size());
        for (auto& w : writers_) w->thread = std::thread(&ArchiveExtraction::work, this, w.get());
    }
    ~ArchiveExtraction() {
        for (auto& w : writers_) {
            {
                std::lock_guard<std::mutex> lock(w->mutex);
                w->stopping = true;
            }
            w->wake.notify_one();
        }
        for (auto& w : writers_) w->thread.join();
        for (auto& w : writers_) zip_discard(w->za);
    }
    ArchiveExtraction(const ArchiveExtraction&) = delete;
    ArchiveExtraction& operator=(const ArchiveExtraction&) = delete;

    bool run() {
        for (uint64_t i = 0; i < n_; ++i) {
            EntryJob job;
            EntryReport report;
            if (!planEntry(za_, i, links_, job, report)) {
                if (!report.failure.empty()) pushReport(std::move(report));
            } else if (job.isLink) {
#ifndef _WIN32
                // Made when every earlier entry is written and before any later
                // one starts, so none of them can pass through it.
                drainAll();
                reporter_.add(makeLink(job));
#endif
            } else {
                planFile(std::move(job));
            }
            if (pending() >= ring_.size()) {
                flushAll();
                const uint64_t upTo = tail_ - ring_.size() * 3 / 4;
                waitFor(upTo - 1);
                while (head_ < upTo) popOne();
            }
        }
        drainAll();
        return reporter_.finish();
    }

private:
    struct Slot {
        uint64_t seq = 0;
        bool hasJob = false;
        EntryJob job;
        EntryReport report;
        std::atomic<bool> done{false};
    };

    struct Writer {
        explicit Writer(zip_t* own) : za(own) {}
        zip_t* za;
        std::thread thread;
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::vector<Slot*>> queue;  // batches handed over, oldest first
        bool waiting = false;
        bool stopping = false;
        std::atomic<uint64_t> load{0};  // cost handed over and not yet written
    };

    struct Batch {
        std::vector<Slot*> slots;
        uint64_t cost = 0;
    };

    static uint64_t costOf(const EntryJob& job) { return job.size + kEntryCost; }

    size_t pending() const { return static_cast<size_t>(tail_ - head_); }

    Slot& nextSlot() {
        Slot& slot = ring_[tail_ % ring_.size()];
        slot.seq = tail_;
        slot.done.store(false, std::memory_order_relaxed);
        return slot;
    }

    // An entry decided without writing: it waits its turn.
    void pushReport(EntryReport report) {
        Slot& slot = nextSlot();
        slot.hasJob = false;
        slot.report = std::move(report);
        slot.done.store(true, std::memory_order_relaxed);
        ++tail_;
    }

    void planFile(EntryJob job) {
        std::vector<std::string> names;
        const bool named = splitEntryPath(job.entryPath, names, job.leaf);
        if (!writers_.empty()) {
            job.key = conflictKey(job.normalized);
            uint64_t last = 0;
            if (pendingPaths_.overlap(job.key, last)) {
                flushAll();
                while (head_ <= last) popOne();
            }
        }
        Walk walk = named ? Walk::Opened : Walk::Failed;
        Folder* folder = nullptr;
        while (walk == Walk::Opened) {
            walk = folders_.reach(names, folder);
            if (walk != Walk::Busy) break;
            if (pending() == 0) {
                walk = Walk::Failed;
                break;
            }
            flushAll();
            popOne();
            walk = Walk::Opened;
        }
        if (walk != Walk::Opened) {
            // Decided here; reported as the writer would, once the entry reads.
            EntryReport report = reportOf(extractEntryToFile(za_, job.index, walk, root_, job.leaf, block_.data(),
                                                             block_.size()),
                                          destDir_, job);
            pushReport(std::move(report));
            return;
        }
        job.handle = folder->handle;
        job.folder = folder;
        Slot& slot = nextSlot();
        slot.hasJob = true;
        if (writers_.empty()) {
            folders_.hold(folder);
            slot.job = std::move(job);
            slot.report = runJob(za_, slot.job, block_);
            slot.done.store(true, std::memory_order_relaxed);
            ++tail_;
            return;
        }
        const size_t w = chooseWriter(job);
        folders_.hold(folder);
        pendingPaths_.add(job.key, tail_);
        slot.job = std::move(job);
        Batch& batch = batches_[w];
        batch.slots.push_back(&slot);
        batch.cost += costOf(slot.job);
        ++tail_;
        if (batch.slots.size() >= kBatchEntries || batch.cost >= kBatchBytes) flush(w);
    }

    size_t leastBusy() const {
        size_t best = 0;
        uint64_t bestLoad = UINT64_MAX;
        for (size_t w = 0; w < writers_.size(); ++w) {
            const uint64_t load = loadOf(w);
            if (load < bestLoad) {
                best = w;
                bestLoad = load;
            }
        }
        return best;
    }
    uint64_t loadOf(size_t w) const { return writers_[w]->load.load(std::memory_order_relaxed) + batches_[w].cost; }

    size_t chooseWriter(const EntryJob& job) {
        Folder* folder = job.folder;
        const size_t least = leastBusy();
        if (job.size >= kSplitOffBytes) return least;
        if (folder->users > 0 && folder->writer >= 0) {
            const size_t current = static_cast<size_t>(folder->writer);
            if (loadOf(current) < loadOf(least) + kRebalanceCost) return current;
        }
        folder->writer = static_cast<int>(least);
        return least;
    }

    void flush(size_t w) {
        Batch& batch = batches_[w];
        if (batch.slots.empty()) return;
        Writer& writer = *writers_[w];
        writer.load.fetch_add(batch.cost, std::memory_order_relaxed);
        bool wasWaiting;
        {
            std::lock_guard<std::mutex> lock(writer.mutex);
            writer.queue.push_back(std::move(batch.slots));
            wasWaiting = writer.waiting;
        }
        if (wasWaiting) writer.wake.notify_one();
        batch.slots.clear();
        batch.cost = 0;
    }
    void flushAll() {
        for (size_t w = 0; w < batches_.size(); ++w) flush(w);
    }

    // Waits until entry seq (handed over) is written. The writer of that
    // entry alone wakes the calling thread, so waiting for the last of a
    // run of entries costs one wake-up for all of them.
    void waitFor(uint64_t seq) {
        Slot& slot = ring_[seq % ring_.size()];
        if (slot.done.load(std::memory_order_acquire)) return;
        std::unique_lock<std::mutex> lock(doneMutex_);
        waitingFor_.store(seq);
        doneWake_.wait(lock, [&slot] { return slot.done.load(); });
        waitingFor_.store(kNobody);
    }

    // Reports the oldest planned entry, once it is written.
    void popOne() {
        Slot& slot = ring_[head_ % ring_.size()];
        waitFor(head_);
        EntryReport report = std::move(slot.report);
        if (slot.hasJob) {
            if (report.folderGone) {
                // Someone removed the folder since it was reached: every kept
                // folder on its way is forgotten and the entry written again
                // from a fresh no-follow walk.
                const std::string& key = slot.job.folder->key;
                if (!key.empty()) folders_.dropAt(conflictKey(key.substr(0, key.find('/'))));
                report = rewrite(slot.job);
            }
            folders_.release(slot.job.folder);
            if (!slot.job.key.empty()) pendingPaths_.remove(slot.job.key);
            slot.job = EntryJob();
        }
        ++head_;
        reporter_.add(report);
    }
    void drainAll() {
        flushAll();
        if (pending() > 0) waitFor(tail_ - 1);
        while (pending() > 0) popOne();
    }

    EntryReport rewrite(const EntryJob& job) {
        std::vector<std::string> names;
        std::string leaf;
        splitEntryPath(job.entryPath, names, leaf);
        FolderHandle folder{};
        bool owned = false;
        const Walk walk = walkAfresh(root_, names, folder, owned);
        EntryReport report = reportOf(extractEntryToFile(za_, job.index, walk, folder, leaf, block_.data(),
                                                         block_.size()),
                                      destDir_, job);
        if (owned) closeFolder(folder);
        if (report.folderGone) report = writeFailure(destDir_, job);
        return report;
    }

    EntryReport runJob(zip_t* za, const EntryJob& job, std::vector<char>& block) {
        return reportOf(extractEntryToFile(za, job.index, Walk::Opened, job.handle, job.leaf, block.data(),
                                           block.size()),
                        destDir_, job);
    }

#ifndef _WIN32
    // Links make no progress call of their own.
    EntryReport makeLink(const EntryJob& job) {
        EntryReport report;
        std::string linkTarget;
        if (!readLinkTarget(za_, job.index, job.size, linkTarget)) {
            report.failure = "[extractZip] Failed to extract symlink target: " + job.entryPath;
            return report;
        }
        std::vector<std::string> names;
        std::string leaf;
        Walk walk = splitEntryPath(job.entryPath, names, leaf) ? Walk::Opened : Walk::Failed;
        Folder* folder = nullptr;
        if (walk == Walk::Opened) walk = folders_.reach(names, folder);
        int err = errno;
        if (walk == Walk::Opened && !makeLinkAt(folder->handle, leaf, linkTarget, err)) walk = Walk::Failed;
        switch (walk) {
            case Walk::ThroughLink:
                report.failure = "[extractZip] Refusing to write through link: " + job.entryPath;
                break;
            case Walk::Opened:
                // No kept folder may lead a later entry past the new link.
                folders_.dropAt(conflictKey(job.normalized));
                links_.insert(job.normalized);
                report.counted = true;
                break;
            default:
                report.failure = "[extractZip] Failed to create symlink: " + job.entryPath + " -> " + linkTarget +
                                 " (errno: " + std::to_string(err) + ")";
                break;
        }
        return report;
    }
#endif

    void work(Writer* writer) {
        std::vector<char> block(kExtractBlockSize);
        for (;;) {
            std::vector<Slot*> batch;
            {
                std::unique_lock<std::mutex> lock(writer->mutex);
                writer->waiting = true;
                writer->wake.wait(lock, [writer] { return writer->stopping || !writer->queue.empty(); });
                writer->waiting = false;
                if (writer->queue.empty()) break;
                batch = std::move(writer->queue.front());
                writer->queue.pop_front();
            }
            for (Slot* slot : batch) {
                EntryReport report;
                try {
                    report = runJob(writer->za, slot->job, block);
                } catch (const std::exception&) {
                    report = writeFailure(destDir_, slot->job);
                }
                const uint64_t cost = costOf(slot->job);
                const uint64_t seq = slot->seq;
                slot->report = std::move(report);
                writer->load.fetch_sub(cost, std::memory_order_relaxed);
                slot->done.store(true);
                if (waitingFor_.load() == seq) {
                    // Once the lock is free the calling thread is asleep in
                    // wait (or saw done): the wake-up cannot be lost.
                    { std::lock_guard<std::mutex> lock(doneMutex_); }
                    doneWake_.notify_one();
                }
            }
        }
    }

    static constexpr uint64_t kNobody = UINT64_MAX;

    zip_t* za_;
    FolderHandle root_;
    std::string destDir_;
    uint64_t n_;
    FolderCache folders_;
    ExtractionReporter reporter_;
    std::set<std::string> links_;  // entry paths of links made by this archive
    PendingPaths pendingPaths_;
    std::vector<char> block_;  // the calling thread's
    std::vector<Slot> ring_;   // planned entries; slot seq % size
    uint64_t head_ = 0;        // the oldest unreported entry
    uint64_t tail_ = 0;        // the next to plan
    std::vector<std::unique_ptr<Writer>> writers_;
    std::vector<Batch> batches_;  // per writer, not yet handed over
    std::mutex doneMutex_;
    std::condition_variable doneWake_;
    std::atomic<uint64_t> waitingFor_{kNobody};  // the entry the calling thread waits for
};

}  // namespace

uint64_t percentOf(uint64_t done, uint64_t total) { return total == 0 ? 0 : done * 100 / total; }

bool extractZip(const std::string& zipPath, const std::string& destDir, ProgressFn progress, StatusFn status) {
    std::cout << "[extractZip] Extracting " << zipPath << " to " << destDir << std::endl;
    if (!validateArchive(zipPath)) return false;
    if (!createDirectory(destDir)) {
        std::cerr << "[extractZip] Failed to create destination directory" << std::endl;
        return false;
    }
    FolderHandle root{};
    if (!openDestination(destDir, root)) {
        std::cerr << "[extractZip] Failed to create destination directory" << std::endl;
        return false;
    }
#ifdef ZRVK_TESTING
    g_folderOpens = 0;
#endif
    zip_t* za = openArchive(zipPath);
    if (!za) {
        closeFolder(root);
        return false;
    }

    const zip_int64_t entries = zip_get_num_entries(za, 0);
    const uint64_t n = entries > 0 ? static_cast<uint64_t>(entries) : 0;
    std::cout << "[extractZip] Archive contains " << n << " files" << std::endl;

    bool ok;
    {
        ArchiveExtraction extraction(zipPath, za, root, destDir, n, std::move(progress), std::move(status));
        ok = extraction.run();
    }
    zip_discard(za);
    closeFolder(root);
    return ok;
}

// ---------------------------------------------------------------------------
// Test seams.

#ifdef ZRVK_TESTING
namespace DeliveryTesting {

void setExtractThreads(int threads) { g_extractThreads = threads > 0 ? threads : kExtractThreads; }
void setExtractFolderBudget(size_t folders) { g_folderBudget = folders; }
uint64_t extractFolderOpens() { return g_folderOpens.load(); }
void resetExtraction() {
    g_extractThreads = kExtractThreads;
    g_folderBudget = 0;
}

}  // namespace DeliveryTesting
#endif
