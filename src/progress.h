// Weighted progress: each report of a component becomes one progress script
// for the page, its share of the whole taken from the installation phases.
#pragma once

#include "installation_context.h"

#include <cstdint>
#include <string>

void sendProgressToJS(InstallationContext* ctx, uint64_t current, uint64_t total, const std::string& status);
