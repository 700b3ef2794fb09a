// Multi-part archives: the parts are found with header-only probes on the
// first redirect's target, fetched in order into the run's folder, joined
// byte for byte and unpacked like a single download.
#include "installer_multipart.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "disk_space.h"
#include "installer_sources.h"
#include "installer_transfer.h"
#include "installer_utils.h"
#include "text_escape.h"

namespace {

constexpr int kMaxParts = 100;
constexpr size_t kCopyBufferSize = 1048576;

// True when a part file can be the start of a ZIP archive.
bool startsLikeZip(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char magic[2] = {0, 0};
    return in.read(magic, 2) && magic[0] == 'P' && magic[1] == 'K';
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size()) return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// A later part is a plain byte slice, so any first byte is possible; only a
// page (declared as HTML, or opening with markup) marks a failed source. A
// lone "<" is not enough: one part in 256 would start with it.
bool isWebPage(const std::string& path, const std::string& contentType) {
    if (startsWithNoCase(contentType, "text/html")) return true;
    std::ifstream in(path, std::ios::binary);
    char head[64] = {};
    in.read(head, sizeof head);
    std::string start(head, static_cast<size_t>(in.gcount()));
    start.erase(0, start.find_first_not_of(" \t\r\n"));
    for (const char* markup : {"<!doctype", "<html", "<head", "<body", "<?xml", "<!--"})
        if (startsWithNoCase(start, markup)) return true;
    return false;
}

uint64_t fileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

// The joined copy is written while the parts are still there: it must fit
// beside them and leave the margin the parts left, or the join would fill
// the file system. The parts' room holds what they store.
bool hasRoomToJoin(const std::string& folder, const std::string& prefix, const StatusFn& status,
                   const DownloadRoom& partsRoom) {
    DiskSpace::Room room;
    if (!DiskSpace::roomAt(folder, room)) return true;
    const uint64_t total = partsRoom.stored;
    const uint64_t needed = total + partsRoom.margin();
    if (needed <= room.freeBytes) return true;
    std::ostringstream line;
    line << "[concatenate] Not enough free space in " << folder << ": the parts hold " << total << " bytes, "
         << room.freeBytes << " bytes are free";
    if (partsRoom.margin() > 0)
        line << ", and a sixteenth of the " << partsRoom.freeBytes << " bytes free when the first part started stays free";
    std::cerr << line.str() << std::endl;
    if (status) status(prefix + DiskSpace::notEnoughSpaceText(needed, room.freeBytes));
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Finding the parts.

std::string appendPartSuffix(const std::string& url, const std::string& suffix) {
    size_t cut = url.find_first_of("?#");
    if (cut == std::string::npos) return url + suffix;
    return url.substr(0, cut) + suffix + url.substr(cut);
}

std::vector<std::string> detectMultiPartUrls(const std::string& url, StatusFn status) {
    std::cout << "[detectMultiPart] Checking if " << escapeForLog(url) << " is multi-part..." << std::endl;
    if (status) status("Detecting download format...");

    std::string r = getFirstRedirectUrl(url);
    // r and the part addresses built on it are a server's text when it redirected.
    if (r != url) std::cout << "[detectMultiPart] Resolved redirect: " << escapeForLog(r) << std::endl;

    if (!checkUrlExists(appendPartSuffix(r, ".000"))) {
        std::cout << "[detectMultiPart] Single file detected" << std::endl;
        return {url};
    }
    std::cout << "[detectMultiPart] Multi-part file detected" << std::endl;

    std::vector<std::string> parts;
    for (int i = 0;; ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%03u", static_cast<unsigned>(i) % 1000u);  // i stays below 100
        std::string p = appendPartSuffix(r, suffix);
        if (!checkUrlExists(p)) {
            std::cout << "[detectMultiPart] Part " << i << " not found, total parts: " << i << std::endl;
            break;
        }
        parts.push_back(p);
        std::cout << "[detectMultiPart] Found part " << i << ": " << escapeForLog(p) << std::endl;
        if (i >= kMaxParts - 1) {
            std::cerr << "[detectMultiPart] Too many parts (>99), stopping" << std::endl;
            break;
        }
    }
    if (parts.empty()) {
        std::cerr << "[detectMultiPart] First part existed but no parts found, falling back to single file"
                  << std::endl;
        return {url};
    }
    return parts;
}

// ---------------------------------------------------------------------------
// Joining and the whole download.

bool concatenateParts(const std::vector<std::string>& partPaths, const std::string& outputPath) {
    std::cout << "[concatenate] Combining " << partPaths.size() << " parts into " << outputPath << std::endl;
    std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        std::cerr << "[concatenate] Failed to create output file: " << outputPath << std::endl;
        return false;
    }
    std::vector<char> buffer(kCopyBufferSize, 0);
    uint64_t total = 0;
    auto fail = [&](const std::string& line) {
        std::cerr << line << std::endl;
        out.close();
        removeFile(outputPath);
        return false;
    };
    for (size_t j = 0; j < partPaths.size(); ++j) {
        std::ifstream in(partPaths[j], std::ios::binary);
        if (!in.is_open()) return fail("[concatenate] Failed to open part file: " + partPaths[j]);
        while (in.good()) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            std::streamsize n = in.gcount();
            if (n > 0) {
                out.write(buffer.data(), n);
                if (!out) return fail("[concatenate] Failed to write output file: " + outputPath);
                total += static_cast<uint64_t>(n);
            }
        }
        // eof is the normal end; bad means the part could not be read whole.
        if (in.bad()) return fail("[concatenate] Failed to read part file: " + partPaths[j]);
        in.close();
        std::cout << "[concatenate] Part " << (j + 1) << "/" << partPaths.size() << " complete" << std::endl;
    }
    out.close();
    if (out.fail()) {
        std::cerr << "[concatenate] Failed to write output file: " << outputPath << std::endl;
        removeFile(outputPath);
        return false;
    }
    std::cout << "[concatenate] Total: " << (total / 1048576) << " MB" << std::endl;
    return true;
}

