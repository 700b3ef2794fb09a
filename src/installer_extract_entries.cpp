// One entry of a ZIP archive, from its record to its report: the skipping
// and refusing rules, the streaming into its file and the thinning of
// progress, log lines and status texts.
#include "installer_extract_entries.h"

#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>

#include "disk_space.h"
#include "installer_extract_paths.h"
#include "text_escape.h"

uint64_t percentOf(uint64_t done, uint64_t total) { return total == 0 ? 0 : done * 100 / total; }

namespace Extraction {

namespace {

constexpr zip_uint64_t kMaxLinkTarget = 4096;

zip_uint32_t externalAttributes(zip_t* za, zip_uint64_t i) {
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(za, i, 0, &opsys, &attributes) != 0) attributes = 0;
    return attributes;
}

bool isFolderEntry(const std::string& storedName, zip_uint32_t attributes) {
    return (!storedName.empty() && storedName.back() == '/') || (attributes & 0x10) != 0;
}

EntryResult walkFailure(Walk w) {
    return w == Walk::ThroughLink ? EntryResult::ThroughLink
           : w == Walk::Gone      ? EntryResult::FolderGone
                                  : EntryResult::OpenFailed;
}

}  // namespace

// ---------------------------------------------------------------------------
// The archive.

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

namespace {

// What unpacking the archive makes on a file system: its files, and every
// folder the entry paths name or imply.
DiskSpace::Footprint footprintOf(zip_t* za, uint64_t n, uint64_t blockSize) {
    DiskSpace::Footprint need;
    FolderCount folders;
    for (uint64_t i = 0; i < n; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za, i, ZIP_FL_ENC_RAW, &st) != 0 || !(st.valid & ZIP_STAT_NAME) ||
            !(st.valid & ZIP_STAT_SIZE))
            continue;  // refused when it is planned
        const std::string storedName = st.name;
        const std::string entryPath = entryPathOf(storedName);
        if (isSkippedEntryPath(entryPath)) continue;
        const bool isFolder = isFolderEntry(storedName, externalAttributes(za, i));
        folders.add(entryPath, isFolder);
        if (!isFolder) need.addFile(st.size, blockSize);
    }
    need.addFolders(folders.folders(), blockSize);
    return need;
}

}  // namespace

bool hasRoomFor(zip_t* za, uint64_t n, const std::string& destDir, const StatusFn& status) {
    DiskSpace::Room room;
    if (!DiskSpace::roomAt(destDir, room)) return true;
    const DiskSpace::Footprint need = footprintOf(za, n, room.blockSize);
    if (DiskSpace::fits(need, room)) return true;
    std::cerr << DiskSpace::shortfallLine("[extractZip]", destDir, need, room, "the archive unpacks to",
                                          "the archive makes")
              << std::endl;
    if (status) status(DiskSpace::notEnoughRoomText(need, room));
    return false;
}

// ---------------------------------------------------------------------------
// Entries.

bool planEntry(zip_t* za, zip_uint64_t i, EntryJob& job, EntryReport& report) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, i, ZIP_FL_ENC_RAW, &st) != 0 || !(st.valid & ZIP_STAT_NAME) || !(st.valid & ZIP_STAT_SIZE)) {
        report.failure = "[extractZip] Failed to get file stat for index " + std::to_string(i);
        return false;
    }
    const std::string storedName = st.name;
    std::string entryPath = entryPathOf(storedName);
    if (isSkippedEntryPath(entryPath)) return false;

    const zip_uint32_t attributes = externalAttributes(za, i);
    if (isFolderEntry(storedName, attributes)) return false;
    const bool isLink = (attributes & 0xF0000000u) == 0xA0000000u;
    if (isUnsafeEntryPath(entryPath)) {
        report.failure = "[extractZip] Refusing unsafe entry name: " + escapeForLog(entryPath);
        return false;
    }
    job.index = i;
    job.entryPath = std::move(entryPath);
    job.isLink = isLink;
    job.size = st.size;
    return true;
}

std::string throughLinkLine(const std::string& entryPath) {
    return "[extractZip] Refusing to write through link: " + escapeForLog(entryPath);
}

EntryReport writeFailure(const std::string& destDir, const EntryJob& job) {
    EntryReport report;
    report.failure = "[extractZip] Failed to write file: " + destDir + "/" + escapeForLog(job.entryPath);
    report.progress = true;
    return report;
}

EntryResult extractEntryToFile(zip_t* za, zip_uint64_t index, zip_uint64_t declared, Walk walk,
                               const FolderHandle& folder, const std::string& leaf, char* buf, size_t size) {
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
        // libzip compares the sizes only at the end: an entry that inflates
        // past what it declared stops here, before it fills the disk.
        if (static_cast<zip_uint64_t>(n) > declared) {
            zip_fclose(zf);
            out.discard();
            return EntryResult::TooLarge;
        }
        declared -= static_cast<zip_uint64_t>(n);
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
            // The line keeps its old text: entries are streamed now, never read whole into memory.
            report.failure = "[extractZip] Failed to extract to memory: " + escapeForLog(job.entryPath);
            break;  // no progress for an entry that was never read
        case EntryResult::ThroughLink:
            report.failure = throughLinkLine(job.entryPath);
            break;
        case EntryResult::TooLarge:
            report.failure = "[extractZip] Entry is larger than its declared size: " + escapeForLog(job.entryPath);
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

// ---------------------------------------------------------------------------
// Reporting, in archive order.

ExtractionReporter::ExtractionReporter(uint64_t n, ProgressFn progress, StatusFn status)
    : n_(n), progress_(std::move(progress)), status_(std::move(status)) {}

void ExtractionReporter::add(const EntryReport& r) {
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

bool ExtractionReporter::finish() const {
    if (failures_ > 0) {
        std::cerr << "[extractZip] Extraction failed: " << failures_ << " entries could not be extracted (" << k_
                  << " files written)" << std::endl;
        return false;
    }
    std::cout << "[extractZip] 100% - Extraction complete (" << k_ << " files)" << std::endl;
    return true;
}

}  // namespace Extraction

