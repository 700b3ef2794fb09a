// The helpers' macOS bodies.
#include "system.h"

#include <mach-o/dyld.h>

#include <cstdint>
#include <vector>

namespace System {

// A buffer that is too small is answered with the size it needs.
std::string executablePath() {
    std::vector<char> buffer(1024);
    uint32_t size = static_cast<uint32_t>(buffer.size());
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
        buffer.resize(size);
        if (_NSGetExecutablePath(buffer.data(), &size) != 0) return "";
    }
    return buffer.data();
}

const char* platformName() { return "macOS"; }

}  // namespace System
