// The log file on Windows: a per-user folder, written in text mode.
#include "installer_logging_internal.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <fstream>
#include <sstream>

namespace InstallerLogging {
namespace Platform {

extern const char* const kSeparator = "\\";

int createNewFile(const std::string& path) {
    // Text mode: each line end is stored as CR LF.
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_APPEND | _O_NOINHERIT | _O_TEXT,
                 _S_IREAD | _S_IWRITE);
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
        const int n = _write(fd, data, chunk);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void closeFile(int fd) { _close(fd); }

// Read back by name, in text mode like the writes.
bool readWholeFile(int, const std::string& path, std::string& text) {
    std::ifstream in(path);
    if (!in.is_open()) return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

extern const char* const kFolderSeparators = "\\/";

std::string getLogDirectory() {
    char value[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", value, MAX_PATH);
    if (length > 0 && length < MAX_PATH) return std::string(value, length) + "\\ZRVK\\Logs";
    // The temporary folder's log folder; none when the system gives no
    // temporary folder or one longer than the buffer, never a relative one.
    char temp[MAX_PATH + 1];
    const DWORD tempLength = GetTempPathA(MAX_PATH + 1, temp);
    if (tempLength == 0 || tempLength > MAX_PATH) return "";
    return std::string(temp, tempLength) + "ZRVK\\Logs";
}

void toLocalTime(std::time_t now, std::tm& local) { localtime_s(&local, &now); }

}  // namespace Platform
}  // namespace InstallerLogging
