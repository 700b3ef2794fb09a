// Archives split into parts (url.000, url.001, ...): finding the parts,
// fetching each (through the proxies when a GitHub part fails), joining them
// and unpacking the whole. The public calls are in installer_download.h.
#pragma once

#include <string>
#include <vector>

#include "installer_download.h"

// url with suffix put at the end of its path, before any "?" or "#".
std::string appendPartSuffix(const std::string& url, const std::string& suffix);

bool concatenateParts(const std::vector<std::string>& partPaths, const std::string& outputPath);
