// The helpers' Windows bodies.
#include "system.h"

#include <windows.h>

namespace System {

std::string executablePath() {
    char buffer[260];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, 260);
    return std::string(buffer, length);
}

const char* platformName() { return "Windows"; }

}  // namespace System
