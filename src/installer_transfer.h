// HTTP transfers: one download to a file with progress and stall detection,
// and the two header-only probes (first redirect, existence). Every transfer
// starts from setTransferOptions (installer_download.h).
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "installer_download.h"

// The room downloads into one folder may use. A download alone measures it
// when it starts; the parts of a split archive share one, measured when the
// first part starts, so that together they keep the margin one download
// keeps: a sixteenth of what was free stays free.
struct DownloadRoom {
    bool measured = false;
    bool known = false;      // the file system told its room
    uint64_t freeBytes = 0;  // free when the first download started
    uint64_t stored = 0;     // what the downloads before the next one keep

    // What stays free (0 when the room is not known).
    uint64_t margin() const;
    // What the next download may still store (no limit when not known).
    uint64_t left() const;
};

struct DownloadContext {
    std::ostream* out = nullptr;
    int answerCode = 0;      // of the answer being received; only a 200 is stored
    int64_t announced = -1;  // the answer's Content-Length, -1 when it has none
    ProgressFn progress;
    StatusFn status;
    uint64_t bytesWritten = 0;
    std::string label;
    int32_t lastLoggedPercent = -1;
    DownloadRoom room;
    uint64_t neededBytes = 0;  // set when the answer was stopped for want of room
};

size_t writeCallback(void* data, size_t size, size_t nmemb, void* userdata);
size_t headerCallback(char* data, size_t size, size_t nmemb, void* userdata);
int progressCallback(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);

// contentType, when given, receives the answer's Content-Type ("" if none);
// noRoom, when given, whether the answer was refused for want of room on the
// file's file system (the disk-space status was sent); room, when given, is
// the room shared with other downloads (measured here if nobody did yet).
bool downloadToFile(const std::string& url, const std::string& path, const std::string& label, ProgressFn progress,
                    StatusFn status, std::string* contentType = nullptr, bool* noRoom = nullptr,
                    DownloadRoom* room = nullptr);
std::string getFirstRedirectUrl(const std::string& url);

// What every unit of delivery puts before its status texts: "" or "label: ".
std::string statusPrefix(const std::string& label);
// Removes a downloaded (or partial) file; a missing one is no error.
void removeFile(const std::string& path);

namespace DeliveryTesting {
// Puts the transfers' tunables back to the product values.
void resetTransfers();
}  // namespace DeliveryTesting
