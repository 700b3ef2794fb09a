// The source of an archive: the address itself, the proxies in front of
// GitHub and the mirror of Hugging Face, each attempt checked for being the
// archive. downloadAndExtractZip (installer_download.h) picks among them;
// the multi-part download shares the attempts and the unpacking.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "installer_download.h"

struct DownloadRoom;

bool isGitHubUrl(const std::string& url);
bool isHuggingFaceUrl(const std::string& url);
std::string applyHuggingFaceMirror(const std::string& url);

// Direct first (""), then "https://" + host + "/" for each configured proxy.
// Built on first use, so the order of static initialisation never matters.
class ProxyPrefixList {
public:
    constexpr ProxyPrefixList() = default;
    const std::vector<std::string>& list() const;
    std::vector<std::string>::const_iterator begin() const { return list().begin(); }
    std::vector<std::string>::const_iterator end() const { return list().end(); }
    size_t size() const { return list().size(); }
    const std::string& operator[](size_t i) const { return list()[i]; }
};
extern const ProxyPrefixList GITHUB_PROXY_PREFIXES;

// Whether a downloaded file is what the source was asked for:
// (the file, the answer's Content-Type).
using SourceCheck = std::function<bool(const std::string& path, const std::string& contentType)>;

// One attempt on one source: a 200 answer that fails the check counts as a
// failed source (the file is removed), so the caller moves on to the next one.
// An answer refused for want of room sets noRoom: the disk is short, not the
// source, and every other source would fill the same disk, so the caller
// tries none and the disk-space status stays the last one. room, when
// given, is shared with the downloads of the other parts (downloadToFile).
bool attemptSource(const std::string& attemptUrl, const std::string& path, const std::string& label,
                   const ProgressFn& progress, const StatusFn& status, const SourceCheck& usable, bool& noRoom,
                   DownloadRoom* room = nullptr);

// url behind each proxy in turn, the direct attempt left to the caller:
// logs trying + the prefix and sends "Trying mirror..." before each; true at
// the first attempt that succeeds, false at once when noRoom is set.
bool attemptThroughProxies(const std::string& url, const std::string& trying, const StatusFn& send,
                           const std::function<bool(const std::string&)>& attempt, const bool& noRoom);

// The last step of every download: the archive unpacked into destDir with
// extraction on 700-1000 of the per-mille scale, then removed. Sends
// "Extracting..." and, when it worked, "Complete".
bool unpackDownload(const std::string& archivePath, const std::string& destDir, const std::string& label,
                    const ProgressFn& progress, const StatusFn& status);

namespace DeliveryTesting {
// Puts the configured proxies and mirror back.
void resetSources();
}  // namespace DeliveryTesting
