// ZIP extraction, the part of component delivery that unpacks an archive
// (extractZip itself is declared in installer_download.h, with the rest of
// delivery). What the other delivery sources need of it is here.
#pragma once

#ifdef ZRVK_TESTING
namespace DeliveryTesting {
// Puts the extraction's tunables back to the product values.
void resetExtraction();
}  // namespace DeliveryTesting
#endif