bool downloadMultiPartAndExtractZip(const std::vector<std::string>& partUrls, const std::string& destDir,
                                    const std::string& label, ProgressFn progress, StatusFn status) {
    if (partUrls.empty()) {
        std::cerr << "[downloadMultiPart] No URLs provided" << std::endl;
        return false;
    }
    const size_t n = partUrls.size();
    std::cout << "[downloadMultiPart] Downloading " << n << " parts for " << label << std::endl;

    const std::string prefix = statusPrefix(label);
    auto send = [&](const std::string& text) {
        if (status) status(prefix + text);
    };
    const std::string workDir = getRunTempDirectory();
    if (workDir.empty()) return false;
    const std::string folder = workDir + "/zorvik_multipart";
    createDirectory(folder);

    // All parts together keep the margin of one download, taken from the
    // room when the first part starts.
    DownloadRoom room;
    std::vector<std::string> partPaths;
    auto removeParts = [&] {
        for (const std::string& p : partPaths) removeFile(p);
    };
    for (size_t i = 0; i < n; ++i) {
        partPaths.push_back(folder + "/part_" + std::to_string(i));
        const std::string& partPath = partPaths.back();
        const std::string& partUrl = partUrls[i];
        std::cout << "[downloadMultiPart] Downloading part " << (i + 1) << "/" << n << ": " << escapeForLog(partUrl)
                  << std::endl;
        if (status) {
            char buf[128];
            std::snprintf(buf, sizeof buf, "%sDownloading part %zu/%zu...", prefix.c_str(), i + 1, n);
            status(buf);
        }
        ProgressFn partProgress;
        if (progress) {
            partProgress = [progress, i, n](uint64_t done, uint64_t total) {
                if (total == 0) return;
                double v = (double(i) + double(done) / double(total)) / double(n) * 0.6 * 1000;
                progress(static_cast<uint64_t>(v), 1000);
            };
        }
        // The first part must open a ZIP archive, and no part may be an error
        // page answered with 200: either counts as a failed source.
        const SourceCheck usable = [i](const std::string& path, const std::string& contentType) {
            return i == 0 ? startsLikeZip(path) : !isWebPage(path, contentType);
        };
        bool noRoom = false;
        auto attempt = [&](const std::string& u) {
            return attemptSource(u, partPath, label, partProgress, status, usable, noRoom, &room);
        };
        bool ok = attempt(partUrl);
        if (!ok && isGitHubUrl(partUrl))
            ok = attemptThroughProxies(partUrl, "[downloadMultiPart] Trying proxy: ", send, attempt, noRoom);
        if (!ok) {
            if (noRoom) std::cerr << "[downloadMultiPart] Not enough disk space, no other source is tried" << std::endl;
            std::cerr << "[downloadMultiPart] Failed to download part " << (i + 1) << std::endl;
            removeParts();
            return false;
        }
        room.stored += fileSize(partPath);
    }

    if (progress) progress(600, 1000);
    std::cout << "[downloadMultiPart] All parts downloaded, concatenating..." << std::endl;
    send("Combining parts...");
    const std::string combined = folder + "/combined.zip";
    if (!hasRoomToJoin(folder, prefix, status, room) || !concatenateParts(partPaths, combined)) {
        std::cerr << "[downloadMultiPart] Failed to concatenate parts" << std::endl;
        removeParts();
        return false;
    }
    removeParts();
    if (progress) progress(700, 1000);

    std::cout << "[downloadMultiPart] Extracting combined ZIP..." << std::endl;
    const bool ok = unpackDownload(combined, destDir, label, progress, status);
    if (ok) std::cout << "[downloadMultiPart] Multi-part download and extraction complete" << std::endl;
    return ok;
}
