// Component delivery, as its callers see it: archive downloads with proxy and
// mirror fall-backs, multi-part archives and ZIP extraction. Each unit has a
// file pair of its own (the header holds what the other units and the tests
// need of it):
//   installer_transfer      HTTP transfers and their one curl set-up
//   installer_sources       the source of an archive: direct, proxies, mirror
//   installer_multipart     archives split into parts
//   installer_extract*      ZIP extraction (platform walkers in _posix/_win32)
//   run_temp_directory*     the run's private temporary folder
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// (done, total): total 1000 is per mille, 10240 and more a byte count.
using ProgressFn = std::function<void(uint64_t current, uint64_t total)>;
// One line of status text for the page.
using StatusFn = std::function<void(const std::string& text)>;

// libcurl's handle type, as it declares it.
typedef void CURL;

// The options every transfer shares: the address, the protocols that it and
// its redirects may use (https only in the product), certificate checks, the
// redirect limit, and no signals (transfers run on worker threads).
void setTransferOptions(CURL* curl, const std::string& url);

// Downloads one archive (trying proxies or a mirror when the source fails) and
// unpacks it into destDir. Progress is reported per mille: 0-700 download,
// 700-1000 extraction.
bool downloadAndExtractZip(const std::string& url, const std::string& destDir, const std::string& label,
                           ProgressFn progress, StatusFn status);

// The part URLs (url.000, url.001, ... on the redirect target) when the archive
// is split, else a single element holding url.
std::vector<std::string> detectMultiPartUrls(const std::string& url, StatusFn status);

// Fetches every part, joins them and unpacks the result into destDir.
bool downloadMultiPartAndExtractZip(const std::vector<std::string>& partUrls, const std::string& destDir,
                                    const std::string& label, ProgressFn progress, StatusFn status);

// True when url answers 200 to a header-only request (redirects followed).
bool checkUrlExists(const std::string& url);

// Unpacks zipPath into destDir; false when the archive is not a usable ZIP or
// any entry could not be written safely.
bool extractZip(const std::string& zipPath, const std::string& destDir, ProgressFn progress, StatusFn status);

// The private folder of this run for temporary work (mode 0700, made once
// inside getTempDirectory()); empty when it cannot be created.
std::string getRunTempDirectory();

// Test seams, in every build: in-process setters that only tests call (the
// product never does, and nothing is read from the environment), so the
// tests run the objects that ship.
namespace DeliveryTesting {
// Replaces the whole prefix list; give "" first for the direct attempt.
void setGitHubProxyPrefixes(const std::vector<std::string>& prefixes);
void setHuggingFaceMirrorHost(const std::string& host);
void setStallSeconds(long seconds);
void setProbeTimeouts(long connectSeconds, long redirectTotalSeconds, long existsTotalSeconds);
// Base folder in which the per-run private folder is made; "" = getTempDirectory().
void setTempDirectory(const std::string& dir);
// Threads that write extracted files (1: the calling thread alone; 0: the default).
void setExtractThreads(int threads);
// Protocols of every transfer instead of the configured ones ("" = configured).
void setTransferProtocols(const std::string& protocols);
// A certificate (PEM) that transfers trust besides the system's ("" = none).
void setCertificateAuthority(const std::string& pem);
// Folders an extraction keeps open at most (0: the default).
void setExtractFolderBudget(size_t folders);
// Folders the last extraction opened, the destination not counted.
uint64_t extractFolderOpens();
// Free bytes (and, when not negative, free inodes) that downloads and
// extraction see at every folder instead of the file system's figures
// (negative bytes: the file system's).
void setFreeSpace(int64_t bytes, int64_t inodes = -1);
// Restores every default above.
void reset();
}  // namespace DeliveryTesting
