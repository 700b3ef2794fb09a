// The reset of every delivery seam (installer_download.h); each unit keeps
// its own tunables and puts them back.
#include "disk_space.h"
#include "installer_download.h"
#include "installer_extract.h"
#include "installer_sources.h"
#include "installer_transfer.h"
#include "run_temp_directory.h"

namespace DeliveryTesting {

void reset() {
    resetSources();
    resetTransfers();
    resetTempDirectory();
    resetExtraction();
    resetDiskSpace();
}

}  // namespace DeliveryTesting
