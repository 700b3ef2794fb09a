// ZIP extraction, the part of component delivery that unpacks an archive
// (extractZip itself is declared in installer_download.h, with the rest of
// delivery). What the other delivery sources need of it is here.
#pragma once

#include <cstdint>

// Whole percent of done out of total, in 64 bits (0 when total is 0).
uint64_t percentOf(uint64_t done, uint64_t total);

namespace DeliveryTesting {
// Puts the extraction's tunables back to the product values.
void resetExtraction();
}  // namespace DeliveryTesting
