// The helpers' Linux bodies.
#include "system.h"

#include <unistd.h>

#include <vector>

namespace System {

// readlink does not say that it cut the path: a result that fills the buffer
// is read again with a larger one.
std::string executablePath() {
    std::vector<char> buffer(1024);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0) return "";
        if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(length));
        if (buffer.size() >= 65536) return "";
        buffer.resize(buffer.size() * 2);
    }
}

const char* platformName() { return "Linux"; }

}  // namespace System
