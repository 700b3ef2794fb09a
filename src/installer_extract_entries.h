// One entry of a ZIP archive: read its record and decide (skip, refuse,
// write), write a file, and report it in archive order. Also the checks an
// archive passes before it is opened.
#pragma once

#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "installer_download.h"
#include "installer_extract_folders.h"
#include "installer_extract_folders_platform.h"
#include "installer_extract_paths.h"

// Whole percent of done out of total, in 64 bits (0 when total is 0).
uint64_t percentOf(uint64_t done, uint64_t total);

namespace Extraction {

// The checks before the archive is opened: it exists, is long enough and
// starts like a ZIP archive (not an error page).
bool validateArchive(const std::string& zipPath);
// The archive opened with libzip; its open error is logged.
zip_t* openArchive(const std::string& zipPath);
// True when what the archive makes fits into the room at destDir (or that
// room cannot be told): its files in whole blocks, a block for every folder
// its paths name or imply, an inode for each file and folder. Otherwise logs
// the figures and sends an error status: nothing of the archive is written.
bool hasRoomFor(zip_t* za, uint64_t n, const std::string& destDir, const StatusFn& status);

// One entry to write, as planned on the calling thread.
struct EntryJob {
    zip_uint64_t index = 0;
    std::string entryPath;
    bool isLink = false;
    zip_uint64_t size = 0;
    // Where it goes, once its folder is reached.
    EntryPlaces::Place place;   // of the entry itself
    std::string leaf;
    FolderHandle handle{};      // the writer's copy
    Folder* folder = nullptr;   // the calling thread's
    bool pending = false;       // among the pending paths (with writer threads)
};

// What the calling thread reports for one entry, in archive order.
struct EntryReport {
    std::string failure;    // the log line of a failed entry
    bool counted = false;   // a written file or link
    bool progress = false;  // reaches the progress report
    bool folderGone = false;  // written again from a fresh walk
};

// Reads an entry's record and decides: skipped (empty report), refused (a
// failure line) or a job (true), whose place is still to be found.
bool planEntry(zip_t* za, zip_uint64_t i, EntryJob& job, EntryReport& report);

// The line of an entry refused because a link made earlier lies on its way.
std::string throughLinkLine(const std::string& entryPath);

// A file that could not be written still reaches the progress report.
EntryReport writeFailure(const std::string& destDir, const EntryJob& job);

enum class EntryResult { Written, ReadFailed, OpenFailed, WriteFailed, ThroughLink, FolderGone, TooLarge };

// Streams one entry into its file in blocks that stay in the CPU cache. An
// entry that fails to read (its CRC is checked at the end) or to write
// leaves no file behind. A walk that failed is reported only once the entry
// proved readable, as when the walk came after opening it. More bytes than
// `declared` fail the entry.
EntryResult extractEntryToFile(zip_t* za, zip_uint64_t index, zip_uint64_t declared, Walk walk,
                               const FolderHandle& folder, const std::string& leaf, char* buf, size_t size);

EntryReport reportOf(EntryResult result, const std::string& destDir, const EntryJob& job);

// A link entry's target. The size the archive claims is checked before
// anything is read: longer targets fail the entry. Reads on to the end so
// that libzip checks the entry's CRC.
bool readLinkTarget(zip_t* za, zip_uint64_t index, zip_uint64_t size, std::string& target);

// Counts, log lines and callbacks of one extraction; used only on the
// calling thread, one entry at a time in archive order.
class ExtractionReporter {
public:
    ExtractionReporter(uint64_t n, ProgressFn progress, StatusFn status);
    void add(const EntryReport& r);
    bool finish() const;

private:
    uint64_t n_;
    ProgressFn progress_;
    StatusFn status_;
    uint64_t k_ = 0;
    uint64_t failures_ = 0;
    int64_t lastLoggedPercent_ = -1;
};

}  // namespace Extraction
