// ZIP extraction, the part of component delivery that unpacks an archive
// (extractZip itself is declared in installer_download.h, with the rest of
// delivery). The calling thread plans the entries and reports them in
// archive order (installer_extract.cpp), one entry at a time
// (installer_extract_entries), in folders kept open by a no-follow walk
// (installer_extract_folders, installer_extract_paths), with each platform's
// folders, files and links in installer_extract_folders_posix.cpp / _win32.cpp.
#pragma once

namespace DeliveryTesting {
// Puts the extraction's tunables back to the product values.
void resetExtraction();
}  // namespace DeliveryTesting
