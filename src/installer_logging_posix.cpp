// The log file on macOS (and Linux): the shared logs folder, read back
// through the descriptor it was created with.
#include "installer_logging_internal.h"

#include "installer_config.h"
#include "installer_logging.h"
#include "installer_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace InstallerLogging {
namespace Platform {

extern const char* const kSeparator = "/";

int createNewFile(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND, 0644);
}

bool writeAll(int fd, const char* data, std::size_t size) { return ::writeAll(fd, data, size); }

void closeFile(int fd) { ::close(fd); }

// Read back through the open descriptor: the name is never opened again.
bool readWholeFile(int fd, const std::string&, std::string& text) {
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
}

extern const char* const kFolderSeparators = "/";

std::string getLogDirectory() {
    if (!logDirectoryForTesting().empty()) return logDirectoryForTesting();
    return InstallerConfig::MAC_LOGS_DIR;
}

void toLocalTime(std::time_t now, std::tm& local) { localtime_r(&now, &local); }

}  // namespace Platform
}  // namespace InstallerLogging
