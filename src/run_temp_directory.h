// The run's private temporary folder (getRunTempDirectory, in
// installer_download.h). Making and removing the folder differ by platform:
// run_temp_directory_posix.cpp and run_temp_directory_win32.cpp, which the
// build picks.
#pragma once

#include <string>

namespace RunTemp {

// Makes a new folder inside base that only this user can use, with a name
// no other run can take; made receives its path.
bool makePrivateDirectory(const std::string& base, std::string& made);
// Removes path when it is an empty folder; anything else stays.
void removeEmptyDirectory(const std::string& path);

}  // namespace RunTemp

namespace DeliveryTesting {
// Makes the private folder in the temporary folder again.
void resetTempDirectory();
}  // namespace DeliveryTesting
