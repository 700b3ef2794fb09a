// What only Linux has: where its program file is. No application menu.
#include "startup.h"

#include <unistd.h>

namespace Startup {

void installApplicationMenu() {}

std::string executablePath() {
    char buffer[1024];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return length <= 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace Startup
