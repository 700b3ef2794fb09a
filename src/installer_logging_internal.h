// The log file's platform operations. The file is created new, never opened
// through a link or appended to, and no program started later inherits it.
// Bodies in installer_logging_posix.cpp and installer_logging_win32.cpp.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace InstallerLogging {
namespace Platform {

extern const char* const kSeparator;         // between the folder and the file name
extern const char* const kFolderSeparators;  // in folder paths
// A descriptor of a file made now, or -1 with errno (EEXIST when the name is taken).
int createNewFile(const std::string& path);
bool writeAll(int fd, const char* data, std::size_t size);
void closeFile(int fd);
// The whole log as written so far.
bool readWholeFile(int fd, const std::string& path, std::string& text);
// Empty when there is no usable folder.
std::string getLogDirectory();
void toLocalTime(std::time_t now, std::tm& local);

}  // namespace Platform
}  // namespace InstallerLogging
